#include "porvane/serial/port_list_fill.h"

#include "platform/devicemap/listed_ports.h"
#include "porvane/serial/line_settings.h"

namespace porvane::serial {

static_assert(kPortNameSize == devicemap::kListedNameLimit,
              "a listed port name must fit the settings record");

std::string NoPortMessage(const std::string& source) {
    return "在" + source + "里找不到串口!!!";
}

void PortListFill(PortListTarget& list, DiscoveryUi& ui,
                  const std::optional<devicemap::DeviceMap>& map) {
    if (!map) {
        return;
    }
    for (const std::string& name : ListedPortNames(*map))
        list.AddString(name);
    if (list.Count() == 0) {
        ui.ShowMessage(NoPortMessage(map->source));
        ui.RequestQuit(1);
    }
}

void PortListFill(PortListTarget& list, DiscoveryUi& ui) {
    PortListFill(list, ui, devicemap::ReadDeviceMap());
}

std::vector<std::string> ListedPortNames(const devicemap::DeviceMap& map) {
    std::vector<std::string> names;
    for (const auto& entry : devicemap::ListedPorts(map))
        names.push_back(devicemap::ListedName(entry));
    return names;
}

}  // namespace porvane::serial
