#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/comm/serial_stats.h"
#include "porvane/tester/line_test.h"

namespace porvane::tester {

// A local date and time, as the report and the event list show it.
struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    bool operator==(const LocalTime&) const = default;
};

LocalTime NowLocal();

// One row of the error event list: kind, start time, duration (and errors for bit errors).
using EventRow = std::array<std::string, 3>;

// What a tick asks of the panel.
struct TickSignals {
    bool no_signal = false;
    bool lost_sync = false;
    bool bit_errors = false;
    bool alarm = false;   // one of the three: beep when the alarm is on
    bool resync = false;  // ask the checker to resynchronise
};

// The statistics panel without its widgets: the per-second tick, the totals, the label texts,
// the error events and their list. Texts are UTF-8. The clock is injectable, so that tests can
// go second by second.
class TestStatistics {
  public:
    using Clock = std::function<LocalTime()>;
    explicit TestStatistics(Clock clock = NowLocal);

    void Start();
    void Stop() { testing_ = false; }
    bool testing() const { return testing_; }

    // One tick. hardware: the port's counters (read only while testing); tally: the tally
    // fetched from the channel at this tick.
    TickSignals Tick(const comm::SerialStats& hardware, const ReceiveTally& tally);
    // Sets the labels from the totals so far and the last update time to now. A tick does this
    // last, so the labels and the event rows always show the same seconds.
    void RefreshLabels(const comm::SerialStats& hardware);

    // The labels as they stand: "总比特: ..b" ... "误码率: ..." (6), "发送字节数: .." ... (6).
    const std::array<std::string, 6>& performance_labels() const { return performance_; }
    const std::array<std::string, 6>& hardware_labels() const { return hardware_; }
    const std::string& bytes_per_second_label() const { return bytes_per_second_; }
    const std::vector<EventRow>& rows() const { return rows_; }
    const LocalTime& start_time() const { return start_time_; }
    const LocalTime& last_update_time() const { return last_update_; }
    uint64_t total_bits() const { return total_bits_; }
    uint64_t total_bit_errors() const { return total_errors_; }
    uint32_t seconds() const { return seconds_; }
    uint32_t errored_seconds() const { return errored_seconds_; }

  private:
    enum Kind { kNoSignal = 0, kLostSync = 1, kBitErrors = 2 };
    struct EventState {
        bool current = false;
        bool previous = false;
        uint32_t duration = 0;
        uint32_t row = 0;
    };

    void UpdateEvents();

    Clock clock_;
    bool testing_ = false;
    uint64_t total_bits_ = 0;
    uint64_t total_errors_ = 0;
    uint32_t seconds_ = 0;
    uint32_t errored_seconds_ = 0;
    uint32_t characters_per_second_ = 0;
    LocalTime start_time_;
    LocalTime last_update_;
    std::array<EventState, 3> events_{};
    uint32_t error_sum_ = 0;
    uint32_t bit_sum_ = 0;
    std::vector<EventRow> rows_;
    std::array<std::string, 6> performance_;
    std::array<std::string, 6> hardware_;
    std::string bytes_per_second_;
};

// Writes the test report (GBK, CR LF, no line end after the last line). Returns the message to
// show: empty when the report was written, "没有测试结果,不用保存!!" when no test has run, or
// "<path>打开失败!! 原因: <errno>" when the file cannot be created.
std::string WriteTestReport(const std::string& path, const TestStatistics& statistics);

}  // namespace porvane::tester
