// The line tester end to end: porvane-cli test over a virtual loop-back plug (and a silent line).
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>

#include "platform/comm/testing/child_process.h"
#include "porvane/cli/test_command.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using comm::testing::WaitForPath;

struct Second {
    uint64_t bits, errors, characters;
    int no_signal, lost_sync, bit_errors;
    uint64_t total_errors;
};

std::vector<Second> ParseSeconds(const std::string& output) {
    std::vector<Second> seconds;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        int tick;
        Second s{};
        fields >> tick >> s.bits >> s.errors >> s.characters >> s.no_signal >> s.lost_sync >>
            s.bit_errors >> s.total_errors;
        EXPECT_EQ(tick, static_cast<int>(seconds.size()) + 1);
        seconds.push_back(s);
    }
    return seconds;
}

class LineTestCommand : public ::testing::Test {
  protected:
    void StartLoop() {
        link_ = dir_.path() + "/loop";
        vport_ = std::make_unique<ChildProcess>("vport", std::vector<std::string>{"loop", link_});
        ASSERT_TRUE(WaitForPath(link_));
    }
    TempDir dir_;
    std::string link_;
    std::unique_ptr<ChildProcess> vport_;
};

TEST_F(LineTestCommand, CleanLoopBackLosesSynchronisationOnlyInTheFirstSecond) {
    StartLoop();
    const std::string report = dir_.path() + "/report.txt";
    ChildProcess test("porvane-cli", {"test", link_, "--seconds", "4", "--report", report});
    const std::string output = test.ReadAllOutput(30000);
    ASSERT_EQ(test.Wait(), 0);
    const auto seconds = ParseSeconds(output);
    ASSERT_EQ(seconds.size(), 4u);
    EXPECT_EQ(seconds[0].lost_sync, 1);
    for (size_t i = 1; i < seconds.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(seconds[i].bits, 0u);
        EXPECT_EQ(seconds[i].errors, 0u);
        EXPECT_EQ(seconds[i].lost_sync, 0);
        EXPECT_EQ(seconds[i].no_signal, 0);
    }
    EXPECT_NE(output.find("# G.821: severely errored seconds 1, unavailable seconds 0"),
              std::string::npos);
    std::ifstream in(report, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str().rfind("---------", 0), 0u);
    EXPECT_NE(content.str().find("\r\n"), std::string::npos);
}

TEST_F(LineTestCommand, OneInAThousandGivesARatioNearOneIn1008) {
    StartLoop();
    ChildProcess test("porvane-cli", {"test", link_, "--seconds", "4", "--insert", "1/1000"});
    const auto seconds = ParseSeconds(test.ReadAllOutput(30000));
    ASSERT_EQ(test.Wait(), 0);
    ASSERT_EQ(seconds.size(), 4u);
    uint64_t bits = 0, errors = 0;
    for (size_t i = 1; i < seconds.size(); ++i) {
        bits += seconds[i].bits;
        errors += seconds[i].errors;
        EXPECT_EQ(seconds[i].lost_sync, 0);
        EXPECT_EQ(seconds[i].bit_errors, 1);
    }
    ASSERT_GT(bits, 100000u);
    const double ratio = static_cast<double>(errors) / static_cast<double>(bits);
    EXPECT_NEAR(ratio, 1.0 / 1008, 0.05 / 1008);
}

TEST_F(LineTestCommand, ADroppedCharacterCostsOneLossOfSyncSecond) {
    StartLoop();
    ChildProcess test("porvane-cli", {"test", link_, "--seconds", "6"});
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    vport_->Signal(SIGUSR1);  // the plug drops one character
    const auto seconds = ParseSeconds(test.ReadAllOutput(30000));
    ASSERT_EQ(test.Wait(), 0);
    ASSERT_EQ(seconds.size(), 6u);
    int lost = 0;
    for (size_t i = 1; i < seconds.size(); ++i)
        lost += seconds[i].lost_sync;
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(seconds[4].errors, 0u);  // resynchronised: clean seconds after
    EXPECT_EQ(seconds[5].errors, 0u);
}

TEST_F(LineTestCommand, UserPatternAndSevenBits) {
    StartLoop();
    ChildProcess test("porvane-cli",
                      {"test", link_, "--seconds", "3", "--pattern", "1100101", "--data", "7"});
    const auto seconds = ParseSeconds(test.ReadAllOutput(30000));
    ASSERT_EQ(test.Wait(), 0);
    ASSERT_EQ(seconds.size(), 3u);
    EXPECT_EQ(seconds[2].errors, 0u);
    EXPECT_EQ(seconds[2].bits, seconds[2].characters * 7);  // the settings' 7 bits are checked
}

TEST_F(LineTestCommand, SilentLineLightsNoSignal) {
    const std::string a = dir_.path() + "/a";
    const std::string b = dir_.path() + "/b";
    ChildProcess pair("vport", {"pair", a, b});
    ASSERT_TRUE(WaitForPath(a) && WaitForPath(b));
    ChildProcess test("porvane-cli", {"test", a, "--seconds", "2"});
    const auto seconds = ParseSeconds(test.ReadAllOutput(30000));
    ASSERT_EQ(test.Wait(), 0);
    ASSERT_EQ(seconds.size(), 2u);
    for (const Second& s : seconds) {
        EXPECT_EQ(s.no_signal, 1);
        EXPECT_EQ(s.lost_sync, 0);
    }
}

TEST(LineTestCommandErrors, MissingPortAndBadPattern) {
    ChildProcess missing("porvane-cli", {"test", "/dev/no-such-port", "--seconds", "1"});
    EXPECT_EQ(missing.Wait(), 1);
    EXPECT_EQ(missing.ReadAllError(), "串口被占用!!\n");
    ChildProcess bad("porvane-cli", {"test", "/dev/null", "--pattern", "10201"});
    EXPECT_EQ(bad.Wait(), 1);
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
}  // namespace porvane::cli
