#include "platform/comm/read_plan.h"

#include <algorithm>

namespace comm {
namespace {

// multiplier x count + constant, computed wide enough for any count and cut to the longest wait.
uint64_t TotalMs(uint32_t multiplier, uint32_t constant, size_t count) {
    const uint64_t per_byte_limit = (kLongestWaitMs - constant) / std::max<uint64_t>(multiplier, 1);
    if (multiplier != 0 && count > per_byte_limit) {
        return kLongestWaitMs;
    }
    return std::min(kLongestWaitMs, uint64_t{multiplier} * count + constant);
}

}  // namespace

ReadPlan PlanRead(const CommTimeouts& t, size_t count) {
    ReadPlan plan;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        plan.at_once = true;
        return plan;
    }
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxDword) {
        plan.first_bytes_end = true;
        plan.total_ms = t.ReadTotalTimeoutConstant;
        return plan;
    }
    plan.interval_ms = t.ReadIntervalTimeout == kMaxDword ? 0 : t.ReadIntervalTimeout;
    plan.total_ms = TotalMs(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, count);
    return plan;
}

uint64_t WriteTotalMs(const CommTimeouts& t, size_t count) {
    return TotalMs(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, count);
}

}  // namespace comm
