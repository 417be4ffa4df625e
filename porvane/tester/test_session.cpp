#include "porvane/tester/test_session.h"

#include <utility>

namespace porvane::tester {
namespace {

// The port's counters since baseline, so that the hardware figures cover the same seconds as
// the performance figures.
comm::SerialStats CountersSince(const comm::SerialStats& baseline, const comm::SerialStats& now) {
    return {now.ReceivedCount - baseline.ReceivedCount,
            now.TransmittedCount - baseline.TransmittedCount,
            now.FrameErrorCount - baseline.FrameErrorCount,
            now.SerialOverrunErrorCount - baseline.SerialOverrunErrorCount,
            now.BufferOverrunErrorCount - baseline.BufferOverrunErrorCount,
            now.ParityErrorCount - baseline.ParityErrorCount};
}

// A severely errored second: no signal, or a bit error ratio of 1e-3 or more.
bool SeverelyErrored(const ReceiveTally& tally) {
    return tally.bits == 0 ||
           static_cast<double>(tally.bit_errors) / static_cast<double>(tally.bits) >= 1e-3;
}

}  // namespace

TestSession::TestSession(TestLineAccess line, Counting counting, TestStatistics::Clock clock)
    : line_(std::move(line)), counting_(counting), statistics_(std::move(clock)) {}

void TestSession::Start() {
    started_ = true;
    g821_ = G821Counter{};
    hardware_baseline_ = {};
    synchronised_ = counting_ == Counting::kFromStart;
    if (synchronised_) {
        statistics_.Start();
    }
}

void TestSession::Stop() {
    started_ = false;
    statistics_.Stop();
}

void TestSession::Finish() {
    statistics_.RefreshLabels(CountedHardware());
    Stop();
}

bool TestSession::testing() const {
    return started_ && synchronised_;
}

comm::SerialStats TestSession::CountedHardware() const {
    return CountersSince(hardware_baseline_, hardware_);
}

TestSecond TestSession::Tick() {
    // Waiting for synchronisation needs the counters of every second, to take the baseline
    // from the one before it; otherwise they are read only while they count.
    const bool awaiting_sync = started_ && !synchronised_;
    const comm::SerialStats previous_hardware = hardware_;
    if (awaiting_sync || testing()) {
        hardware_ = line_.read_counters();
    } else {
        hardware_ = {};
    }
    TestSecond second;
    second.tally = line_.fetch_tally();
    if (awaiting_sync && second.tally.bits > 0 && !LineTest::LostSynchronisation(second.tally)) {
        synchronised_ = true;
        hardware_baseline_ = previous_hardware;
        statistics_.Start();
    }
    second.tick = statistics_.Tick(CountedHardware(), second.tally);
    if (second.tick.resync) {
        line_.resynchronise();
    }
    second.counted = testing();
    if (second.counted) {
        g821_.AddSecond(SeverelyErrored(second.tally));
    }
    return second;
}

}  // namespace porvane::tester
