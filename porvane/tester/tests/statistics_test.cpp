#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/comm/testing/child_process.h"
#include "platform/text/gbk.h"
#include "porvane/tester/test_statistics.h"

namespace porvane::tester {
namespace {

// A clock that moves one second each time the test says so.
class FakeClock {
  public:
    LocalTime Now() const { return now_; }
    void Advance() {
        if (++now_.second == 60) {
            now_.second = 0;
            ++now_.minute;
        }
    }
    TestStatistics::Clock clock() {
        return [this] { return Now(); };
    }

  private:
    LocalTime now_{2026, 12, 8, 9, 30, 0, 0};
};

ReceiveTally Tally(uint32_t bits, uint32_t errors, uint32_t characters = 0) {
    ReceiveTally t;
    t.bits = bits;
    t.bit_errors = errors;
    t.characters = characters ? characters : bits / 8;
    return t;
}

class StatisticsTest : public ::testing::Test {
  protected:
    TickSignals Tick(uint32_t bits, uint32_t errors) {
        clock_.Advance();
        return stats_.Tick(hardware_, Tally(bits, errors));
    }
    FakeClock clock_;
    TestStatistics stats_{clock_.clock()};
    comm::SerialStats hardware_;
};

TEST_F(StatisticsTest, InitialTexts) {
    EXPECT_EQ(stats_.performance_labels()[0], "总比特: 0b");
    EXPECT_EQ(stats_.performance_labels()[3], "误码秒率: 0.0000%");
    EXPECT_EQ(stats_.performance_labels()[5], "误码率: 0.0000e+000");
    EXPECT_EQ(stats_.hardware_labels()[3], "校验错: 0");
    EXPECT_EQ(stats_.bytes_per_second_label(), "每秒字节数: 0bytes");
}

TEST_F(StatisticsTest, SignalsOfASecond) {
    TickSignals s = Tick(0, 0);
    EXPECT_TRUE(s.no_signal);
    EXPECT_FALSE(s.lost_sync);
    EXPECT_FALSE(s.resync);
    EXPECT_TRUE(s.alarm);
    s = Tick(9600, 4800);  // out of phase: ratio 0.5
    EXPECT_TRUE(s.lost_sync);
    EXPECT_TRUE(s.bit_errors);
    EXPECT_TRUE(s.resync);
    EXPECT_FALSE(s.no_signal);
    s = Tick(9600, 0);
    EXPECT_FALSE(s.alarm);
    s = Tick(9600, 9);  // a few errors: no loss of synchronisation
    EXPECT_TRUE(s.bit_errors);
    EXPECT_FALSE(s.lost_sync);
}

TEST_F(StatisticsTest, LabelsAndEventRowsShowTheSameSeconds) {
    stats_.Start();
    hardware_.TransmittedCount = 1000;
    hardware_.ParityErrorCount = 2;
    Tick(8000, 8);
    EXPECT_EQ(stats_.performance_labels()[0], "总比特: 8000b");
    EXPECT_EQ(stats_.performance_labels()[1], "总时间: 1s");
    ASSERT_EQ(stats_.rows().size(), 1u);
    EXPECT_EQ(stats_.rows()[0][2], "1s,  8, 1.0000e-003");
    EXPECT_EQ(stats_.performance_labels()[2], "误码秒: 1s");
    EXPECT_EQ(stats_.performance_labels()[3], "误码秒率: 100.0000%");
    EXPECT_EQ(stats_.performance_labels()[4], "误码数: 8b");
    EXPECT_EQ(stats_.performance_labels()[5], "误码率: 1.0000e-003");
    EXPECT_EQ(stats_.hardware_labels()[0], "发送字节数: 1000");
    EXPECT_EQ(stats_.hardware_labels()[3], "校验误: 2");
    Tick(8000, 0);
    EXPECT_EQ(stats_.performance_labels()[1], "总时间: 2s");
    EXPECT_EQ(stats_.bytes_per_second_label(), "每秒字节数: 1000bytes");
}

TEST_F(StatisticsTest, LossOfSyncIsMoreThanATenthExactly) {
    EXPECT_FALSE(Tick(7680, 768).lost_sync);  // exactly a tenth
    EXPECT_TRUE(Tick(7680, 769).lost_sync);
    EXPECT_FALSE(Tick(10, 1).lost_sync);
    EXPECT_TRUE(Tick(4'000'000'000u, 400'000'001u).lost_sync);  // no overflow in the product
}

TEST_F(StatisticsTest, ANewTestStartsWithoutTheLastFigureOfBytesPerSecond) {
    stats_.Start();
    Tick(8000, 0);
    Tick(8000, 0);
    EXPECT_EQ(stats_.bytes_per_second_label(), "每秒字节数: 1000bytes");
    stats_.Stop();
    stats_.Start();
    Tick(800, 0);
    EXPECT_EQ(stats_.bytes_per_second_label(), "每秒字节数: 0bytes");
    Tick(800, 0);
    EXPECT_EQ(stats_.bytes_per_second_label(), "每秒字节数: 100bytes");
}

TEST_F(StatisticsTest, TotalsBeyondThirtyTwoBitsShowInFull) {
    stats_.Start();
    for (int i = 0; i < 3; ++i)
        Tick(2'000'000'000u, 0);
    Tick(0, 0);
    EXPECT_EQ(stats_.performance_labels()[0], "总比特: 6000000000b");
    EXPECT_EQ(stats_.total_bits(), 6'000'000'000ull);
}

TEST_F(StatisticsTest, EventRowsOneEachSpell) {
    stats_.Start();
    Tick(7680, 3);
    Tick(7680, 5);
    Tick(7680, 0);
    Tick(7680, 1);
    Tick(0, 0);
    Tick(0, 0);
    ASSERT_EQ(stats_.rows().size(), 3u);
    EXPECT_EQ(stats_.rows()[0][0], "误码  ");
    EXPECT_EQ(stats_.rows()[0][1], "2026-12-08 09-30-01");
    EXPECT_EQ(stats_.rows()[0][2], "2s,  8, 5.2083e-004");
    EXPECT_EQ(stats_.rows()[1][2], "1s,  1, 1.3021e-004");
    EXPECT_EQ(stats_.rows()[2][0], "无信号");
    EXPECT_EQ(stats_.rows()[2][2], "2s");
}

TEST_F(StatisticsTest, KindsStartingTogetherComeInTheirOrder) {
    stats_.Start();
    Tick(8000, 4000);
    ASSERT_EQ(stats_.rows().size(), 2u);
    EXPECT_EQ(stats_.rows()[0][0], "失步  ");
    EXPECT_EQ(stats_.rows()[0][2], "1s");
    EXPECT_EQ(stats_.rows()[1][0], "误码  ");
}

TEST_F(StatisticsTest, NothingIsListedWhileNotTesting) {
    Tick(0, 0);
    EXPECT_TRUE(stats_.rows().empty());
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(StatisticsTest, ReportLinesInGbkWithCrLf) {
    comm::testing::TempDir dir;
    const std::string path = dir.path() + "/report.txt";
    EXPECT_EQ(WriteTestReport(path, stats_), "没有测试结果,不用保存!!");
    EXPECT_FALSE(std::ifstream(path).good());
    stats_.Start();
    Tick(7680, 3);
    Tick(7680, 5);
    EXPECT_EQ(WriteTestReport(path, stats_), "");
    const std::string expected =
        "--------- 串口测试结果报告 --------------\r\n"
        "测试起始时间: 2026年12月08日09时30分00秒\r\n"
        "测试结束时间: 2026年12月08日09时30分02秒\r\n"
        "总比特: 15360b\r\n总时间: 2s\r\n误码秒: 2s\r\n误码秒率: 100.0000%\r\n误码数: 8b\r\n"
        "误码率: 5.2083e-004\r\n"
        "\r\n"
        "发送字节数: 0\r\n接收字节数: 0\r\n帧错误: 0\r\n校验误: 0\r\n发送溢出: 0\r\n接收溢出: 0\r\n"
        "\r\n"
        "误码      2026-12-08 09-30-01    2s,  8, 5.2083e-004    \r\n"
        "--------- 串口测试结果报告结束 ----------";
    EXPECT_EQ(ReadFile(path), text::Utf8ToGbk(expected));
}

TEST_F(StatisticsTest, ReportToAMissingFolderGivesTheErrorCode) {
    stats_.Start();
    Tick(8000, 0);
    Tick(8000, 0);
    EXPECT_EQ(WriteTestReport("/no/such/folder/r.txt", stats_),
              "/no/such/folder/r.txt打开失败!! 原因: 2");
}

}  // namespace
}  // namespace porvane::tester
