#pragma once

#include <cstdio>
#include <string>

namespace porvane::cli {

struct MonitorOptions {
    std::string port;
    bool hex = false;
    bool data_only = false;
};

// Monitors a port through the filter's control device and prints its decoded lines until
// stop_fd becomes readable (a signal) or the driver host goes away. Returns the exit code.
int RunMonitorCommand(const MonitorOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
