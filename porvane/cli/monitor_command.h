#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "porvane/cli/line_clock.h"

namespace porvane::cli {

struct MonitorOptions {
    std::vector<std::string> ports;  // one or more
    bool hex = false;
    bool data_only = false;
    StampMode stamp = StampMode::kNone;
    std::string decoder;  // a protocol decoder's name, or empty
};

// Monitors ports through their filters' control devices and prints their decoded lines until
// stop_fd becomes readable (a signal) or the driver host goes away; with several ports the
// records interleave as they come, each line prefixed with its port. Returns the exit code.
int RunMonitorCommand(const MonitorOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
