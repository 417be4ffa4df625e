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
    std::string capture;  // the pcapng capture the records go to (empty: none)
    bool print = false;   // with a capture, print the lines as well
};

// Monitors ports through their filters' control devices and prints their decoded lines until
// stop_fd becomes readable (a signal) or the driver host goes away; with several ports the
// records interleave in the order of their times, each line prefixed with its port (a port
// named twice is monitored once). With a capture, writes the records there (and prints them
// only when asked). Returns the exit code: 4 when the capture cannot be written.
int RunMonitorCommand(const MonitorOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
