#pragma once

#include <cstdio>
#include <string>

namespace porvane::cli {

// Prints the port list, one name a line, to out. With no port found prints the discovery
// message to err and returns 1; otherwise 0.
int RunPortsCommand(std::FILE* out, std::FILE* err);

// The options of "ports" beyond the plain list.
struct PortsOptions {
    bool long_form = false;  // each port with its identity (links, USB ids, driver, holder)
    bool follow = false;     // then one line per arrival and departure until stopped
};

// The list as RunPortsCommand prints it, each port followed by its identity with long_form. With
// follow: the list (possibly empty, without the discovery message), then "arrived PORT" and
// "departed PORT" lines as ports come and go, until stop_fd becomes readable or out's reader
// goes away (0); 1 when the ports cannot be followed.
int RunPortsCommand(const PortsOptions& options, int stop_fd, std::FILE* out, std::FILE* err);

// A port's identity as "ports --long" prints it: one "  label  value" line per thing known.
std::string FormatPortIdentity(const std::string& port);

// Prints the device map itself, one "device=port" line each; 1 when it cannot be read.
int RunMapCommand(std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
