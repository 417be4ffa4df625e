#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/comm/recording_opener.h"
#include "porvane/serial/line_settings.h"
#include "porvane/serial/page_window.h"
#include "porvane/serial/serial_channel.h"

namespace porvane::cli {

// The line parameters of "porvane-cli term", as typed.
struct TermOptions {
    std::string port;
    uint32_t baud = 9600;
    int data_bits = 8;
    std::string parity = "no";  // no, odd, even, mark, space
    std::string stop = "1";     // 1, 1.5, 2
    bool hex = false;
    int linger_ms = 200;  // after the last byte has left: how long to wait for replies
};

// Builds the settings record of the options; false with a message for a value no list holds.
bool BuildTermSettings(const TermOptions& options, serial::LineSettings& settings,
                       std::string& error);

// A terminal on standard input and output: what arrives on the port goes to output_fd (as
// "%02x " groups in hex mode), what is read from input_fd goes to the port. It is the page of
// its channel; notifications arrive on the event thread and are handled there.
class TermSession : public serial::PageWindow {
  public:
    TermSession(const TermOptions& options, int input_fd, int output_fd, int stop_fd);

    // Opens the port and copies until the end of input has been written out (0), a stop
    // request arrives on stop_fd (0), or the port fails (1). Messages go to standard error, an
    // open failure with the port and the reason. Hex output ends with a line end.
    int Run();

    intptr_t PageNotify(uint32_t code, void* data) override;
    void ShowMessage(const std::string& text) override;

  private:
    void ClosePort();
    bool WaitForTransmit(uint64_t target, int timeout_ms);
    void WaitForQuietLine();
    bool StopRequested(int timeout_ms);

    TermOptions options_;
    int input_fd_;
    int output_fd_;
    int stop_fd_;
    comm::RecordingOpener opener_;  // keeps why the port did not open
    serial::SerialChannel channel_;

    std::mutex mutex_;  // guards acknowledged_ and receive_count_
    std::condition_variable changed_;
    uint64_t acknowledged_ = 0;  // bytes reported gone by transmit-empty
    uint64_t receive_count_ = 0;
};

}  // namespace porvane::cli
