#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/comm/unique_fd.h"
#include "porvane/capture/serial_call.h"

namespace porvane::capture {

// Keeps the calls of one port's driver record stream, as the monitor page reads it, so that they
// can be saved as a capture: a read or write recorded in pieces is one call again, a failure is
// kept with its call, and each call has the process the driver last named. Holds the latest
// calls up to max_bytes of data, the oldest let go first. Thread-safe: the page's reading thread
// adds, its window saves and clears.
class RecordCollector {
  public:
    static constexpr size_t kMaxBytes = 64 * 1024 * 1024;

    explicit RecordCollector(size_t max_bytes = kMaxBytes) : max_bytes_(max_bytes) {}

    // Takes the records of a buffer read from port's driver stream at time_us; port names the
    // capture's interface.
    void Add(const std::string& port, const uint8_t* records, size_t count, uint64_t time_us);
    void Clear();
    // How many calls are kept.
    size_t size() const;
    // Writes the calls kept as a capture to fd; application names the writer. Returns 0, or the
    // errno of the write that failed.
    int WriteTo(comm::UniqueFd fd, const std::string& application) const;

  private:
    struct Kept {
        SerialCall call;
        std::string words;  // what a call other than a read or write was
    };
    void KeepLocked(SerialCall call, const uint8_t* record, size_t size);

    const size_t max_bytes_;
    mutable std::mutex mutex_;  // guards everything below
    std::deque<Kept> calls_;
    size_t bytes_ = 0;           // the data bytes of calls_
    std::string port_;           // of the records being added
    std::vector<uint8_t> held_;  // a read or write record whose call may go on in the next
    uint64_t held_time_ = 0;
    uint32_t failure_ = 0;  // the errno the driver said the next request failed with
    CallProcess process_;
};

}  // namespace porvane::capture
