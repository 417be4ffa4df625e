#pragma once

#include <optional>
#include <string>
#include <vector>

namespace devicemap {

// One serial port the system announces: the driver's device name (the kernel's tty name, such
// as "ttyS0" or "ttyUSB0") and the port name that the user picks and a device path is built from
// (a tty name, or an absolute path for a virtual port).
struct DeviceMapEntry {
    std::string device;
    std::string port;
};

// The serial device map with the place it was read from, for messages.
struct DeviceMap {
    std::string source;
    std::vector<DeviceMapEntry> entries;
};

// The map of this machine: the file named by PORVANE_DEVICE_MAP when that variable is set,
// otherwise the serial ports of udev's tty devices (the sysfs walk when udev cannot be used). Empty
// optional when the map cannot be read at all (no such file, no sysfs).
std::optional<DeviceMap> ReadDeviceMap();

// The largest map file read: far more than any machine's ports.
inline constexpr long kMaxDeviceMapBytes = 1L << 20;

// When PORVANE_DEVICE_MAP is set but names no readable map file (missing, unreadable, a folder,
// not a regular file, larger than kMaxDeviceMapBytes):
// what is wrong, for a message ("PORVANE_DEVICE_MAP names /x, which cannot be read: No such file
// or directory"); empty otherwise.
std::string DeviceMapFileProblem();

// A map file: one "device=port" line each; blank lines and lines starting with '#' are skipped,
// as are lines without '=' or with an empty side. Spaces around both sides are trimmed. No map
// when the file cannot be read (as DeviceMapFileProblem says).
std::optional<DeviceMap> ReadDeviceMapFile(const std::string& path);

// The serial ports under <sysfs_root>/class/tty: every tty whose "device" link leads to a bound
// driver. Ports of the 8250 family ("ttyS") count only when their UART type is known (the "type"
// attribute is not 0); those are the ports the machine really has. Sorted by tty name, numbers
// in numeric order.
std::optional<DeviceMap> ReadSysfsDeviceMap(const std::string& sysfs_root = "/sys");

// The same ports as ReadSysfsDeviceMap finds, from udev's enumeration of the tty devices (which
// reads the system's /sys). No map when udev cannot be used.
std::optional<DeviceMap> ReadUdevDeviceMap();

// Writes a map back in the file form, one "device=port" line each.
std::string FormatDeviceMap(const DeviceMap& map);

}  // namespace devicemap
