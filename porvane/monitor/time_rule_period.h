#pragma once

namespace porvane::monitor {

// The shortest period of a window timer: a time row of 0 seconds fires this often, as a
// zero-length timer ran where the filter page was made, instead of without a pause.
inline constexpr int kShortestTimerPeriodMs = 10;

// The period in milliseconds with which a time row of `seconds` arms its rule: the seconds in
// milliseconds, at least kShortestTimerPeriodMs (0 or fewer seconds) and at most what a timer
// holds (INT_MAX milliseconds, about 24 days).
int TimeRulePeriodMs(int seconds);

}  // namespace porvane::monitor
