#pragma once

#include <cstdio>
#include <string>

namespace porvane::cli {

struct FilterOptions {
    std::string port;
    std::string action = "flip";  // flip, replace, delete
    std::string byte = "01";      // hexadecimal
    int send_count = -1;
    int recv_count = -1;
    int send_seconds = -1;
    int recv_seconds = -1;
    bool periodic = false;
    std::string force;  // BAUD,DATA,PARITY,STOP
};

// Arms one rule on a port that another program has open and prints each filter event as the
// filter page lists it (direction, time, content; tab-separated) until stop_fd becomes readable.
// Returns the exit code.
int RunFilterCommand(const FilterOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
