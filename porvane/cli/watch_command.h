#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace porvane::cli {

struct WatchOptions {
    bool hex = false;
    bool data_only = false;
    // How the program's calls are seen: by default the attachment, and the system calls for a
    // program the attachment cannot enter (statically linked, or one that changes its user).
    bool preload = false;              // the attachment, always
    bool trace = false;                // the system calls, always
    int pid = 0;                       // a running program to follow (instead of a command)
    std::vector<std::string> command;  // the program and its arguments
};

// Runs a program with the attachment preloaded under a private driver host and prints the
// decoded lines of every port of the device map that the program uses, each line preceded by
// the port's name. Needs no installation and no root. Returns the program's exit status (128 +
// signal when it was killed), or 125 when watch itself could not start it. With a pid, follows
// that running program until it ends or watch is stopped, then lets go of it unchanged.
int RunWatchCommand(const WatchOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

// The attachment watch preloads: <folder of this program>/../lib/libsievra.so.
std::string AttachmentPath();

}  // namespace porvane::cli
