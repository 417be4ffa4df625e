#include "platform/comm/open_failure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/comm/testing/child_process.h"

namespace comm {
namespace {

using testing::ChildProcess;
using testing::TempDir;

TEST(OpenFailure, ReasonsInWords) {
    EXPECT_EQ(DescribeOpenFailure("/tmp/nonexist", CommStatus::Failure("open", ENOENT)),
              "/tmp/nonexist: No such file or directory");
    EXPECT_EQ(DescribeOpenFailure("/tmp/file", CommStatus::Failure("tcgets", ENOTTY)),
              "/tmp/file: not a serial port");
    EXPECT_EQ(DescribeOpenFailure("/dev/ttyS0", CommStatus::Failure("open", EACCES)),
              "/dev/ttyS0: Permission denied");
    // Busy, and the system names nobody: the reason alone.
    EXPECT_EQ(DescribeOpenFailure("/tmp/nonexist", CommStatus::Failure("flock", EBUSY)),
              "/tmp/nonexist: Device or resource busy");
}

TEST(OpenFailure, BusyNamesAProcessThatHoldsTheFileOpen) {
    TempDir dir;
    const std::string path = dir.path() + "/port";
    std::ofstream(path) << "x";
    // Holds the file open without a lock, as a program that only sets TIOCEXCL does.
    ChildProcess holder("/bin/sh", {"-c", "exec sleep 60 < '" + path + "'"});
    std::vector<PortHolder> holders;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // Until the shell has opened the file and become sleep.
    auto held_by_sleep = [&] { return holders.size() == 1 && holders[0].name == "sleep"; };
    while (!held_by_sleep() && std::chrono::steady_clock::now() < deadline) {
        holders = FindPortHolders(path);
        if (!held_by_sleep())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, holder.pid());
    EXPECT_EQ(holders[0].name, "sleep");
    EXPECT_EQ(DescribeOpenFailure(path, CommStatus::Failure("open", EBUSY)),
              path + ": in use by process " + std::to_string(holder.pid()) + " (sleep)");
}

}  // namespace
}  // namespace comm
