#pragma once

#include <cstdio>
#include <string>

#include "porvane/cli/line_clock.h"

namespace porvane::cli {

struct MonitorOptions {
    std::string port;
    bool hex = false;
    bool data_only = false;
    StampMode stamp = StampMode::kNone;
    std::string decoder;  // a protocol decoder's name, or empty
};

// Monitors a port through the filter's control device and prints its decoded lines until
// stop_fd becomes readable (a signal) or the driver host goes away. Returns the exit code.
int RunMonitorCommand(const MonitorOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
