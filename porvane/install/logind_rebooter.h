#pragma once

#include "porvane/install/rebooter.h"

namespace porvane::install {

// Restarts the machine through logind's Reboot call on the system bus (interactive, so that
// polkit may ask for a password), made by the busctl program.
class LogindRebooter : public Rebooter {
  public:
    explicit LogindRebooter(std::string busctl = "busctl") : busctl_(std::move(busctl)) {}
    bool Reboot(std::string& failed_step) override;

  private:
    std::string busctl_;
};

}  // namespace porvane::install
