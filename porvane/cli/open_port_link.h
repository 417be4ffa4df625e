#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace porvane::monitor {
class DriverLink;
}

namespace porvane::cli {

// Opens link on the filter's control device for port (a name of the device map) and puts it in
// mode. On failure prints why to err (a name that is no port of the map, or failure_text with
// the control device that could not be opened) and returns the command's exit code, 1: the port
// did not open. Returns 0 once the link is open.
int OpenPortLink(const std::string& port, uint32_t mode, const char* failure_text,
                 monitor::DriverLink& link, std::FILE* err);

}  // namespace porvane::cli
