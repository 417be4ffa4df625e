#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/devicemap/device_map.h"

namespace porvane::cli {

// The private driver host's device map, grown while the watched programs run: a port is written
// into the map file that the host follows, and is ready once the host says on its standard
// output that it added it. The host numbers ports in the order they are added.
class OnDemandPorts {
  public:
    // map_path: the file the host reads (PORVANE_DEVICE_MAP); host_output: the read end of
    // the host's standard output, past its greeting.
    OnDemandPorts(std::string map_path, int host_output);

    // Writes the map the host starts with; false with errno set.
    bool Start(const std::vector<devicemap::DeviceMapEntry>& entries);
    // Adds the port name and waits for the host to add it: its number, or 0 when the host did
    // not add it (it says why on its standard error).
    uint32_t Add(const std::string& name);

  private:
    bool WriteMap();
    // The host's next line without its end; empty when none came in timeout_ms.
    std::string NextLine(int timeout_ms);

    std::string map_path_;
    int host_output_;
    std::vector<devicemap::DeviceMapEntry> entries_;
    std::string pending_;  // what the host said past the last whole line
};

}  // namespace porvane::cli
