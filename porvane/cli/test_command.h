#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "porvane/cli/term_session.h"

namespace porvane::cli {

// "porvane-cli test": the line tester without windows.
struct TestOptions {
    TermOptions line;                // port and line parameters
    std::string pattern = "2^15-1";  // 2^15-1, 2^11-1, 2^9-1, or up to 16 characters 0/1
    std::string insert = "none";     // none, 1/10000, 1/1000
    int seconds = 0;                 // 0: until SIGINT/SIGTERM
    std::string report;              // report file, if any
};

// The commented header line above the seconds, naming their eight tab-separated fields; the
// seventh is 1 for a second with bit errors.
inline constexpr char kTestHeader[] =
    "# tick\tbits\tbit errors\tcharacters\tno signal\tloss of sync\terrored second\t"
    "total bit errors";

// Opens the port, runs the test and prints the header, then a line of eight tab-separated fields
// each second. The checker starts unsynchronised: the seconds before its first clean second are
// printed as comment lines, and the figures, the summary and the report count from that second
// on. A stop signal or the closing of out ends the test as its last second would. When the port
// vanishes, what was measured up to then is written (summary and report) and then
// "串口已断开: <device>". Returns 0 after a completed test, 1 when the port cannot be opened, 2
// for a bad pattern or insertion, 3 when the line never synchronised, 4 when the report cannot
// be written (a path that cannot be opened is refused before the test starts), 5 when the port
// vanished.
int RunTestCommand(const TestOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
