#include "porvane/serial/port_list_fill.h"

#include <cctype>

#include "porvane/serial/line_settings.h"

namespace porvane::serial {
namespace {

constexpr int kMaxIndex = 255;

// The number of a pass-2 device name ("ttyUSB3" -> 3), or -1 when the name has another shape.
int OtherSerialIndex(const std::string& device) {
    if (device.rfind("tty", 0) != 0) {
        return -1;
    }
    size_t letters_end = 3;
    while (letters_end < device.size() &&
           std::isalpha(static_cast<unsigned char>(device[letters_end]))) {
        ++letters_end;
    }
    const std::string prefix = device.substr(3, letters_end - 3);
    const std::string digits = device.substr(letters_end);
    if (prefix.empty() || prefix == "S" || digits.empty() || digits.size() > 3) {
        return -1;
    }
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return -1;
    }
    if (digits.size() > 1 && digits[0] == '0') {
        return -1;
    }
    int index = std::stoi(digits);
    return index <= kMaxIndex ? index : -1;
}

void AddIfFits(PortListTarget& list, const std::string& port) {
    if (port.size() < kPortNameSize) {
        list.AddString(port);
    }
}

}  // namespace

std::string NoPortMessage(const std::string& source) {
    return "在" + source + "里找不到串口!!!";
}

void PortListFill(PortListTarget& list, DiscoveryUi& ui,
                  const std::optional<devicemap::DeviceMap>& map) {
    if (!map) {
        return;
    }
    for (int i = 0; i <= kMaxIndex; ++i) {
        const std::string wanted = "ttyS" + std::to_string(i);
        for (const auto& entry : map->entries) {
            if (entry.device == wanted) {
                AddIfFits(list, entry.port);
                break;
            }
        }
    }
    if (list.Count() == 0) {
        for (int i = 0; i <= kMaxIndex; ++i) {
            for (const auto& entry : map->entries) {
                if (OtherSerialIndex(entry.device) == i) {
                    AddIfFits(list, entry.port);
                }
            }
        }
    }
    if (list.Count() == 0) {
        ui.ShowMessage(NoPortMessage(map->source));
        ui.RequestQuit(1);
    }
}

void PortListFill(PortListTarget& list, DiscoveryUi& ui) {
    PortListFill(list, ui, devicemap::ReadDeviceMap());
}

}  // namespace porvane::serial
