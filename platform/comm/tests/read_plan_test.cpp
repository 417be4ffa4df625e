#include "platform/comm/read_plan.h"

#include <gtest/gtest.h>

namespace comm {
namespace {

// One row per read time-out rule, with the combinations of MAXDWORD around each.
struct PlanRow {
    const char* name;
    CommTimeouts timeouts;  // only the three read values matter
    size_t count;
    ReadPlan plan;
};

constexpr uint64_t kMax = kMaxDword;

const PlanRow kPlanRows[] = {
    {"all zero: waits until every byte has come", {0, 0, 0}, 10, {false, false, 0, 0}},
    {"interval MAXDWORD, totals zero: returns at once", {kMaxDword, 0, 0}, 10, {true, false, 0, 0}},
    {"interval and multiplier MAXDWORD, constant set: the first bytes within the constant",
     {kMaxDword, kMaxDword, 250},
     2048,
     {false, true, 0, 250}},
    {"first-bytes rule at the smallest constant",
     {kMaxDword, kMaxDword, 1},
     1,
     {false, true, 0, 1}},
    {"first-bytes rule at the largest constant below MAXDWORD",
     {kMaxDword, kMaxDword, kMaxDword - 1},
     1,
     {false, true, 0, kMax - 1}},
    {"interval and multiplier MAXDWORD, constant 0: not the first-bytes rule",
     {kMaxDword, kMaxDword, 0},
     2,
     {false, false, 0, 2 * kMax}},
    {"interval and multiplier MAXDWORD, constant MAXDWORD: not the first-bytes rule",
     {kMaxDword, kMaxDword, kMaxDword},
     1,
     {false, false, 0, 2 * kMax}},
    {"interval only: limits the silence after a byte, no total",
     {50, 0, 0},
     10,
     {false, false, 50, 0}},
    {"the default interval of 1 ms", {1, 0, 0}, 2048, {false, false, 1, 0}},
    {"constant only: limits the whole read", {0, 0, 150}, 10, {false, false, 0, 150}},
    {"multiplier only: scales with the length asked for", {0, 10, 0}, 16, {false, false, 0, 160}},
    {"multiplier and constant add", {0, 10, 100}, 16, {false, false, 0, 260}},
    {"interval and total together", {20, 5, 100}, 4, {false, false, 20, 120}},
    {"interval MAXDWORD with a constant: no interval limit, the total holds",
     {kMaxDword, 0, 300},
     10,
     {false, false, 0, 300}},
    {"interval MAXDWORD with a multiplier: no interval limit, the total holds",
     {kMaxDword, 5, 0},
     3,
     {false, false, 0, 15}},
    {"multiplier MAXDWORD on a long read is cut to the longest wait",
     {0, kMaxDword, kMaxDword},
     size_t{1} << 20,
     {false, false, 0, kLongestWaitMs}},
    {"a total just below the longest wait stays exact",
     {0, 1, 0},
     static_cast<size_t>(kLongestWaitMs - 1),
     {false, false, 0, kLongestWaitMs - 1}},
};

TEST(PlanRead, EveryRuleOfTheReadTimeouts) {
    for (const PlanRow& row : kPlanRows) {
        SCOPED_TRACE(row.name);
        const ReadPlan plan = PlanRead(row.timeouts, row.count);
        EXPECT_EQ(plan.at_once, row.plan.at_once);
        EXPECT_EQ(plan.first_bytes_end, row.plan.first_bytes_end);
        EXPECT_EQ(plan.interval_ms, row.plan.interval_ms);
        EXPECT_EQ(plan.total_ms, row.plan.total_ms);
    }
}

TEST(PlanRead, WriteTotalFollowsTheSameArithmetic) {
    EXPECT_EQ(WriteTotalMs({0, 0, 0, 0, 0}, 100), 0u);
    EXPECT_EQ(WriteTotalMs({0, 0, 0, 0, 200}, 100), 200u);
    EXPECT_EQ(WriteTotalMs({0, 0, 0, 3, 200}, 100), 500u);
    EXPECT_EQ(WriteTotalMs({0, 0, 0, kMaxDword, 0}, size_t{8} << 20), kLongestWaitMs);
}

}  // namespace
}  // namespace comm
