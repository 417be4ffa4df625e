#pragma once

#include <cstddef>
#include <cstdint>

#include "brevant/app_settings.h"
#include "brevant/event_port.h"
#include "platform/comm/comm_constants.h"

namespace brevant {

// The command port's write buffer: a longer frame is refused.
inline constexpr size_t kCommandWriteBufferSize = 512;
// The events the command port reports: each received byte and the end of a burst.
inline constexpr uint32_t kCommandEventMask = comm::EV_RXCHAR | comm::EV_RXFLAG;
// What the user is told when the port cannot be opened.
inline constexpr char kPortNotFoundMessage[] = "没有发现此串口或被占用";

// Opens the command port as Config.INI's settings describe it (parity N when none is set) and
// starts its thread, which reports to owner. False when the port cannot be opened or started.
bool OpenCommandPort(EventPort& port, EventPortOwner* owner, const AppSettings& settings);

}  // namespace brevant
