#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "porvane/monitor/driver_link.h"

namespace sievra::attach::testing {

// A port's control device held open by a test: the records it reads are kept raw and decoded
// as the monitor page decodes them ("全部信息", text), and a test waits for a text to appear.
class RecordLog {
  public:
    RecordLog(const std::string& runtime_dir, int port_index);
    ~RecordLog();

    porvane::monitor::DriverLink& link() { return link_; }
    bool open() const { return open_; }
    // Waits until the decoded text holds `text` (count times); false on time-out.
    bool WaitFor(const std::string& text, int count = 1, int timeout_ms = 20000);
    // Waits until a filter event of `code` has come; its before and after bytes.
    bool WaitForEvent(uint32_t code, uint8_t& before, uint8_t& after, int timeout_ms = 20000);
    std::string Text();
    static size_t Count(const std::string& text, const std::string& what);

  private:
    porvane::monitor::DriverLink link_;
    bool open_ = false;
    std::mutex mutex_;  // guards raw_ and text_
    std::condition_variable changed_;
    std::vector<uint8_t> raw_;
    std::string text_;
    std::thread reader_;
};

}  // namespace sievra::attach::testing
