#pragma once

#include <cstdio>
#include <string>

#include "porvane/cli/line_clock.h"

namespace porvane::cli {

struct ShowOptions {
    std::string file;     // the capture; "-": standard input
    std::string decoder;  // a protocol decoder's name, or empty
    bool hex = false;
    bool data_only = false;
    bool json = false;
    StampMode stamp = StampMode::kNone;
};

// Prints the calls of a capture that watch or monitor wrote (-w) as watch prints them, each line
// prefixed with its port, then the summary line of each port. Returns 0; after saying why on err,
// kExitCaptureUnreadable when the capture cannot be read (missing, not a capture of the ports'
// calls, malformed or cut short: the calls before the fault are printed) or kExitFileNotWritten
// when the output cannot be written.
int RunShowCommand(const ShowOptions& options, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
