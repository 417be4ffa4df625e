#pragma once

#include <string>

#include "platform/comm/testing/child_process.h"

namespace sievra::testing {

// Waits for sievrad's start line, which it prints once every socket listens and the port map is
// published: from then on an attached program's open is seen. A path appearing in the runtime
// folder is not enough, as the map comes last. False when the host ended or never started.
inline bool WaitUntilServing(comm::testing::ChildProcess& host, int timeout_ms = 60000) {
    return host.ReadOutputUntil(" ports in ", timeout_ms).find(" ports in ") != std::string::npos;
}

}  // namespace sievra::testing
