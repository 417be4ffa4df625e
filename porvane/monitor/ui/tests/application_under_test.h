#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace porvane::monitor::testing {

// The program whose port the pages watch. Today it speaks the port's application socket
// (SievrApp<n>) directly, exactly the requests that the attachment makes for a program's tty
// calls; the pages' tests only use these calls, so a real program under the attachment can take
// its place. Each call returns the request's completion status (0 success, -1 no answer).
class ApplicationUnderTest {
  public:
    // runtime_dir: the host's socket folder; port: the port's number n (1-based).
    ApplicationUnderTest(const std::string& runtime_dir, int port);
    ~ApplicationUnderTest();
    ApplicationUnderTest(const ApplicationUnderTest&) = delete;
    ApplicationUnderTest& operator=(const ApplicationUnderTest&) = delete;

    bool connected() const { return fd_ >= 0; }
    int32_t Open();
    int32_t Close();
    int32_t Write(const std::string& bytes);
    // A read of up to n bytes; returns the status, data gets what the driver delivered.
    int32_t Read(uint32_t n, std::string* data = nullptr);
    // A serial control request with its input buffer and output length.
    int32_t Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t output_length = 0,
                    std::vector<uint8_t>* output = nullptr);

    int32_t SetBaud(uint32_t baud);
    int32_t SetLineControl(uint8_t stop_bits, uint8_t parity, uint8_t word_length);
    int32_t SetHandflow(uint32_t control_handshake, uint32_t flow_replace, int32_t xon_limit,
                        int32_t xoff_limit);
    int32_t SetDtr();
    int32_t Purge(uint32_t mask);

  private:
    int32_t Request(uint8_t op, uint32_t code, const std::vector<uint8_t>& input,
                    uint32_t output_length, std::vector<uint8_t>* output);
    int fd_ = -1;
    uint32_t id_ = 0;
};

}  // namespace porvane::monitor::testing
