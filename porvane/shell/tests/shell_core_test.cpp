#include <gtest/gtest.h>

#include "porvane/shell/line_chart_model.h"
#include "porvane/shell/status_counters.h"

namespace porvane::shell {
namespace {

comm::SerialStats Stats(uint32_t rx, uint32_t tx, uint32_t frame = 0, uint32_t parity = 0) {
    comm::SerialStats s;
    s.ReceivedCount = rx;
    s.TransmittedCount = tx;
    s.FrameErrorCount = frame;
    s.ParityErrorCount = parity;
    return s;
}

TEST(StatusCounters, TotalsLampsAndChart) {
    StatusCounters c;
    c.SetChartScale(100, 100);
    StatusTick t = c.Tick(0x03, Stats(50, 20));
    EXPECT_TRUE(t.dtr);
    EXPECT_TRUE(t.rts);
    EXPECT_FALSE(t.no_signal);
    EXPECT_EQ(t.received_total, 50u);
    EXPECT_EQ(t.sent_total, 20u);
    EXPECT_EQ(t.chart_received, 50u);
    t = c.Tick(0x00, Stats(50, 20, 1));
    EXPECT_TRUE(t.no_signal);
    EXPECT_TRUE(t.frame_error);
    EXPECT_FALSE(t.dtr);
    t = c.Tick(0x00, Stats(50, 20, 1));
    EXPECT_FALSE(t.frame_error);  // lit for one tick only
}

TEST(StatusCounters, ResetCountsOnlyNewTraffic) {
    StatusCounters c;
    c.Tick(0, Stats(1000, 500));
    c.ResetTotals();
    StatusTick t = c.Tick(0, Stats(1010, 505));
    EXPECT_EQ(t.received_total, 10u);
    EXPECT_EQ(t.sent_total, 5u);
}

TEST(StatusCounters, ACounterThatWentDownIsARestartNotAHugeAmount) {
    StatusCounters c;
    c.Tick(0, Stats(70000, 900));
    StatusTick t = c.Tick(0, Stats(0, 0));  // port closed: an all-zero record
    EXPECT_EQ(t.received_total, 70000u);
    t = c.Tick(0, Stats(12, 3));  // reopened: counters restarted
    EXPECT_EQ(t.received_total, 70012u);
    EXPECT_EQ(t.sent_total, 903u);
    EXPECT_LE(t.chart_received, 100000u);
}

TEST(StatusCounters, ChartValuesUseTheScale) {
    StatusCounters c;
    c.SetChartScale(2000, 2000);
    StatusTick t = c.Tick(0, Stats(1000, 4000));
    EXPECT_EQ(t.chart_received, 50u);
    EXPECT_EQ(t.chart_sent, 200u);  // the chart clamps it
}

TEST(LineChartModel, SeriesClampingAndRows) {
    LineChartModel m;
    EXPECT_EQ(m.AddSeries(0x00FF00, 100, 0), 1);
    EXPECT_EQ(m.SetValue(1, 5), 0u);  // no such series
    EXPECT_EQ(m.series()[0].current, 0u);
    EXPECT_EQ(m.SetValue(0, 40), 0u);
    EXPECT_EQ(m.SetValue(0, 0xFFFFFFF0u), 40u);  // a negative difference arrives huge
    EXPECT_EQ(m.series()[0].current, 100u);
    EXPECT_EQ(m.series()[0].previous, 40u);
    const ChartSeries& s = m.series()[0];
    EXPECT_EQ(LineChartModel::Row(s, 100, 30), 0);
    EXPECT_EQ(LineChartModel::Row(s, 0, 30), 30);
    EXPECT_EQ(LineChartModel::Row(s, 50, 31), 15);
}

}  // namespace
}  // namespace porvane::shell
