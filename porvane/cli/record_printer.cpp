#include "porvane/cli/record_printer.h"

#include <algorithm>
#include <vector>

#include "platform/comm/serial_device.h"
#include "platform/devicemap/device_map.h"
#include "platform/devicemap/port_identity.h"
#include "porvane/serial/port_list_fill.h"

namespace porvane::cli {
namespace {

class NameList : public serial::PortListTarget, public serial::DiscoveryUi {
  public:
    void AddString(const std::string& text) override { names.push_back(text); }
    int Count() const override { return static_cast<int>(names.size()); }
    void ShowMessage(const std::string&) override {}
    void RequestQuit(int) override {}
    std::vector<std::string> names;
};

}  // namespace

int PortListIndex(const std::string& name) {
    NameList list;
    serial::PortListFill(list, list);
    // The name as listed, or a device name of the map (ttyS0) standing for its port.
    std::string port = name;
    if (std::find(list.names.begin(), list.names.end(), name) == list.names.end()) {
        if (const auto map = devicemap::ReadDeviceMap()) {
            for (const auto& entry : map->entries) {
                if (entry.device == name)
                    port = entry.port;
            }
        }
    }
    for (size_t i = 0; i < list.names.size(); ++i) {
        if (list.names[i] == port)
            return static_cast<int>(i);
    }
    // A device path or link of a listed port, such as its /dev/serial/by-id name.
    const std::string wanted = devicemap::ResolvedDevicePath(name);
    for (size_t i = 0; i < list.names.size(); ++i) {
        if (devicemap::ResolvedDevicePath(comm::DevicePathForPort(list.names[i])) == wanted)
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace porvane::cli
