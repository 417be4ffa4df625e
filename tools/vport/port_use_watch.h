#pragma once

#include <cstdint>
#include <string>

#include "platform/comm/unique_fd.h"

namespace tools {

// Follows the opens and closes of a terminal device (inotify), so that a virtual port knows
// whether a program holds it. Opens made before the watch (the port's own) are not counted.
// Without inotify the port counts as always in use.
class PortUseWatch {
  public:
    PortUseWatch() = default;  // watches nothing: always in use
    explicit PortUseWatch(const std::string& device_path);

    // Readable when opens or closes are queued; -1 without inotify.
    int fd() const { return inotify_.get(); }
    // Takes in the queued opens and closes.
    void Refresh();
    bool in_use() const { return !inotify_.valid() || opens_ > 0; }
    // How many times the last program has closed the port; users compare it with the value they
    // saw before to learn that a session ended.
    uint64_t sessions_ended() const { return sessions_ended_; }

  private:
    comm::UniqueFd inotify_;
    int opens_ = 0;
    uint64_t sessions_ended_ = 0;
};

}  // namespace tools
