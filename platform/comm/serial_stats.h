#pragma once

#include <cstdint>

namespace comm {

// The port driver's six performance counters, 24 bytes, in the order the status strip reads them.
struct SerialStats {
    uint32_t ReceivedCount = 0;
    uint32_t TransmittedCount = 0;
    uint32_t FrameErrorCount = 0;
    uint32_t SerialOverrunErrorCount = 0;
    uint32_t BufferOverrunErrorCount = 0;
    uint32_t ParityErrorCount = 0;
};

static_assert(sizeof(SerialStats) == 24);

}  // namespace comm
