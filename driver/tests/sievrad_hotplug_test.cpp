// sievrad beside a USB serial adapter mocked with umockdev: the adapter keeps its port number
// when it is pulled and plugged in again under another tty name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/comm/testing/child_process.h"

namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;

constexpr char kWrapper[] = "/usr/bin/umockdev-wrapper";

TEST(SievradHotPlug, TheSameAdapterComesBackUnderItsOldNumber) {
    if (::access(kWrapper, X_OK) != 0)
        GTEST_SKIP() << "umockdev-wrapper is not installed";
    unsetenv("PORVANE_DEVICE_MAP");
    // umockdev's preloaded library comes before a sanitized program's runtime: allowed.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
    TempDir dir;
    const std::string keep_open;
    ChildProcess run(kWrapper,
                     {ChildProcess::BinDir() + "/mocked_adapter",
                      ChildProcess::BinDir() + "/sievrad", "--runtime-dir", dir.path() + "/run"},
                     &keep_open);
    // The two programs write to one stream in no fixed order between them: each line looked
    // for is unique, so it is looked for in all that came.
    std::string seen;
    const auto shows = [&](const std::string& text) {
        while (seen.find(text) == std::string::npos) {
            const std::string more = run.ReadOutputUntil("\n");
            if (more.empty())
                return false;
            seen += more;
        }
        return true;
    };
    ASSERT_TRUE(shows("sievrad: 1 ports in " + dir.path() + "/run (ttyUSB0)\n")) << seen;
    ASSERT_TRUE(run.WriteInput("unplug\n"));
    ASSERT_TRUE(shows("unplugged ttyUSB0") || shows("cannot hang up")) << seen;
    if (seen.find("cannot hang up") != std::string::npos)
        GTEST_SKIP() << "the mocked tty cannot be hung up here (no CAP_SYS_ADMIN)";
    ASSERT_TRUE(shows("sievrad: port 1 gone: ttyUSB0\n")) << seen;
    ASSERT_TRUE(run.WriteInput("plug\n"));
    ASSERT_TRUE(shows("sievrad: port 1 back: ttyUSB1\n")) << seen;
    ASSERT_TRUE(run.WriteInput("interrupt\n"));
    run.CloseInput();
    EXPECT_EQ(run.Wait(), 0);
}

}  // namespace
