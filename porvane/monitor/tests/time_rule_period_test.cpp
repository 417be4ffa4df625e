#include "porvane/monitor/time_rule_period.h"

#include <gtest/gtest.h>

#include <climits>

namespace porvane::monitor {
namespace {

TEST(TimeRulePeriod, SecondsInMillisecondsNeverShorterThanATimerTick) {
    struct Row {
        const char* name;
        int seconds;
        int ms;
    };
    const Row rows[] = {
        {"zero fires at the shortest period", 0, kShortestTimerPeriodMs},
        {"negative as zero", -5, kShortestTimerPeriodMs},
        {"one second", 1, 1000},
        {"ten seconds", 10, 10000},
        {"largest that fits", INT_MAX / 1000, INT_MAX / 1000 * 1000},
        {"beyond a timer's range is cut", INT_MAX, INT_MAX},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(TimeRulePeriodMs(row.seconds), row.ms);
    }
}

}  // namespace
}  // namespace porvane::monitor
