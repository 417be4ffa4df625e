#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/comm/recording_opener.h"
#include "platform/comm/unique_fd.h"
#include "platform/devicemap/device_map.h"
#include "platform/devicemap/port_identity.h"
#include "porvane/cli/character_map.h"
#include "porvane/cli/received_view.h"
#include "porvane/cli/term_keys.h"
#include "porvane/decode/frame_decoder.h"
#include "porvane/serial/line_settings.h"
#include "porvane/serial/page_window.h"
#include "porvane/serial/serial_channel.h"

namespace porvane::cli {

// The options of "porvane-cli term", as typed.
struct TermOptions {
    std::string port;
    uint32_t baud = 9600;
    int data_bits = 8;
    std::string parity = "no";  // no, odd, even, mark, space
    std::string stop = "1";     // 1, 1.5, 2
    std::string flow = "none";  // none, rts (RTS/CTS), xon (XON/XOFF)
    bool hex = false;
    int linger_ms = 200;      // after piped input has gone: the silence that ends the session
    std::string map;          // what Enter sends: CR, LF, CRLF; empty: the byte as typed
    bool echo = false;        // show what is sent on the output too
    std::string log;          // file that receives a raw copy of the received bytes
    bool log_marked = false;  // the log has a stamped, marked line per burst each way instead
    std::string escape;       // the escape key's letter ("t": Ctrl-T); empty: Ctrl-T
    std::string imap;         // character map rules for what arrives (CharacterMap)
    std::string omap;         // and for what is sent
    std::string time;         // "", "absolute" or "delta": stamps on the received lines
    bool reconnect = false;   // a vanished port is waited for and reopened, not the end
    bool no_dtr = false;      // DTR is held low from the open on (a board it would reset)
    bool no_rts = false;      // the same for RTS
    std::string decoder;      // a protocol decoder's name (decode::MakeFrameDecoder), or empty
    // The line options typed on the command line ("--baud", "--data", "--parity", "--stop",
    // "--flow"): a port that does not take one of them is not used.
    std::vector<std::string> given;
};

// Builds the settings record of the options; false with a message for a value no list holds.
bool BuildTermSettings(const TermOptions& options, serial::LineSettings& settings,
                       std::string& error);

// Applies a line change typed at the terminal to the options: words such as "115200" (speed),
// "7E1" (data bits 5-8, parity N/O/E/M/S, stop bits 1, 1.5 or 2) and "none", "rts" or "xon"
// (flow control), in any order. False, with error saying why, for another word or none.
bool ApplyLineWords(const std::string& text, TermOptions& options, std::string& error);

// "9600 8N1": baud, data bits, parity letter and stop bits of a record.
std::string DescribeLine(const comm::Dcb& dcb);

// A terminal on a port (opened by opener; by default a local port gets its settings back at the
// end and a remote port's notices are said as the session's messages). What arrives goes to
// output_fd (through a ReceivedView: text, or hex
// lines). With input_fd a terminal it is interactive: the terminal is raw, each key goes to the
// port as typed and the escape key starts a command; otherwise input is copied to the port until
// it ends. Messages go to message_fd. It is the page of its channel: notifications arrive on the
// event thread and are handled there.
class TermSession : public serial::PageWindow {
  public:
    TermSession(const TermOptions& options, int input_fd, int output_fd, int message_fd,
                int stop_fd, serial::SerialChannel::DeviceOpener opener = {});

    // Opens the port and runs until the input ends and its bytes have gone out and the line has
    // been quiet for the linger time (piped), the quit command (interactive), a stop signal on
    // stop_fd, or the closing of the output: 0. A port that does not open, or does not take a
    // line setting given on the command line: 1; a log that cannot be written: 4; the port
    // vanishing: "串口已断开: <device>" and 5. With reconnect the port's adapter is waited for
    // instead and the session goes on when it is back; quitting while waiting gives 5. The
    // terminal gets its modes back on every way out.
    int Run();

    intptr_t PageNotify(uint32_t code, void* data) override;
    void ShowMessage(const std::string& text) override;

  private:
    // Why a loop ends; kNone: go on.
    enum class End {
        kNone,
        kInputDone,
        kQuit,
        kStopped,
        kOutputClosed,
        kPortGone,
        kLogFailed,
        kStalled
    };

    End RunPipe();
    End RunInteractive();
    // After the port vanished: waits for its adapter (or its name, or its path being a device
    // again) to come back and reopens it with the session's settings. kNone when the session
    // goes on; the user can quit.
    End AwaitAdapter(bool interactive);
    // The same for a port on another machine: connects again every kServerRetryMs until the
    // server takes the session back.
    End AwaitServer(bool interactive);
    static constexpr int kServerRetryMs = 1000;
    // How often a port known only by its path is checked while it is gone.
    static constexpr int kPathCheckMs = 1000;
    // The port of the map that is the lost port's adapter come back, or empty.
    std::string ReturnedPort(const devicemap::DeviceMap& map, const std::string& lost,
                             bool& lost_departed) const;
    bool Reopen(const std::string& port);
    // Says each line setting the open port took otherwise than asked; true when one of them was
    // given on the command line.
    bool SayLineNotTaken();
    // The line as the port runs it, which may differ from what was asked (said by
    // SayLineNotTaken), or as asked when the port cannot tell.
    comm::Dcb LineInUse();
    End TakeWaitingKeys(TermKeys& keys);
    int Finish(End end);

    // Waits up to timeout_ms (-1: no limit) for input (when given), a stop signal, a
    // notification of the event thread or the output's reader going away, ending a hex line when
    // reception has paused meanwhile. kNone after input, a wake-up or the time-out.
    End Wait(int timeout_ms, pollfd* input);
    // Waits the whole time unless something ends the session.
    End Pause(int ms);
    End WaitForTransmit(uint64_t target, int timeout_ms);
    End WaitForQuietLine();
    void EndPausedLine();
    // Writes the received bytes the marked log holds back as one record (mutex_ held).
    void FlushReceivedRecord();
    void WriteLog(const std::string& record);  // mutex_ held
    // A decoder that ends frames at pauses learns the line's new speed.
    void NoteSpeedForDecoder(uint32_t baud);
    // Writes decoded frames on lines of their own (mutex_ held).
    void WriteFrames(const std::vector<decode::Frame>& frames);
    // Sends typed bytes through the output map (echoed and logged as they go out).
    void Send(const std::string& typed);
    // Writes a message: a line of its own, "\r\n"-ended while the terminal is raw.
    void Say(const std::string& text);
    void WriteMessage(const std::string& text);
    // Writes to the output (mutex_ held), noting whether it ended mid-line.
    bool WriteOutput(const std::string& text);
    void ClosePort();

    // Interactive parts.
    End TakeKey(char& c);
    End RunCommand(char letter);
    End Prompt(const std::string& label, std::string& answer, bool& accepted);
    End SendBreak();
    void ToggleLine(bool dtr);
    End ChangeBaud();
    void ToggleHex();
    End SendFile(const std::string& path);
    void ShowSettings();
    End ChangeLine();
    End PulseLine();
    End SendHex();
    void ToggleStamps();
    End ToggleLog();
    void ShowCounts();

    TermOptions options_;
    int input_fd_;
    int output_fd_;
    int message_fd_;
    int stop_fd_;
    std::string device_;         // the device path, for messages
    std::string device_behind_;  // the device device_ led to at the last open (main thread)
    std::optional<devicemap::PortIdentity> adapter_;  // what the port was at open (reconnect)
    bool greeted_ = false;                            // the interactive greeting was shown
    // Open failures are not said while a server is tried again (set on the main thread, where
    // the port is opened; no event thread runs meanwhile).
    std::atomic<bool> quiet_opens_{false};
    std::string enter_sends_;
    EscapeKey escape_;     // set before the port opens, then only read
    CharacterMap in_map_;  // set before the port opens, then only read
    CharacterMap out_map_;
    comm::RecordingOpener opener_;  // keeps why the port did not open
    serial::SerialChannel channel_;
    comm::UniqueFd wake_;  // the event thread's notifications wake the main thread's waits
    comm::UniqueFd log_;
    bool raw_ = false;      // the terminal is in raw mode (main thread)
    uint64_t written_ = 0;  // bytes handed to the port (main thread)
    bool dtr_on_ = true;    // the modem control lines as this session set them (main thread)
    bool rts_on_ = true;
    std::string pending_keys_;  // keys read but not handled yet (main thread)
    size_t pending_at_ = 0;

    std::mutex mutex_;  // guards every field below and the writes to output_fd and message_fd
    ReceivedView view_;
    std::unique_ptr<decode::FrameDecoder> decoder_;  // with --decode
    uint64_t acknowledged_ = 0;                      // bytes reported gone by transmit-empty
    uint64_t receive_count_ = 0;
    std::chrono::steady_clock::time_point last_receive_{};
    bool port_gone_ = false;
    bool output_failed_ = false;
    bool output_shares_screen_ = false;  // output and messages go to the raw terminal
    bool output_mid_line_ = false;       // the output's last text did not end its line
    int log_error_ = 0;                  // errno of a failed log write, 0 while it works
    bool log_paused_ = false;            // the log is switched off for now (Ctrl-T l)
    std::string log_received_;           // received bytes of the marked log's burst under way
    std::chrono::system_clock::time_point log_received_at_{};  // when that burst began
};

}  // namespace porvane::cli
