#pragma once

#include <cstdio>

namespace porvane::cli {

// Prints the port list, one name a line, to out. With no port found prints the discovery
// message to err and returns 1; otherwise 0.
int RunPortsCommand(std::FILE* out, std::FILE* err);

// Prints the device map itself, one "device=port" line each; 1 when it cannot be read.
int RunMapCommand(std::FILE* out, std::FILE* err);

}  // namespace porvane::cli
