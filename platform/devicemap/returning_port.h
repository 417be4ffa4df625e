#pragma once

#include <optional>
#include <string>

#include "platform/devicemap/port_identity.h"

namespace devicemap {

// True when the identity names an adapter of its own: a USB serial number or a by-id link.
inline bool HasAdapterIdentity(const std::optional<PortIdentity>& identity) {
    return identity && (!identity->serial.empty() || !identity->by_id.empty());
}

// Whether the port now named `port` (identity `now`) is the port `gone_port` (identity `gone`,
// taken while it was there) come back: the same adapter when either has an adapter identity,
// else, for ports without one (built-in and virtual ports), the same port name.
inline bool IsReturningPort(const std::string& gone_port, const std::optional<PortIdentity>& gone,
                            const std::string& port, const std::optional<PortIdentity>& now) {
    if (HasAdapterIdentity(gone) || HasAdapterIdentity(now))
        return gone && now && SameAdapter(*gone, *now);
    return gone_port == port;
}

}  // namespace devicemap
