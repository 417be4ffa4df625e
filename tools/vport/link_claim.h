#pragma once

#include <string>

#include "platform/comm/unique_fd.h"

namespace tools {

// The absolute form of a link path, its folder resolved but not the link itself, so that two
// spellings of one path compare equal.
std::string AbsoluteLinkPath(const std::string& path);

// Holds a link path for this process while the object lives: an abstract Unix socket named after
// the path, which the system releases when the process ends, however it ends. So a virtual port
// never re-points (and later deletes) a link that another running one serves, while a link left
// behind by one that was killed is simply replaced.
class LinkClaim {
  public:
    // Throws std::runtime_error naming the path when another process holds it.
    explicit LinkClaim(const std::string& link_path);

  private:
    comm::UniqueFd socket_;
};

}  // namespace tools
