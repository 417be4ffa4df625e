#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace porvane::monitor {

// One record of the driver's stream: tag, request kind, code and its data. data points into
// the buffer it was read from.
struct MonitorRecord {
    uint8_t tag;
    uint32_t kind;
    uint32_t code;
    uint32_t length;
    const uint8_t* data;
};

// Walks the records of a buffer in order. A record whose header or data would run past the end
// of the buffer ends the walk: nothing outside the buffer is ever read. Returns the number of
// whole records seen.
size_t WalkRecords(const uint8_t* buffer, size_t count,
                   const std::function<void(const MonitorRecord&)>& visit);

}  // namespace porvane::monitor
