#pragma once

#include <optional>
#include <string>
#include <vector>

namespace devicemap {

// What the system knows about one port, for `ports --long` and the workbench's tool tips.
struct PortIdentity {
    std::string device;                // kernel tty name, "ttyUSB0" (or the map's device name)
    std::string path;                  // "/dev/ttyUSB0"
    std::vector<std::string> by_id;    // /dev/serial/by-id/... links that lead to it
    std::vector<std::string> by_path;  // /dev/serial/by-path/...
    // USB ids as four hex digits, as sysfs gives them ("0403"); empty when not USB.
    std::string vendor_id, product_id;
    std::string vendor, product;  // names (from the device or the USB id database)
    std::string serial;           // USB serial number
    std::string driver;           // kernel driver, "ftdi_sio", "cdc_acm", "serial8250"
    std::string holder;           // "PID (comm)" of a process holding it open, empty when none seen
};

// Identity of a port named by port name ("ttyUSB0", a map's port name), device path or
// by-id/by-path link; empty when no such device exists. A map port of PORVANE_DEVICE_MAP is
// known by its device name; a port with no udev device behind it (a pseudo-terminal, a virtual
// port) has only its device, path, links and holder; a port on another machine
// (rfc2217://HOST:PORT, or the map name of one) only its name as device and its server address
// as path.
std::optional<PortIdentity> IdentifyPort(const std::string& port_name);

// True when two identities are the same adapter: the same by-id name when both have one (it
// tells apart the ports of a multi-port adapter, which share a serial number), otherwise the same
// non-empty USB serial number with the same vendor and product ids.
bool SameAdapter(const PortIdentity& a, const PortIdentity& b);

// The path a port name opens, with every symbolic link resolved ("/dev/serial/by-id/usb-x" ->
// "/dev/ttyUSB0"); the path as named when it does not exist (so that a vanished port still
// compares equal to itself).
std::string ResolvedDevicePath(const std::string& port_name);

// Whether two port names or device paths name the same device: the same resolved path.
bool SameDevicePath(const std::string& a, const std::string& b);

}  // namespace devicemap
