#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sievra::attach::testing {
class AttachedProgram;
}

namespace porvane::monitor::testing {

// The program whose port the pages watch: a real /usr/bin/python3 run under the attachment
// (libsievra.so preloaded, the host's runtime folder), making ordinary tty calls on the port when
// the test tells it to. Each call is one line on the program's input and waits for the program's
// answer line, so a test knows the call has been made (and, through the attachment, reported)
// before it goes on. Calls return false when the program failed the call or did not answer.
class ApplicationUnderTest {
  public:
    ApplicationUnderTest(const std::string& runtime_dir, const std::string& port_path);
    ~ApplicationUnderTest();
    ApplicationUnderTest(const ApplicationUnderTest&) = delete;
    ApplicationUnderTest& operator=(const ApplicationUnderTest&) = delete;

    // os.open(port, O_RDWR | O_NOCTTY) and os.close.
    bool Open();
    bool Close();
    // tcsetattr(TCSANOW) raw with a standard baud rate, data bits 5..8, parity 'N'/'O'/'E',
    // stop bits 1 or 2, and the CTS/RTS and XON/XOFF output handshakes.
    bool SetLine(uint32_t baud, int data_bits = 8, char parity = 'N', int stop_bits = 1,
                 bool crtscts = false, bool ixon = false);
    // TIOCMBIS with DTR (a pseudo-terminal refuses it; the call is still made and reported).
    bool SetDtr();
    // tcflush(TCIOFLUSH).
    bool Purge();
    // One write of all the bytes; true when the program saw them all written.
    bool Write(const std::string& bytes);
    // Blocking reads until at least n bytes have come; what they returned (empty on failure).
    std::string Read(size_t n);
    // The port's output speed as the program reads it (TCGETS2), 0 on failure.
    uint32_t Speed();
    // The output speed code as the program's own tcgetattr reads it (B9600, ..., BOTHER).
    uint32_t SpeedCode();
    // Ends the program (closing what it still holds) and returns its exit status.
    int Exit();

  private:
    std::string Call(const std::string& command);
    std::unique_ptr<sievra::attach::testing::AttachedProgram> program_;
};

// The attachment tells the host of an open and a close without waiting for it, so the program's
// call may return before the host's serial driver holds (or lets go of) its descriptor. Waits
// until the host answers a baud rate other than 0 (open) or 0 (closed) for port_index (0-based),
// as the filter's Start asks it; false on time-out.
bool WaitUntilTheHostSees(const std::string& runtime_dir, int port_index, bool open);

}  // namespace porvane::monitor::testing
