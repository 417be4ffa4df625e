#include "porvane/cli/ports_command.h"

#include <string>
#include <vector>

#include "platform/devicemap/device_map.h"
#include "porvane/serial/port_list_fill.h"

namespace porvane::cli {
namespace {

// Collects the names and what discovery would show or ask for.
class PrintedList : public serial::PortListTarget, public serial::DiscoveryUi {
  public:
    explicit PrintedList(std::FILE* err) : err_(err) {}
    void AddString(const std::string& text) override { names.push_back(text); }
    int Count() const override { return static_cast<int>(names.size()); }
    void ShowMessage(const std::string& text) override { std::fprintf(err_, "%s\n", text.c_str()); }
    void RequestQuit(int code) override { exit_code = code; }

    std::vector<std::string> names;
    int exit_code = 0;

  private:
    std::FILE* err_;
};

}  // namespace

int RunPortsCommand(std::FILE* out, std::FILE* err) {
    if (const std::string problem = devicemap::DeviceMapFileProblem(); !problem.empty()) {
        std::fprintf(err, "porvane-cli: %s\n", problem.c_str());
        return 1;
    }
    PrintedList list(err);
    serial::PortListFill(list, list);
    for (const std::string& name : list.names) {
        std::fprintf(out, "%s\n", name.c_str());
    }
    return list.exit_code;
}

int RunMapCommand(std::FILE* out, std::FILE* err) {
    if (const std::string problem = devicemap::DeviceMapFileProblem(); !problem.empty()) {
        std::fprintf(err, "porvane-cli: %s\n", problem.c_str());
        return 1;
    }
    auto map = devicemap::ReadDeviceMap();
    if (!map) {
        std::fprintf(err, "porvane-cli: the serial device map cannot be read\n");
        return 1;
    }
    if (map->entries.empty())
        std::fprintf(err, "porvane-cli: the device map (%s) holds no port\n", map->source.c_str());
    std::fputs(devicemap::FormatDeviceMap(*map).c_str(), out);
    return 0;
}

}  // namespace porvane::cli
