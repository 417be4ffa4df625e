#pragma once

#include <cstdint>

namespace porvane::terminal {

// The chunk a file of `length` bytes is sent in: a hundredth of it, at least 100 and at most
// 1024 bytes, so that a file goes in about a hundred chunks and never more than 1024 bytes wait
// at the port.
inline uint64_t FileChunkSize(uint64_t length) {
    uint64_t chunk = length / 100;
    if (chunk <= 100)
        chunk = 100;
    if (chunk > 1024)
        chunk = 1024;
    return chunk;
}

// The period of "周期发送": the digits of the field as a decimal number; 0 (or nothing) means
// 1000 ms, and the field is to show "1000" then.
uint32_t ReadSendPeriod(const char* digits, bool* reset_to_default);

}  // namespace porvane::terminal
