#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace porvane::cli {

// One read or write of a program as watch recorded it.
struct ReplayStep {
    int64_t time_us = 0;   // since 1970
    bool written = false;  // the program wrote it (else read it)
    std::string port;
    std::vector<uint8_t> bytes;
};

// The reads and writes of a capture (`watch -w FILE`) or of a record file that
// `watch --json -o FILE` wrote, in order; nothing, with error saying where and why, for a file
// that is neither.
std::optional<std::vector<ReplayStep>> LoadReplaySteps(const std::string& path, std::string& error);

struct ReplayOptions {
    std::string file;
    std::string port;                // where the steps are sent
    std::string direction = "read";  // "read": what the program read (the device's side); "write"
    double speed = 1.0;              // 1: the recorded timing; 2: twice as fast; 0: no waits
    uint32_t baud = 9600;
    std::string from;     // the recorded port to play (needed when there are several)
    std::string compare;  // a port whose arrivals are checked against the other way
};

// Sends the steps of one direction to a port with their recorded timing; with compare, reads
// that port meanwhile and reports the first byte that differs from what the record says went
// the other way. Exit status: 0 sent (and, compared, the same), 1 a port did not open or
// failed, 2 usage error, 3 the file is unreadable or holds no such steps, 6 a difference.
int RunReplayCommand(const ReplayOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
