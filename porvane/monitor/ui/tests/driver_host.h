#pragma once

#include <memory>
#include <string>

#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"

namespace porvane::monitor::testing {

// A real driver host for the pages' tests: two pseudo-terminal ports in a device map, sievrad
// serving them from a temporary runtime folder, and the environment the pages read (the device
// map, the runtime folder, and a system root in which the filter counts as installed).
class DriverHost {
  public:
    DriverHost();
    ~DriverHost();
    const std::string& runtime_dir() const { return runtime_; }
    const std::string& sysroot() const { return sysroot_; }
    comm::testing::PtyPair& port(int index) { return index == 0 ? port_a_ : port_b_; }
    // Marks the filter installed or not in the system root.
    void SetInstalled(bool installed);
    // Stops the host; true when it ended cleanly and said nothing on its error output.
    bool Shutdown(std::string& errors);

  private:
    comm::testing::TempDir dir_;
    comm::testing::PtyPair port_a_;
    comm::testing::PtyPair port_b_;
    std::string runtime_;
    std::string sysroot_;
    std::unique_ptr<comm::testing::ChildProcess> host_;
};

}  // namespace porvane::monitor::testing
