#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/comm/testing/pty_pair.h"
#include "platform/devicemap/port_identity.h"

namespace devicemap {
namespace {

namespace fs = std::filesystem;

std::string OwnComm() {
    std::ifstream in("/proc/self/comm");
    std::string comm;
    std::getline(in, comm);
    return comm;
}

TEST(IdentifyPort, APseudoTerminalHeldHereIsNamedWithItsHolderThroughAnyLink) {
    comm::testing::PtyPair pty;  // keeps the slave open, as a program using the port would
    char pattern[] = "/tmp/port-identity-XXXXXX";
    const fs::path folder = mkdtemp(pattern);
    fs::create_symlink(pty.slave_path(), folder / "bench-port");

    for (const std::string& name : {pty.slave_path(), (folder / "bench-port").string()}) {
        SCOPED_TRACE(name);
        std::optional<PortIdentity> id = IdentifyPort(name);
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(id->path, pty.slave_path());
        EXPECT_EQ(id->device, fs::path(pty.slave_path()).filename().string());
        EXPECT_TRUE(id->vendor_id.empty());  // no USB adapter behind a pseudo-terminal
        EXPECT_EQ(id->holder, std::to_string(getpid()) + " (" + OwnComm() + ")");
    }
    EXPECT_TRUE(SameDevicePath(pty.slave_path(), (folder / "bench-port").string()));
    EXPECT_FALSE(SameDevicePath(pty.slave_path(), "/dev/null"));
    EXPECT_FALSE(IdentifyPort("/dev/no-such-port-here").has_value());
    EXPECT_FALSE(IdentifyPort("").has_value());
    fs::remove_all(folder);
}

// Any user may name its process as it likes and hold a port it may open: the names an identity
// carries reach a terminal (ports --long) escaped, never as control sequences.
TEST(IdentifyPort, ControlCharactersInAHoldersNameAreShownEscaped) {
    comm::testing::PtyPair pty;
    const std::string own = OwnComm();
    ASSERT_EQ(::prctl(PR_SET_NAME, "a\x1b]0;x\x07\x9b", 0, 0, 0), 0);
    const std::optional<PortIdentity> id = IdentifyPort(pty.slave_path());
    ::prctl(PR_SET_NAME, own.c_str(), 0, 0, 0);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->holder, std::to_string(getpid()) + " (a\\x1b]0;x\\x07\\x9b)");
}

// A port on another machine, named by its address or by its map name, is known by that name and
// its server (the workbench's tool tip and ports --long show it).
TEST(IdentifyPort, ARemotePortIsItsNameAndItsServer) {
    char pattern[] = "/tmp/port-identity-XXXXXX";
    const fs::path folder = mkdtemp(pattern);
    const std::string map = (folder / "map").string();
    std::ofstream(map) << "lab1=rfc2217://benchpc:7000\n";
    ::setenv("PORVANE_DEVICE_MAP", map.c_str(), 1);
    for (const std::string& name : {std::string("lab1"), std::string("rfc2217://benchpc:7000")}) {
        SCOPED_TRACE(name);
        std::optional<PortIdentity> id = IdentifyPort(name);
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(id->device, name);
        EXPECT_EQ(id->path, "rfc2217://benchpc:7000");
    }
    ::unsetenv("PORVANE_DEVICE_MAP");
    fs::remove_all(folder);
}

TEST(SameAdapter, ByIdNamesFirstThenSerialNumberWithTheIds) {
    auto usb = [](std::vector<std::string> by_id, std::string serial, std::string product_id) {
        PortIdentity id;
        id.by_id = std::move(by_id);
        id.serial = std::move(serial);
        id.vendor_id = "0403";
        id.product_id = std::move(product_id);
        return id;
    };
    const std::string if00 = "/dev/serial/by-id/usb-FTDI_Dual_A1-if00-port0";
    const std::string if01 = "/dev/serial/by-id/usb-FTDI_Dual_A1-if01-port0";
    struct Row {
        const char* name;
        PortIdentity a, b;
        bool same;
    } rows[] = {
        {"same by-id name", usb({if00}, "A1", "6010"), usb({if00}, "A1", "6010"), true},
        {"other port of a two-port adapter", usb({if00}, "A1", "6010"), usb({if01}, "A1", "6010"),
         false},
        {"serial number without links", usb({}, "A1", "6001"), usb({}, "A1", "6001"), true},
        {"same serial, other product", usb({}, "A1", "6001"), usb({}, "A1", "6015"), false},
        {"no serial number at all", usb({}, "", "6001"), usb({}, "", "6001"), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(SameAdapter(row.a, row.b), row.same);
    }
}

}  // namespace
}  // namespace devicemap
