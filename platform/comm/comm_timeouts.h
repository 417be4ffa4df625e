#pragma once

#include <cstdint>

namespace comm {

// Read and write time-outs in milliseconds, 20 bytes, in the Windows COMMTIMEOUTS order.
struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

static_assert(sizeof(CommTimeouts) == 20);

inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

}  // namespace comm
