#pragma once

#include <string>

#include "platform/devicemap/port_identity.h"

namespace porvane::serial {

// The tool tip of a port list entry: what the system knows of the port, one fact a line
// (device, by-id and by-path names, USB ids and names, serial number, driver, holder); facts
// that are not known are left out.
std::string PortToolTip(const devicemap::PortIdentity& identity);

}  // namespace porvane::serial
