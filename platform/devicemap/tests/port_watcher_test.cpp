#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/devicemap/port_watcher.h"

namespace devicemap {
namespace {

namespace fs = std::filesystem;

TEST(MapDifferences, DeparturesThenArrivalsAnEntryBeingDeviceAndPortTogether) {
    const DeviceMap before{"m", {{"ttyS0", "ttyS0"}, {"ttyUSB0", "ttyUSB0"}, {"v", "/tmp/a"}}};
    const DeviceMap after{"m", {{"ttyS0", "ttyS0"}, {"v", "/tmp/b"}, {"ttyACM0", "ttyACM0"}}};
    const std::vector<PortChange> changes = MapDifferences(before, after);
    ASSERT_EQ(changes.size(), 4u);
    EXPECT_EQ(changes[0].kind, PortChange::Kind::kDeparted);
    EXPECT_EQ(changes[0].entry.port, "ttyUSB0");
    EXPECT_EQ(changes[1].kind, PortChange::Kind::kDeparted);
    EXPECT_EQ(changes[1].entry.port, "/tmp/a");
    EXPECT_EQ(changes[2].kind, PortChange::Kind::kArrived);
    EXPECT_EQ(changes[2].entry.port, "/tmp/b");
    EXPECT_EQ(changes[3].kind, PortChange::Kind::kArrived);
    EXPECT_EQ(changes[3].entry.port, "ttyACM0");
    EXPECT_TRUE(MapDifferences(after, after).empty());
}

// Waits (with a generous limit) until the watcher's descriptor says there may be news.
bool WaitReadable(const PortWatcher& watcher) {
    pollfd p{watcher.fd(), POLLIN, 0};
    return ::poll(&p, 1, 30000) == 1;
}

std::vector<PortChange> WaitChanges(PortWatcher& watcher) {
    std::vector<PortChange> changes;
    while (changes.empty() && WaitReadable(watcher))
        changes = watcher.TakeChanges();
    return changes;
}

TEST(PortWatcher, FollowsAMapFileThatIsRewrittenOrReplaced) {
    char pattern[] = "/tmp/port-watcher-XXXXXX";
    const fs::path folder = mkdtemp(pattern);
    const fs::path map = folder / "ports.map";
    std::ofstream(map) << "ttyS0=ttyS0\n";
    setenv("PORVANE_DEVICE_MAP", map.c_str(), 1);
    std::string error;
    std::unique_ptr<PortWatcher> watcher = PortWatcher::Open(&error);
    ASSERT_NE(watcher, nullptr) << error;
    EXPECT_EQ(watcher->Current().entries.size(), 1u);

    std::ofstream(map) << "ttyS0=ttyS0\nttyUSB0=ttyUSB0\n";  // written in place
    std::vector<PortChange> changes = WaitChanges(*watcher);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].kind, PortChange::Kind::kArrived);
    EXPECT_EQ(changes[0].entry.device, "ttyUSB0");

    std::ofstream(folder / "new.map") << "ttyUSB0=ttyUSB0\n";  // replaced, as editors do
    fs::rename(folder / "new.map", map);
    changes = WaitChanges(*watcher);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].kind, PortChange::Kind::kDeparted);
    EXPECT_EQ(changes[0].entry.device, "ttyS0");
    EXPECT_EQ(watcher->Current().entries.size(), 1u);

    unsetenv("PORVANE_DEVICE_MAP");
    fs::remove_all(folder);
}

TEST(PortWatcher, AMapFileInAFolderThatIsNotThereIsAnError) {
    setenv("PORVANE_DEVICE_MAP", "/no/such/folder/ports.map", 1);
    std::string error;
    EXPECT_EQ(PortWatcher::Open(&error), nullptr);
    EXPECT_NE(error.find("/no/such/folder"), std::string::npos) << error;
    unsetenv("PORVANE_DEVICE_MAP");
}

TEST(PortWatcher, OpensOnUdevWithoutAMapFile) {
    unsetenv("PORVANE_DEVICE_MAP");
    std::string error;
    std::unique_ptr<PortWatcher> watcher = PortWatcher::Open(&error);
    ASSERT_NE(watcher, nullptr) << error;
    EXPECT_GE(watcher->fd(), 0);
    watcher->TakeChanges();  // returns at once with nothing waiting
}

}  // namespace
}  // namespace devicemap
