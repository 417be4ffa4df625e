#include "porvane/tester/test_statistics.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "platform/text/gbk.h"
#include "platform/text/sci_format.h"

namespace porvane::tester {
namespace {

const char* const kRowLabels[] = {"无信号", "失步  ", "误码  "};

template <class... Args>
std::string Format(const char* format, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

}  // namespace

LocalTime NowLocal() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,       local.tm_hour,
            local.tm_min,         local.tm_sec,     static_cast<int>(ms)};
}

TestStatistics::TestStatistics(Clock clock)
    : clock_(std::move(clock)),
      performance_{"总比特: 0b",        "总时间: 0s", "误码秒: 0s",
                   "误码秒率: 0.0000%", "误码数: 0b", "误码率: 0.0000e+000"},
      hardware_{"发送字节数: 0", "接收字节数: 0", "帧错误: 0",
                "校验错: 0",     "发送溢出: 0",   "接收溢出: 0"},
      bytes_per_second_("每秒字节数: 0bytes") {}

void TestStatistics::Start() {
    testing_ = true;
    total_bits_ = 0;
    total_errors_ = 0;
    seconds_ = 0;
    errored_seconds_ = 0;
    events_ = {};
    error_sum_ = 0;
    bit_sum_ = 0;
    rows_.clear();
    characters_per_second_ = 0;  // the first tick of a test shows no figure of the last one
    start_time_ = clock_();
}

void TestStatistics::RefreshLabels(const comm::SerialStats& hw) {
    performance_[0] = Format("总比特: %llub", static_cast<unsigned long long>(total_bits_));
    performance_[1] = Format("总时间: %us", seconds_);
    performance_[2] = Format("误码秒: %us", errored_seconds_);
    if (seconds_ != 0) {
        const float rate =
            100.0f * static_cast<float>(errored_seconds_) / static_cast<float>(seconds_);
        performance_[3] = Format("误码秒率: %.4f", static_cast<double>(rate)) + "%";
    }
    performance_[4] = Format("误码数: %llub", static_cast<unsigned long long>(total_errors_));
    if (total_bits_ != 0) {
        performance_[5] = "误码率: " + text::FormatSci4(static_cast<double>(total_errors_) /
                                                        static_cast<double>(total_bits_));
    }
    hardware_[0] = Format("发送字节数: %u", hw.TransmittedCount);
    hardware_[1] = Format("接收字节数: %u", hw.ReceivedCount);
    hardware_[2] = Format("帧错误: %u", hw.FrameErrorCount);
    hardware_[3] = Format("校验误: %u", hw.ParityErrorCount);
    hardware_[4] = Format("发送溢出: %u", hw.SerialOverrunErrorCount);
    hardware_[5] = Format("接收溢出: %u", hw.BufferOverrunErrorCount);
    last_update_ = clock_();
}

TickSignals TestStatistics::Tick(const comm::SerialStats& hardware, const ReceiveTally& tally) {
    bytes_per_second_ = Format("每秒字节数: %ubytes", characters_per_second_);
    total_bits_ += tally.bits;
    characters_per_second_ = tally.characters;
    if (tally.bit_errors != 0) {
        total_errors_ += tally.bit_errors;
        ++errored_seconds_;
    }
    ++seconds_;
    for (EventState& e : events_) {
        e.previous = e.current;
        e.current = false;
    }
    TickSignals s;
    if (tally.bits > 0) {
        s.lost_sync = LineTest::LostSynchronisation(tally);
        s.bit_errors = tally.bit_errors != 0;
        if (s.bit_errors) {
            error_sum_ += tally.bit_errors;
            bit_sum_ += tally.bits;
        }
    } else {
        s.no_signal = true;
    }
    events_[kNoSignal].current = s.no_signal;
    events_[kLostSync].current = s.lost_sync;
    events_[kBitErrors].current = s.bit_errors;
    s.alarm = s.no_signal || s.lost_sync || s.bit_errors;
    if (testing_) {
        UpdateEvents();
        // After the events, so that the labels and the event rows (and a report written from
        // them) cover the same seconds.
        RefreshLabels(hardware);
    }
    s.resync = s.lost_sync;
    return s;
}

void TestStatistics::UpdateEvents() {
    const LocalTime now = clock_();
    const std::string when = Format("%d-%02d-%02d %02d-%02d-%02d", now.year, now.month, now.day,
                                    now.hour, now.minute, now.second);
    for (int kind = 0; kind < 3; ++kind) {
        EventState& e = events_[kind];
        if (e.current) {
            if (!e.previous) {
                e.row = static_cast<uint32_t>(rows_.size());
                rows_.push_back({kRowLabels[kind], when, ""});
            }
            ++e.duration;
            if (kind == kBitErrors) {
                const float ratio = static_cast<float>(error_sum_) / static_cast<float>(bit_sum_);
                rows_[e.row][2] = Format("%us,  %u, ", e.duration, error_sum_) +
                                  text::FormatSci4(static_cast<double>(ratio));
            } else {
                rows_[e.row][2] = Format("%us", e.duration);
            }
        } else {
            e.duration = 0;
            if (kind == kBitErrors) {
                error_sum_ = 0;
                bit_sum_ = 0;
            }
        }
    }
}

std::string WriteTestReport(const std::string& path, const TestStatistics& s) {
    if (s.start_time() == s.last_update_time()) {
        return "没有测试结果,不用保存!!";
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return Format("%s打开失败!! 原因: %d", path.c_str(), errno);
    }
    auto time_line = [](const char* head, const LocalTime& t) {
        return Format("%s: %d年%02d月%02d日%02d时%02d分%02d秒\r\n", head, t.year, t.month, t.day,
                      t.hour, t.minute, t.second);
    };
    std::string report = "--------- 串口测试结果报告 --------------\r\n";
    report += time_line("测试起始时间", s.start_time());
    report += time_line("测试结束时间", s.last_update_time());
    for (const std::string& label : s.performance_labels())
        report += label + "\r\n";
    report += "\r\n";
    for (const std::string& label : s.hardware_labels())
        report += label + "\r\n";
    report += "\r\n";
    for (const EventRow& row : s.rows()) {
        for (const std::string& column : row)
            report += column + "    ";
        report += "\r\n";
    }
    report += "--------- 串口测试结果报告结束 ----------";
    const std::string gbk = text::Utf8ToGbk(report);
    const bool written = std::fwrite(gbk.data(), 1, gbk.size(), file) == gbk.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        return Format("%s写入失败!! 原因: %d", path.c_str(), errno);
    }
    return {};
}

}  // namespace porvane::tester
