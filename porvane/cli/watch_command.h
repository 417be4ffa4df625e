#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace porvane::cli {

struct WatchOptions {
    bool hex = false;
    bool data_only = false;
    std::vector<std::string> command;  // the program and its arguments
};

// Runs a program with the attachment preloaded under a private driver host and prints the
// decoded lines of every port of the device map that the program uses, each line preceded by
// the port's name. Needs no installation and no root. Returns the program's exit status (128 +
// signal when it was killed), or 125 when watch itself could not start it.
int RunWatchCommand(const WatchOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

// The attachment watch preloads: <folder of this program>/../lib/libsievra.so.
std::string AttachmentPath();

}  // namespace porvane::cli
