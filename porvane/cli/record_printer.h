#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace porvane::cli {

// The position of a port in the port list (as the pages list them), named as listed or by its
// device name in the map (ttyS0), or by a device path or link that leads to a listed port
// (/dev/serial/by-id/...); -1 when it is not there.
int PortListIndex(const std::string& name);

}  // namespace porvane::cli
