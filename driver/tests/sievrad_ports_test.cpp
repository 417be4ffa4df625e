// sievrad as ports come and go: the device map file changes under a running host, which numbers
// each port once and keeps the number.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "driver/host/testing/host_ready.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"

namespace sievra {
namespace {

using comm::testing::ChildProcess;
using comm::testing::PtyPair;
using comm::testing::TempDir;

class SievradPorts : public ::testing::Test {
  protected:
    void SetUp() override {
        map_ = dir_.path() + "/map";
        runtime_ = dir_.path() + "/run";
        WriteMap({{"ttyS0", 0}, {"ttyS1", 1}});
        ::setenv("PORVANE_DEVICE_MAP", map_.c_str(), 1);
        host_ = std::make_unique<ChildProcess>("sievrad",
                                               std::vector<std::string>{"--runtime-dir", runtime_});
        ::unsetenv("PORVANE_DEVICE_MAP");
        ASSERT_TRUE(testing::WaitUntilServing(*host_));
    }
    void TearDown() override {
        host_->Signal(SIGTERM);
        EXPECT_EQ(host_->Wait(10000), 0);
    }
    // Replaces the map file whole, as an editor does: device name and pty index a line.
    void WriteMap(const std::vector<std::pair<std::string, int>>& entries) {
        std::ofstream out(map_ + ".new", std::ios::trunc);
        for (const auto& [device, pty] : entries)
            out << device << "=" << ptys_[pty].slave_path() << "\n";
        out.close();
        ASSERT_EQ(std::rename((map_ + ".new").c_str(), map_.c_str()), 0);
    }
    // Waits for the host's line about one port.
    bool Said(const std::string& number, const std::string& what, int pty) {
        const std::string line =
            "sievrad: port " + number + " " + what + ": " + ptys_[pty].slave_path() + "\n";
        return host_->ReadOutputUntil(line, 30000).find(line) != std::string::npos;
    }
    // The host's port map: number and path a line.
    std::string PortMap() {
        std::ifstream in(runtime_ + "/SievrMap");
        std::string result;
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string number, major, minor, path;
            fields >> number >> major >> minor >> path;
            result += number + " " + path + "\n";
        }
        return result;
    }
    std::string Entry(const std::string& number, int pty) {
        return number + " " + ptys_[pty].slave_path() + "\n";
    }

    TempDir dir_;
    PtyPair ptys_[4];
    std::string map_;
    std::string runtime_;
    std::unique_ptr<ChildProcess> host_;
};

TEST_F(SievradPorts, APortKeepsItsNumberAndADepartedNumberIsNeverAnothers) {
    EXPECT_EQ(PortMap(), Entry("1", 0) + Entry("2", 1));

    WriteMap({{"ttyS0", 0}, {"ttyS1", 1}, {"ttyUSB0", 2}});
    ASSERT_TRUE(Said("3", "added", 2));
    EXPECT_EQ(PortMap(), Entry("1", 0) + Entry("2", 1) + Entry("3", 2));

    WriteMap({{"ttyS0", 0}, {"ttyUSB0", 2}});
    ASSERT_TRUE(Said("2", "gone", 1));
    EXPECT_EQ(PortMap(), Entry("1", 0) + Entry("3", 2));

    // Another port takes the next number, not the departed one's.
    WriteMap({{"ttyS0", 0}, {"ttyUSB0", 2}, {"ttyUSB1", 3}});
    ASSERT_TRUE(Said("4", "added", 3));

    // The departed port comes back under its old number.
    WriteMap({{"ttyS0", 0}, {"ttyS1", 1}, {"ttyUSB0", 2}, {"ttyUSB1", 3}});
    ASSERT_TRUE(Said("2", "back", 1));
    EXPECT_EQ(PortMap(), Entry("1", 0) + Entry("2", 1) + Entry("3", 2) + Entry("4", 3));
}

}  // namespace
}  // namespace sievra
