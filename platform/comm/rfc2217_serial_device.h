#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/receive_filter.h"
#include "platform/comm/serial_device.h"
#include "platform/comm/unique_fd.h"
#include "platform/rfc2217/telnet_codec.h"

namespace comm {

inline constexpr char kRemotePortScheme[] = "rfc2217://";

// Where a remote port name "rfc2217://HOST:PORT" points: a host name, an IPv4 address or an
// IPv6 address in brackets (kept without them), and a TCP port.
struct RemotePortAddress {
    std::string host;
    std::string port;
};

bool IsRemotePortName(const std::string& name);
// Empty when the name is not a whole rfc2217://HOST:PORT (port 1 to 65535).
std::optional<RemotePortAddress> ParseRemotePortName(const std::string& name);
// What is wrong with a name that begins rfc2217:// but is no whole rfc2217://HOST:PORT, for a
// usage message ("rfc2217://bench: the server's port number is missing (...)"); empty for any
// other name.
std::string RemotePortNameProblem(const std::string& name);

// A serial port on another machine, reached over TCP with Telnet Com Port Control. Line state,
// modem lines, break and purges become Com Port commands; data goes both ways with 0xFF doubled.
// One I/O thread owns the socket: it sends what waits in the outbound queue (data and commands
// in the order they were made) and takes in what the server sends into a bounded receive store,
// so a hostile server can neither grow memory nor stall a caller. Waits, reads and writes follow
// the same rules as a local port (read time-outs, event mask, CancelIo); the connection closing
// or failing is a vanished port: EIO, as a local terminal that hung up reports it.
//
// A request the server leaves unanswered (some servers ignore DTR/RTS on a port without modem
// lines) is waited for at most reply_timeout_ms; later requests of that kind are no longer waited
// for, and the first time a kind goes unanswered the device says so through Options::notice (by
// default one line on standard error), one line for the kinds of one change. GetState reports
// the speed, data size, parity, stop size and outbound flow control the server answered it uses,
// which may differ from what was asked.
class Rfc2217SerialDevice final : public SerialDevice {
  public:
    struct Options {
        int connect_timeout_ms = 5000;
        int negotiation_timeout_ms = 3000;  // for the server to agree to Com Port Control
        int reply_timeout_ms = 300;
        // How long a close waits, at most, for the server to pass the last data on and close
        // its side (a local terminal's close waits for its output as long).
        int closing_wait_ms = 30000;
        // DTR and RTS are raised as the connection opens, as a local open raises them; false
        // leaves them as the server has them until the first SetState (a board that a DTR
        // pulse resets).
        bool raise_lines_at_open = true;
        // Takes the lines about unanswered requests; null writes them to standard error after
        // the program's name, as its own messages begin.
        std::function<void(const std::string&)> notice;
    };

    // Connects to the server named by "rfc2217://HOST:PORT". Failures: EINVAL for a malformed
    // name, operation "getaddrinfo" with ENOENT for a host that cannot be resolved, the connect
    // error (ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH, ...), EBUSY when the server closes the
    // connection at once (as servers do for a port in use), EPROTONOSUPPORT when it refuses Com
    // Port Control.
    static OpenResult Open(const std::string& name);
    static OpenResult Open(const std::string& name, Options options);
    // The same over a connected stream socket (tests use a socket pair).
    static OpenResult OpenConnected(UniqueFd socket, const std::string& name, Options options);
    ~Rfc2217SerialDevice() override;

    CommStatus SetState(const Dcb& dcb) override;
    CommStatus GetState(Dcb& dcb) override;
    CommStatus SetTimeouts(const CommTimeouts& timeouts) override;
    CommStatus GetTimeouts(CommTimeouts& timeouts) override;
    CommStatus SetEventMask(uint32_t mask) override;
    uint32_t EventMask() override;
    CommStatus WaitEventFor(uint32_t& events, int timeout_ms) override;
    CommStatus Read(uint8_t* buffer, size_t count, size_t& got) override;
    CommStatus Write(const uint8_t* bytes, size_t count, size_t& written) override;
    CommStatus WriteAsync(const uint8_t* bytes, size_t count, size_t& completed_now) override;
    CommStatus Purge(uint32_t flags) override;
    CommStatus ClearError(uint32_t* errors, QueueStatus* status) override;
    CommStatus GetModemStatus(uint32_t& status) override;
    CommStatus GetModemControl(uint32_t& control) override;
    CommStatus EscapeFunction(Escape function) override;
    CommStatus GetStatistics(SerialStats& stats) override;
    CommStatus ClearStatistics() override;
    void CancelIo() override;

  private:
    // What a Com Port request sets; SET-CONTROL carries several, told apart by value.
    enum class Setting : uint8_t {
        kBaud,
        kDataSize,
        kParity,
        kStopSize,
        kFlow,
        kBreak,
        kDtr,
        kRts,
        kInboundFlow,
        kPurge,
        kCount
    };
    static constexpr size_t kSettings = static_cast<size_t>(Setting::kCount);
    struct Request {
        Setting setting;
        rfc2217::Command command;
        std::vector<uint8_t> value;
    };
    // Bytes queued for the socket: one write's data (counted as data) or one command.
    struct Chunk {
        std::vector<uint8_t> wire;
        size_t sent = 0;
        size_t data = 0;        // data bytes the chunk carries
        uint64_t data_end = 0;  // of a write: data_queued_ once it was queued
    };
    // Line and error counters kept by the device itself.
    struct Counters {
        uint32_t rx = 0, tx = 0, frame = 0, overrun = 0, parity = 0, brk = 0;
    };
    class Sink;

    Rfc2217SerialDevice(UniqueFd socket, UniqueFd wake, std::string name, Options options);

    CommStatus Negotiate();            // up to the server agreeing to Com Port Control
    void QueryInitialState(Dcb& dcb);  // the server's line settings as they are
    std::vector<Request> RequestsFor(const Dcb& dcb);  // needs mutex_
    // Sends the requests and waits for their answers (at most the reply time-out).
    CommStatus Send(const std::vector<Request>& requests);
    // Queues bytes for the socket and wakes the I/O thread to send them (unless wake is false,
    // for a caller that sends at once itself). Needs mutex_.
    void QueueLocked(std::vector<uint8_t> wire, size_t data, bool wake = true);
    // Queues a write's data and sends what the socket takes at once; mark is the data count
    // that has to be sent for these bytes to be out. False once the connection is gone.
    bool Submit(const uint8_t* bytes, size_t count, uint64_t& mark);
    void Wake();
    void IoLoop();
    void SendSome();
    bool ReceiveSome();  // false once the connection ended
    void MarkGone();     // needs mutex_
    // What the decoder found (I/O thread).
    void OnData(std::span<const uint8_t> bytes);
    void OnNegotiation(uint8_t verb, uint8_t option);
    void OnComPort(std::span<const uint8_t> payload);
    bool OutputDrained();  // needs mutex_
    // After the I/O thread ended: shuts the sending side and drops what the server still sends
    // until it closes, at most the closing wait.
    void CloseInOrder();

    const std::string name_;
    const Options options_;
    UniqueFd socket_;
    UniqueFd wake_;  // eventfd: new output, room for input, stop
    std::unique_ptr<Sink> sink_;
    rfc2217::TelnetDecoder decoder_;  // I/O thread only

    std::mutex mutex_;  // guards the fields down to the next blank line
    std::condition_variable changed_;
    rfc2217::OptionNegotiator negotiator_;
    bool stop_ = false;
    bool gone_ = false;
    bool refused_ = false;     // the server refused Com Port Control
    bool lines_left_ = false;  // SetState leaves DTR and RTS alone (the open's, when asked to)
    std::deque<Chunk> out_;
    size_t out_control_bytes_ = 0;  // of out_, bytes that are no data (answers, commands)
    uint64_t data_queued_ = 0;      // data bytes ever queued
    uint64_t data_sent_ = 0;        // data bytes ever sent or dropped by a purge
    int writers_waiting_ = 0;       // Write calls waiting for their bytes to be sent
    bool xoff_local_ = false;       // output held by EscapeFunction(SetXoff)
    bool xoff_server_ = false;      // output held by the server's FLOWCONTROL-SUSPEND
    std::deque<uint8_t> received_;
    bool discarding_ = false;  // an input purge is under way: what comes is from before it
    ReceiveFilter filter_;
    bool rx_flag_ = false;
    Dcb dcb_;
    CommTimeouts timeouts_;
    uint32_t mask_ = 0;
    uint64_t mask_generation_ = 0;
    uint64_t read_abort_generation_ = 0;
    bool cancelled_ = false;
    bool tx_armed_ = false;
    uint8_t modem_state_ = 0;  // the high nibble of the last NOTIFY-MODEMSTATE
    bool modem_reported_ = false;
    uint32_t modem_events_ = 0;   // EV_* of modem changes since the mask was set
    uint32_t line_errors_ = 0;    // CE_* since the last ClearError
    uint32_t modem_control_ = 0;  // DTR and RTS as last asked for or answered
    uint32_t server_baud_ = 0;    // the speed the server last reported
    std::array<std::optional<std::vector<uint8_t>>, kSettings> requested_;  // last sent values
    std::array<uint64_t, kSettings> answers_{};                  // answers received per setting
    std::array<std::vector<uint8_t>, kSettings> answer_values_;  // the last answer's value
    std::array<bool, kSettings> unanswered_{};                   // no longer waited for
    std::array<bool, kSettings> told_unanswered_{};              // said once, per kind
    Counters counters_;
    Counters stats_baseline_;

    std::thread io_;  // last: started once the fields above exist
};

}  // namespace comm
