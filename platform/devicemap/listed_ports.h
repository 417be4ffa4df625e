#pragma once

#include <cstddef>
#include <string>
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

// A port on another machine: a map line "lab1=rfc2217://benchpc:7000", whose device is the name
// the user picks and whose port is the server's address.
bool IsRemoteEntry(const DeviceMapEntry& entry);
// The name a port is listed (and picked) by: its port name, or a remote port's device name.
const std::string& ListedName(const DeviceMapEntry& entry);

// Discovery's last pass: the remote ports, in map order.
std::vector<DeviceMapEntry> RemotePorts(const DeviceMap& map);

// The ports as port discovery lists them: the built-in ports, then every other serial port,
// then the remote ports. The second pass always runs, so that an adapter the user plugged in is
// listed even on a machine that also has a ttyS0. Port n of the workbench's lists is the n-th of
// these.
std::vector<DeviceMapEntry> ListedPorts(const DeviceMap& map);

// What opening a listed name opens: the server address of the remote port listed by that name,
// otherwise the name itself.
std::string PortToOpen(const DeviceMap& map, const std::string& listed_name);
// The same over the map file named by PORVANE_DEVICE_MAP (this machine's own ports have no
// remote ones, so without that file the name is returned as it is).
std::string PortToOpen(const std::string& listed_name);

// The driver host's port order: the listed ports first, so that the host's port n is port n of
// the workbench's lists, then every other port of the map in map order (a watched program may
// use those too).
std::vector<DeviceMapEntry> HostPortOrder(const DeviceMap& map);

}  // namespace devicemap
