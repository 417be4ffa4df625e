#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/comm/comm_timeouts.h"

namespace comm {

// Limits beyond this are cut to it: about 35 years, far inside the range of the clock's
// deadlines, so that even MAXDWORD times a long read cannot overflow one.
inline constexpr uint64_t kLongestWaitMs = uint64_t{1} << 40;

// How one read waits, worked out from the read time-outs and the number of bytes asked for.
struct ReadPlan {
    // Take what is already queued and return without waiting.
    bool at_once = false;
    // Return as soon as a read has brought any bytes, whatever the length asked for.
    bool first_bytes_end = false;
    // After a byte has come, the longest silence before the read ends with what it has; 0: none.
    uint32_t interval_ms = 0;
    // The limit on the whole read from its start (at most kLongestWaitMs); 0: none.
    uint64_t total_ms = 0;

    bool operator==(const ReadPlan&) const = default;
};

// The Windows read time-out rules:
// - ReadIntervalTimeout MAXDWORD with both total values 0: return at once with what is queued.
// - ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD with a ReadTotalTimeoutConstant
//   above 0 and below MAXDWORD: wait up to the constant for the first bytes, return with them.
// - Otherwise ReadIntervalTimeout limits the silence between bytes once the first has come
//   (MAXDWORD sets no such limit), and multiplier x count + constant limits the whole read.
//   A zero sets no limit, so all zero waits until every byte asked for has come.
ReadPlan PlanRead(const CommTimeouts& timeouts, size_t count);

// The limit on a whole write of count bytes (multiplier x count + constant, at most
// kLongestWaitMs); 0: none.
uint64_t WriteTotalMs(const CommTimeouts& timeouts, size_t count);

}  // namespace comm
