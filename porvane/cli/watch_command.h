#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "porvane/cli/line_clock.h"

namespace porvane::cli {

struct WatchOptions {
    bool hex = false;
    bool data_only = false;
    bool json = false;                   // one JSON object per record instead of text lines
    StampMode stamp = StampMode::kNone;  // text lines' time stamps
    std::string output;                  // the file the records go to (empty: out)
    std::string decoder;                 // a protocol decoder's name, or empty
    // The pcapng capture the records go to (empty: none); with one, the lines are printed only
    // when print is set or an output file is named.
    std::string capture;
    bool print = false;
    // How the program's calls are seen: by default the attachment, and the system calls for a
    // program the attachment cannot enter (statically linked, or one that changes its user).
    bool preload = false;  // the attachment, always
    bool trace = false;    // the system calls, always
    int pid = 0;           // a running program to follow (instead of a command)
    // The ports to watch (paths, links followed); none: every terminal device the program
    // opens but watch's own terminal (with the attachment: the ports of the device map).
    std::vector<std::string> ports;
    std::vector<std::string> command;  // the program and its arguments
};

// Runs a program under a private driver host, following every process it starts by their
// system calls (or with the attachment preloaded), and prints the decoded lines of every port
// they use, each line preceded by the port's name, then a summary line per port. Says on err
// which ports are watched. Needs no installation and no root. Returns the program's exit status
// (128 + signal when it was killed), 125 when watch itself could not start it, or
// kOutputNotWritable when the output file or the capture cannot be written (checked before the
// program starts; a failure later is said and gives the same status once the program ended).
// With a pid, follows that running program until it ends or watch is stopped, then lets go of it
// unchanged.
inline constexpr int kOutputNotWritable = 4;
int RunWatchCommand(const WatchOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

// The attachment watch preloads: <folder of this program>/../lib/libsievra.so.
std::string AttachmentPath();

}  // namespace porvane::cli
