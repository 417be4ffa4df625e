#pragma once

#include <cstdint>
#include <functional>

#include "platform/comm/serial_stats.h"
#include "porvane/tester/g821_counter.h"
#include "porvane/tester/line_test.h"
#include "porvane/tester/test_statistics.h"

namespace porvane::tester {

// What a test session reads from and asks of the line under test. The command line reaches its
// channel directly; the page goes through its notifications.
struct TestLineAccess {
    std::function<comm::SerialStats()> read_counters;  // the port's hardware counters
    std::function<ReceiveTally()> fetch_tally;         // the checker's tally of the last second
    std::function<void()> resynchronise;               // the checker starts over
};

// One second of a test as the session saw it.
struct TestSecond {
    ReceiveTally tally;
    TickSignals tick;      // the lamps, the alarm and the resynchronisation of this second
    bool counted = false;  // false: outside the test, or before its first synchronised second
};

// The line tester's once-a-second step: reads the port's counters and the checker's tally,
// brings the statistics and the G.821 figures up to date and asks for resynchronisation when a
// second lost it.
class TestSession {
  public:
    enum class Counting {
        kFromStart,  // every second from Start on (the page)
        // The checker starts unsynchronised, so the seconds before its first clean one measure
        // the start, not the line: counting, the hardware figures included, begins with the
        // first second that brought bits and kept synchronisation (the command line).
        kFromFirstSynchronisedSecond,
    };

    TestSession(TestLineAccess line, Counting counting,
                TestStatistics::Clock clock = TestStatistics::Clock(NowLocal));

    // Begins a test: counting starts now or with the first synchronised second.
    void Start();
    // Ends the test; its figures stay readable.
    void Stop();
    // Ends the test with the labels' end time stamped now.
    void Finish();
    // The once-a-second step.
    TestSecond Tick();

    // A second was counted since Start (always so once Start ran, when counting from the start).
    bool synchronised() const { return synchronised_; }
    const TestStatistics& statistics() const { return statistics_; }
    const G821Counter& g821() const { return g821_; }

  private:
    bool testing() const;
    comm::SerialStats CountedHardware() const;

    TestLineAccess line_;
    Counting counting_;
    TestStatistics statistics_;
    G821Counter g821_;
    bool started_ = false;                   // between Start and Stop
    bool synchronised_ = false;              // counting has begun
    comm::SerialStats hardware_baseline_{};  // the counters when the counted seconds began
    comm::SerialStats hardware_{};           // the counters at the last tick
};

}  // namespace porvane::tester
