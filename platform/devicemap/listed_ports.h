#pragma once

#include <cstddef>
#include <vector>

#include "platform/devicemap/device_map.h"

namespace devicemap {

// Port names this long or longer are never listed: they do not fit a port settings record.
inline constexpr size_t kListedNameLimit = 100;

// Port discovery's first pass: the built-in serial ports, devices "ttyS0" to "ttyS255" in number
// order (the first entry of a device name counts).
std::vector<DeviceMapEntry> BuiltInPorts(const DeviceMap& map);

// Its second pass: the other serial devices ("tty" + a driver prefix + a number 0..255 without
// leading zeros: ttyUSB, ttyACM, ttyAMA, ...) in number order, then map order.
std::vector<DeviceMapEntry> OtherSerialPorts(const DeviceMap& map);

// The ports as port discovery lists them: the built-in ports, then every other serial port.
// The second pass always runs, so that an adapter the user plugged in is listed even on a
// machine that also has a ttyS0. Port n of the workbench's lists is the n-th of these.
std::vector<DeviceMapEntry> ListedPorts(const DeviceMap& map);

// The driver host's port order: the listed ports first, so that the host's port n is port n of
// the workbench's lists, then every other port of the map in map order (a watched program may
// use those too).
std::vector<DeviceMapEntry> HostPortOrder(const DeviceMap& map);

}  // namespace devicemap
