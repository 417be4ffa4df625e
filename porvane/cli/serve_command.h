#pragma once

#include <cstdio>
#include <string>

namespace porvane::cli {

// The options of "porvane-cli serve", as typed.
struct ServeOptions {
    std::string port;    // port name or path
    std::string listen;  // [ADDR:]PORT
};

// Opens the port exclusively, listens, and serves the port to one network client at a time
// until a stop signal on stop_fd (0) or the port's vanishing ("串口已断开: <device>", 5). Says
// where it listens, then one line per client arriving, leaving or turned away, on out. A port
// that does not open: the message of a local open and 1; a --listen that cannot be read: 2; an
// address that cannot be listened on: 6.
int RunServeCommand(const ServeOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
