#pragma once

#include <memory>
#include <string>

#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"

namespace porvane::monitor::testing {

// A real driver host for the pages' tests: pseudo-terminal ports in a mixed device map (a USB
// port written first, then ttyS1 and ttyS0), sievrad serving them from a temporary runtime
// folder, and the environment the pages read (the device map, the runtime folder, and a system
// root in which the filter counts as installed). The pages list ttyS0, ttyS1, then the USB port,
// and so must the host number them.
class DriverHost {
  public:
    DriverHost();
    ~DriverHost();
    // True once sievrad serves every port (sockets listening, port map published).
    bool serving() const { return serving_; }
    const std::string& runtime_dir() const { return runtime_; }
    const std::string& sysroot() const { return sysroot_; }
    // The lists' ports: 0 is ttyS0, 1 is ttyS1, 2 is ttyUSB0.
    comm::testing::PtyPair& port(int index) {
        return index == 0 ? port_a_ : index == 1 ? port_b_ : usb_port_;
    }
    // Replaces the device map whole (as an editor does) with "device=path" lines.
    void WriteMap(const std::string& text);
    // Waits for the host's line about a port ("sievrad: port 4 added: /dev/pts/9").
    bool HostSaid(const std::string& line);
    // Marks the filter installed or not in the system root.
    void SetInstalled(bool installed);
    // Stops the host; true when it ended cleanly and said nothing on its error output.
    bool Shutdown(std::string& errors);

  private:
    comm::testing::TempDir dir_;
    std::string map_;
    comm::testing::PtyPair port_a_;
    comm::testing::PtyPair port_b_;
    comm::testing::PtyPair usb_port_;
    std::string runtime_;
    std::string sysroot_;
    std::unique_ptr<comm::testing::ChildProcess> host_;
    bool serving_ = false;
};

}  // namespace porvane::monitor::testing
