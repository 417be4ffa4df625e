#include "porvane/monitor/time_rule_period.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace porvane::monitor {

int TimeRulePeriodMs(int seconds) {
    const int64_t ms = static_cast<int64_t>(seconds) * 1000;
    return static_cast<int>(std::clamp<int64_t>(ms, kShortestTimerPeriodMs, INT_MAX));
}

}  // namespace porvane::monitor
