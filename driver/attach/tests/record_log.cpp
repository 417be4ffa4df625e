#include "driver/attach/tests/record_log.h"

#include <chrono>

#include "porvane/monitor/monitor_decoder.h"
#include "porvane/monitor/monitor_record.h"

namespace sievra::attach::testing {

RecordLog::RecordLog(const std::string& runtime_dir, int port_index) : link_(runtime_dir) {
    open_ = link_.Open(port_index);
    if (!open_)
        return;
    reader_ = std::thread([this] {
        uint8_t buffer[4096];
        for (;;) {
            const uint32_t n = link_.Read(buffer);
            if (n == 0)
                return;
            const porvane::monitor::MonitorOutput out = porvane::monitor::DecodeRecords(
                buffer, n, porvane::monitor::ContentMode::kAllInfo, false);
            std::lock_guard lock(mutex_);
            raw_.insert(raw_.end(), buffer, buffer + n);
            text_ += out.lower;
            changed_.notify_all();
        }
    });
}

RecordLog::~RecordLog() {
    link_.Close();
    if (reader_.joinable())
        reader_.join();
}

size_t RecordLog::Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

bool RecordLog::WaitFor(const std::string& text, int count, int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return Count(text_, text) >= static_cast<size_t>(count); });
}

bool RecordLog::WaitForEvent(uint32_t code, uint8_t& before, uint8_t& after, int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        bool found = false;
        porvane::monitor::WalkRecords(raw_.data(), raw_.size(),
                                      [&](const porvane::monitor::MonitorRecord& r) {
                                          if (!found && r.code == code && r.length == 2) {
                                              before = r.data[0];
                                              after = r.data[1];
                                              found = true;
                                          }
                                      });
        return found;
    });
}

std::string RecordLog::Text() {
    std::lock_guard lock(mutex_);
    return text_;
}

}  // namespace sievra::attach::testing
