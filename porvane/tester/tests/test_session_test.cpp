// The tester's once-a-second step over a scripted line: what it reads, what it counts and when
// it asks the checker to start over, in both ways of counting.
#include <gtest/gtest.h>

#include <deque>

#include "porvane/tester/g821_counter.h"
#include "porvane/tester/test_session.h"

namespace porvane::tester {
namespace {

ReceiveTally Tally(uint32_t bits, uint32_t errors) {
    ReceiveTally t;
    t.bits = bits;
    t.bit_errors = errors;
    t.characters = bits / 8;
    return t;
}

// A line whose seconds are scripted: each tick takes the next tally, and the transmitted-bytes
// counter grows by 100 a second.
class ScriptedLine {
  public:
    TestLineAccess access() {
        return {.read_counters =
                    [this] {
                        ++counter_reads;
                        return counters;
                    },
                .fetch_tally =
                    [this] {
                        counters.TransmittedCount += 100;
                        if (tallies.empty())
                            return ReceiveTally{};
                        const ReceiveTally t = tallies.front();
                        tallies.pop_front();
                        return t;
                    },
                .resynchronise = [this] { ++resyncs; }};
    }

    std::deque<ReceiveTally> tallies;
    comm::SerialStats counters;
    int counter_reads = 0;
    int resyncs = 0;
};

LocalTime FixedClock() {
    return {2026, 12, 8, 9, 30, 0, 0};
}

TEST(TestSession, CommandLineCountsFromTheFirstSynchronisedSecond) {
    ScriptedLine line;
    line.tallies = {Tally(0, 0), Tally(9600, 4800), Tally(9600, 3), Tally(9600, 0)};
    TestSession session(line.access(), TestSession::Counting::kFromFirstSynchronisedSecond,
                        FixedClock);
    session.Start();

    TestSecond s = session.Tick();  // silence: the checker has nothing yet
    EXPECT_FALSE(s.counted);
    EXPECT_TRUE(s.tick.no_signal);
    s = session.Tick();  // out of phase: starting over is asked for, nothing is counted
    EXPECT_FALSE(s.counted);
    EXPECT_TRUE(s.tick.lost_sync);
    EXPECT_EQ(line.resyncs, 1);
    EXPECT_FALSE(session.synchronised());
    EXPECT_EQ(line.counter_reads, 2);  // read while waiting, for the baseline

    s = session.Tick();  // the first clean second: counted, errors and all
    EXPECT_TRUE(s.counted);
    EXPECT_TRUE(session.synchronised());
    EXPECT_TRUE(s.tick.bit_errors);
    s = session.Tick();
    EXPECT_TRUE(s.counted);
    session.Finish();

    const TestStatistics& st = session.statistics();
    EXPECT_FALSE(st.testing());
    EXPECT_EQ(st.seconds(), 2u);
    EXPECT_EQ(st.total_bits(), 19200u);
    EXPECT_EQ(st.total_bit_errors(), 3u);
    EXPECT_EQ(st.errored_seconds(), 1u);
    EXPECT_EQ(st.performance_labels()[0], "总比特: 19200b");  // brought up to the last second
    // The hardware figures cover the counted seconds only: 2 × 100 bytes.
    EXPECT_EQ(st.hardware_labels()[0], "发送字节数: 200");
    EXPECT_EQ(session.g821().severely_errored_seconds(), 0u);
}

TEST(TestSession, CommandLineThatNeverSynchronisesCountsNothing) {
    ScriptedLine line;
    line.tallies = {Tally(0, 0), Tally(9600, 4800), Tally(0, 0)};
    TestSession session(line.access(), TestSession::Counting::kFromFirstSynchronisedSecond,
                        FixedClock);
    session.Start();
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(session.Tick().counted);
    session.Finish();
    EXPECT_FALSE(session.synchronised());
    EXPECT_FALSE(session.statistics().testing());
    EXPECT_EQ(session.g821().severely_errored_seconds(), 0u);
}

TEST(TestSession, PageCountsEverySecondBetweenStartAndStop) {
    ScriptedLine line;
    line.tallies = {Tally(9600, 0), Tally(0, 0), Tally(9600, 4800), Tally(9600, 0)};
    TestSession session(line.access(), TestSession::Counting::kFromStart, FixedClock);

    TestSecond s = session.Tick();  // before the test: signals only, counters not read
    EXPECT_FALSE(s.counted);
    EXPECT_EQ(line.counter_reads, 0);

    session.Start();
    EXPECT_TRUE(session.synchronised());
    EXPECT_TRUE(session.Tick().counted);  // a silent second counts from the start
    s = session.Tick();
    EXPECT_TRUE(s.counted);
    EXPECT_EQ(line.resyncs, 1);
    EXPECT_EQ(line.counter_reads, 2);
    EXPECT_EQ(session.statistics().seconds(), 2u);
    EXPECT_EQ(session.statistics().total_bit_errors(), 4800u);
    EXPECT_EQ(session.g821().severely_errored_seconds(), 2u);
    // The page's counters are the port's own (cleared when its test starts): no baseline.
    EXPECT_EQ(session.statistics().hardware_labels()[0], "发送字节数: 200");

    session.Stop();
    EXPECT_FALSE(session.Tick().counted);
    EXPECT_EQ(line.counter_reads, 2);
    EXPECT_EQ(session.statistics().seconds(), 2u + 1u);  // the tick still runs the signals
}

TEST(G821Counter, UnavailableTimeStartsAndEndsWithTenSeconds) {
    G821Counter c;
    for (int i = 0; i < 9; ++i)
        c.AddSecond(true);
    EXPECT_EQ(c.unavailable_seconds(), 0u);
    c.AddSecond(true);  // the tenth: all ten are unavailable
    EXPECT_EQ(c.unavailable_seconds(), 10u);
    for (int i = 0; i < 5; ++i)
        c.AddSecond(false);
    c.AddSecond(true);
    for (int i = 0; i < 10; ++i)
        c.AddSecond(false);  // ten clean seconds end it
    EXPECT_EQ(c.unavailable_seconds(), 10u + 6u);
    EXPECT_EQ(c.severely_errored_seconds(), 11u);
}

}  // namespace
}  // namespace porvane::tester
