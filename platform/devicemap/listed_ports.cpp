#include "platform/devicemap/listed_ports.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace devicemap {
namespace {

constexpr int kMaxIndex = 255;

constexpr char kRemoteScheme[] = "rfc2217://";

bool Fits(const DeviceMapEntry& entry) {
    return ListedName(entry).size() < kListedNameLimit;
}

// The number of a second-pass device name ("ttyUSB3" -> 3), or -1 when the name has another
// shape.
int OtherSerialIndex(const std::string& device) {
    if (device.rfind("tty", 0) != 0)
        return -1;
    size_t letters_end = 3;
    while (letters_end < device.size() &&
           std::isalpha(static_cast<unsigned char>(device[letters_end]))) {
        ++letters_end;
    }
    const std::string prefix = device.substr(3, letters_end - 3);
    const std::string digits = device.substr(letters_end);
    if (prefix.empty() || prefix == "S" || digits.empty() || digits.size() > 3)
        return -1;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return -1;
    }
    if (digits.size() > 1 && digits[0] == '0')
        return -1;
    const int index = std::stoi(digits);
    return index <= kMaxIndex ? index : -1;
}

}  // namespace

std::vector<DeviceMapEntry> BuiltInPorts(const DeviceMap& map) {
    std::vector<DeviceMapEntry> ports;
    for (int i = 0; i <= kMaxIndex; ++i) {
        const std::string wanted = "ttyS" + std::to_string(i);
        const auto found =
            std::find_if(map.entries.begin(), map.entries.end(),
                         [&](const DeviceMapEntry& e) { return e.device == wanted; });
        if (found != map.entries.end() && Fits(*found))
            ports.push_back(*found);
    }
    return ports;
}

std::vector<DeviceMapEntry> OtherSerialPorts(const DeviceMap& map) {
    std::vector<DeviceMapEntry> ports;
    for (int i = 0; i <= kMaxIndex; ++i) {
        for (const DeviceMapEntry& entry : map.entries) {
            if (OtherSerialIndex(entry.device) == i && Fits(entry))
                ports.push_back(entry);
        }
    }
    return ports;
}

bool IsRemoteEntry(const DeviceMapEntry& entry) {
    return entry.port.rfind(kRemoteScheme, 0) == 0;
}

const std::string& ListedName(const DeviceMapEntry& entry) {
    return IsRemoteEntry(entry) ? entry.device : entry.port;
}

std::vector<DeviceMapEntry> RemotePorts(const DeviceMap& map) {
    std::vector<DeviceMapEntry> ports;
    for (const DeviceMapEntry& entry : map.entries) {
        if (IsRemoteEntry(entry) && Fits(entry))
            ports.push_back(entry);
    }
    return ports;
}

std::vector<DeviceMapEntry> ListedPorts(const DeviceMap& map) {
    std::vector<DeviceMapEntry> ports = BuiltInPorts(map);
    for (DeviceMapEntry& entry : OtherSerialPorts(map))
        ports.push_back(std::move(entry));
    for (DeviceMapEntry& entry : RemotePorts(map))
        ports.push_back(std::move(entry));
    return ports;
}

std::string PortToOpen(const DeviceMap& map, const std::string& listed_name) {
    for (const DeviceMapEntry& entry : map.entries) {
        if (IsRemoteEntry(entry) && entry.device == listed_name)
            return entry.port;
    }
    return listed_name;
}

std::string PortToOpen(const std::string& listed_name) {
    const char* file = std::getenv("PORVANE_DEVICE_MAP");
    if (listed_name.empty() || listed_name.front() == '/' ||
        listed_name.rfind(kRemoteScheme, 0) == 0 || file == nullptr || *file == '\0')
        return listed_name;
    const std::optional<DeviceMap> map = ReadDeviceMapFile(file);
    return map ? PortToOpen(*map, listed_name) : listed_name;
}

std::vector<DeviceMapEntry> HostPortOrder(const DeviceMap& map) {
    std::vector<DeviceMapEntry> ports = ListedPorts(map);
    const size_t listed = ports.size();
    for (const DeviceMapEntry& entry : map.entries) {
        const auto end = ports.begin() + static_cast<std::ptrdiff_t>(listed);
        const bool taken = std::any_of(ports.begin(), end, [&](const DeviceMapEntry& p) {
            return p.device == entry.device && p.port == entry.port;
        });
        if (!taken)
            ports.push_back(entry);
    }
    return ports;
}

}  // namespace devicemap
