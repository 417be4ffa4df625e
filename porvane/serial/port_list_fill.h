#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/devicemap/device_map.h"

namespace porvane::serial {

// A drop-down list that port names are appended to (not sorted).
class PortListTarget {
  public:
    virtual ~PortListTarget() = default;
    virtual void AddString(const std::string& text) = 0;
    virtual int Count() const = 0;
};

// What discovery may do to the program when no port exists at all.
class DiscoveryUi {
  public:
    virtual ~DiscoveryUi() = default;
    virtual void ShowMessage(const std::string& text) = 0;  // modal, OK button
    virtual void RequestQuit(int exit_code) = 0;            // posted, not immediate
};

// The message shown when the map holds no serial port; `source` names where the map was read.
std::string NoPortMessage(const std::string& source);

// Appends the port names of the device map to the list. Pass 1 takes the built-in serial ports,
// devices "ttyS0" to "ttyS255" in number order; pass 2 always follows with the other serial
// devices ("tty" + a driver prefix + a number 0..255: ttyUSB, ttyACM, ttyAMA, ...) in number
// order, then map order, so that a plugged-in adapter is listed beside the built-in ports; ports on
// other machines ("lab1=rfc2217://benchpc:7000") follow under their device name. Names of
// 100 bytes or more are skipped. When the map cannot be read nothing happens; when it can but
// yields no port, the message is shown and the program asked to end with exit code 1.
void PortListFill(PortListTarget& list, DiscoveryUi& ui,
                  const std::optional<devicemap::DeviceMap>& map);

// The same over this machine's map (devicemap::ReadDeviceMap).
void PortListFill(PortListTarget& list, DiscoveryUi& ui);

// The names a port list holds for map, in the order PortListFill adds them: what a list that
// follows the map changes to when the map changes.
std::vector<std::string> ListedPortNames(const devicemap::DeviceMap& map);

}  // namespace porvane::serial
