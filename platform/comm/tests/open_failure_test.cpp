#include "platform/comm/open_failure.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
    EXPECT_EQ(DescribeOpenFailure("/tmp/nonexist", CommStatus::Failure("open", EACCES)),
              "/tmp/nonexist: Permission denied");
    // Busy, and the system names nobody: the reason alone.
    EXPECT_EQ(DescribeOpenFailure("/tmp/nonexist", CommStatus::Failure("flock", EBUSY)),
              "/tmp/nonexist: Device or resource busy");
}

// A device its group may use names that group, as the cause to act on.
TEST(OpenFailure, NoPermissionNamesTheGroupThatMayOpenTheDevice) {
    TempDir dir;
    const std::string path = dir.path() + "/port";
    std::ofstream(path) << "x";
    // The test's own group: a file may be given to it without privileges.
    const gid_t gid = ::getegid();
    const group* own = ::getgrgid(gid);
    const std::string name = own != nullptr ? own->gr_name : std::to_string(gid);
    ASSERT_EQ(::chown(path.c_str(), static_cast<uid_t>(-1), gid), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    EXPECT_EQ(DescribeOpenFailure(path, CommStatus::Failure("open", EACCES)),
              path + ": Permission denied; members of group " + name + " may open it");
    // Without access for its group, only the reason.
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(DescribeOpenFailure(path, CommStatus::Failure("open", EACCES)),
              path + ": Permission denied");
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
