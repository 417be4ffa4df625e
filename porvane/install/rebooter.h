#pragma once

#include <string>

namespace porvane::install {

// Asks the system to restart the machine.
class Rebooter {
  public:
    virtual ~Rebooter() = default;
    // Returns true when the request was accepted; otherwise failed_step names the step that
    // failed, with the reason.
    virtual bool Reboot(std::string& failed_step) = 0;
};

}  // namespace porvane::install
