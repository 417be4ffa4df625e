#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/devicemap/device_map.h"
#include "platform/devicemap/listed_ports.h"

namespace devicemap {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/devicemap-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A tty under class/tty; with a driver it gets device/driver, with a type the "type" attribute.
void AddTty(const fs::path& root, const std::string& name, bool driver, int type = -1) {
    fs::path tty = root / "class" / "tty" / name;
    fs::create_directories(tty);
    if (driver) {
        fs::path driver_dir = root / "bus" / "drivers" / "serial";
        fs::create_directories(driver_dir);
        fs::create_directories(root / "devices" / name);
        fs::create_directory_symlink(root / "devices" / name, tty / "device");
        fs::create_directory_symlink(driver_dir, root / "devices" / name / "driver");
    }
    if (type >= 0) {
        WriteFile(tty / "type", std::to_string(type) + "\n");
    }
}

std::vector<std::string> Ports(const DeviceMap& map) {
    std::vector<std::string> ports;
    for (const auto& e : map.entries)
        ports.push_back(e.port);
    return ports;
}

TEST(SysfsDeviceMap, ListsRealSerialPortsInNumericOrder) {
    TempDir dir;
    AddTty(dir.path(), "tty0", false);
    AddTty(dir.path(), "ttyS0", true, 4);
    AddTty(dir.path(), "ttyS1", true, 0);  // 8250 slot without a UART
    AddTty(dir.path(), "ttyS10", true, 4);
    AddTty(dir.path(), "ttyS2", true, 4);
    AddTty(dir.path(), "ttyUSB10", true);
    AddTty(dir.path(), "ttyUSB2", true);
    AddTty(dir.path(), "ttyACM0", true);
    AddTty(dir.path(), "ptmx", false);
    auto map = ReadSysfsDeviceMap(dir.path());
    ASSERT_TRUE(map);
    EXPECT_EQ(Ports(*map), (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS2", "ttyS10",
                                                     "ttyUSB2", "ttyUSB10"}));
    EXPECT_EQ(map->entries[1].device, "ttyS0");
}

// Two readings of this machine's ttys, one through udev, one walking /sys itself, apply the
// same rules: they must agree.
TEST(UdevDeviceMap, FindsThePortsTheSysfsWalkFinds) {
    const std::optional<DeviceMap> walked = ReadSysfsDeviceMap("/sys");
    const std::optional<DeviceMap> enumerated = ReadUdevDeviceMap();
    ASSERT_EQ(walked.has_value(), enumerated.has_value());
    if (walked) {
        EXPECT_EQ(FormatDeviceMap(*enumerated), FormatDeviceMap(*walked));
    }
}

TEST(SysfsDeviceMap, NoSysfsMeansNoMap) {
    TempDir dir;
    EXPECT_FALSE(ReadSysfsDeviceMap(dir.path() / "nothing"));
    fs::create_directories(dir.path() / "class" / "tty");
    auto empty = ReadSysfsDeviceMap(dir.path());
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->entries.empty());
}

TEST(DeviceMapFile, ReadsDevicePortLinesAndSkipsTheRest) {
    TempDir dir;
    fs::path file = dir.path() / "map";
    WriteFile(file,
              "# virtual ports\n"
              "ttyS0=ttyS0\n"
              "\n"
              "  ttyS1 = /tmp/vport-a  \r\n"
              "no equals sign\n"
              "=orphan\n"
              "ttyUSB0=\n");
    auto map = ReadDeviceMapFile(file);
    ASSERT_TRUE(map);
    ASSERT_EQ(map->entries.size(), 2u);
    EXPECT_EQ(map->entries[1].device, "ttyS1");
    EXPECT_EQ(map->entries[1].port, "/tmp/vport-a");
    EXPECT_EQ(map->source, file.string());
    EXPECT_EQ(FormatDeviceMap(*map), "ttyS0=ttyS0\nttyS1=/tmp/vport-a\n");
    EXPECT_FALSE(ReadDeviceMapFile(dir.path() / "missing"));
}

// A map that is no small regular file is no map, said at once: a FIFO is not waited on, a
// device or a huge sparse file is not read.
TEST(DeviceMapFile, OnlyASmallRegularFileIsAMap) {
    TempDir dir;
    const std::string fifo = (dir.path() / "fifo").string();
    const std::string sparse = (dir.path() / "sparse").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    WriteFile(sparse, "");
    ASSERT_EQ(::truncate(sparse.c_str(), 4LL << 30), 0);
    const struct {
        std::string path, reason;
    } cases[] = {
        {fifo, "Invalid argument"},
        {"/dev/zero", "Invalid argument"},
        {sparse, "File too large"},
        {dir.path().string(), "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(ReadDeviceMapFile(c.path));
        setenv("PORVANE_DEVICE_MAP", c.path.c_str(), 1);
        EXPECT_EQ(DeviceMapFileProblem(),
                  "PORVANE_DEVICE_MAP names " + c.path + ", which cannot be read: " + c.reason);
        unsetenv("PORVANE_DEVICE_MAP");
    }
}

TEST(DeviceMapFile, EnvironmentVariableReplacesTheSystemMap) {
    TempDir dir;
    fs::path file = dir.path() / "map";
    WriteFile(file, "ttyS7=ttyS7\n");
    setenv("PORVANE_DEVICE_MAP", file.c_str(), 1);
    auto map = ReadDeviceMap();
    unsetenv("PORVANE_DEVICE_MAP");
    ASSERT_TRUE(map);
    EXPECT_EQ(Ports(*map), std::vector<std::string>{"ttyS7"});
}

std::vector<std::string> PortNames(const std::vector<DeviceMapEntry>& entries) {
    std::vector<std::string> names;
    for (const DeviceMapEntry& e : entries)
        names.push_back(e.port);
    return names;
}

TEST(HostPortOrder, ListedPortsFirstInTheListsOrderThenTheRestInMapOrder) {
    const DeviceMap mixed{"map",
                          {{"ttyUSB1", "/dev/pts/9"},
                           {"ttyS1", "COM2"},
                           {"ttyACM0", "ttyACM0"},
                           {"ttyS0", "COM1"},
                           {"ttyS2", std::string(kListedNameLimit, 'x')}}};
    EXPECT_EQ(PortNames(ListedPorts(mixed)),
              (std::vector<std::string>{"COM1", "COM2", "ttyACM0", "/dev/pts/9"}));
    // The host's port n is the lists' port n; the ports the lists leave out still get a number.
    EXPECT_EQ(PortNames(HostPortOrder(mixed)),
              (std::vector<std::string>{"COM1", "COM2", "ttyACM0", "/dev/pts/9",
                                        std::string(kListedNameLimit, 'x')}));
    const DeviceMap others{"map", {{"ttyUSB1", "b"}, {"VCP0", "v"}, {"ttyUSB0", "a"}}};
    EXPECT_EQ(PortNames(HostPortOrder(others)), (std::vector<std::string>{"a", "b", "v"}));
    EXPECT_TRUE(HostPortOrder(DeviceMap{"map", {}}).empty());
}

}  // namespace
}  // namespace devicemap
