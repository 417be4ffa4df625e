#include "porvane/serial/port_tool_tip.h"

#include <gtest/gtest.h>

#include "platform/devicemap/returning_port.h"

namespace porvane::serial {
namespace {

using devicemap::PortIdentity;

PortIdentity Adapter(const std::string& serial, const std::string& by_id) {
    PortIdentity identity;
    identity.device = "ttyUSB0";
    identity.path = "/dev/ttyUSB0";
    identity.serial = serial;
    identity.vendor_id = "0403";
    identity.product_id = "6001";
    if (!by_id.empty())
        identity.by_id = {by_id};
    return identity;
}

TEST(PortToolTip, EveryKnownFactOnItsOwnLineAndUnknownOnesLeftOut) {
    PortIdentity full = Adapter("A50285BI", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
    full.by_path = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"};
    full.vendor = "FTDI";
    full.product = "FT232R USB UART";
    full.driver = "ftdi_sio";
    full.holder = "4242 (minicom)";
    EXPECT_EQ(PortToolTip(full),
              "设备: /dev/ttyUSB0\n"
              "by-id: /dev/serial/by-id/usb-FTDI_FT232R-if00-port0\n"
              "by-path: /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
              "USB: 0403:6001 FTDI FT232R USB UART\n"
              "序列号: A50285BI\n"
              "驱动: ftdi_sio\n"
              "占用: 4242 (minicom)");

    PortIdentity pty;
    pty.device = "ttyS0";
    pty.path = "/dev/pts/7";
    EXPECT_EQ(PortToolTip(pty), "设备: /dev/pts/7");
}

// An adapter is known again by its own identity wherever it reappears; a port without one
// (built-in or virtual) only by its name.
TEST(ReturningPort, AdaptersByIdentityOtherPortsByName) {
    const auto plain = [](const std::string& path) {
        PortIdentity identity;
        identity.path = path;
        return std::optional<PortIdentity>(identity);
    };
    struct Case {
        const char* name;
        std::string gone_port;
        std::optional<PortIdentity> gone;
        std::string port;
        std::optional<PortIdentity> now;
        bool returning;
    };
    const Case cases[] = {
        {"same serial, another tty", "ttyUSB0", Adapter("S1", ""), "ttyUSB1", Adapter("S1", ""),
         true},
        {"another serial, same tty", "ttyUSB0", Adapter("S1", ""), "ttyUSB0", Adapter("S2", ""),
         false},
        {"adapter gone, plain port now", "ttyUSB0", Adapter("S1", ""), "ttyUSB0",
         plain("/dev/ttyUSB0"), false},
        {"same by-id", "ttyUSB0", Adapter("", "/dev/serial/by-id/x"), "ttyUSB3",
         Adapter("", "/dev/serial/by-id/x"), true},
        {"plain ports by name", "/tmp/vp", plain("/dev/pts/3"), "/tmp/vp", plain("/dev/pts/9"),
         true},
        {"plain ports, other name", "/tmp/vp", plain("/dev/pts/3"), "/tmp/other",
         plain("/dev/pts/3"), false},
        {"unknown then, named alike", "ttyS0", std::nullopt, "ttyS0", std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(devicemap::IsReturningPort(c.gone_port, c.gone, c.port, c.now), c.returning);
    }
}

}  // namespace
}  // namespace porvane::serial
