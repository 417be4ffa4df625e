#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The card reader's frame: lead byte, command (or status), length n, n data bytes, check byte,
// end byte 0x03. Shared by the reader library and the command assistant.
namespace reader {

inline constexpr uint8_t kFrameAnnounce = 0x20;     // "a frame follows"
inline constexpr uint8_t kFrameAcknowledge = 0x06;  // "go ahead"
inline constexpr uint8_t kFrameEnd = 0x03;
inline constexpr size_t kFrameOverhead = 5;  // lead, command, length, check, end

// The check byte: 0xFF XOR every covered byte (0xFF over nothing).
inline uint8_t FrameBcc(const uint8_t* bytes, size_t count) {
    uint8_t bcc = 0;
    for (size_t i = 0; i < count; ++i) {
        bcc ^= bytes[i];
    }
    return static_cast<uint8_t>(~bcc);
}

// Multi-byte values in frame data go least significant byte first, both ways.
inline uint32_t LoadLe32(const uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline std::array<uint8_t, 4> Le32Bytes(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

// A request frame: 0x00, command, length, data, check over the first n + 3 bytes, 0x03.
// Data longer than 255 bytes does not fit the length byte; callers refuse it first.
inline std::vector<uint8_t> BuildReaderFrame(uint8_t command, std::span<const uint8_t> data,
                                             uint8_t lead = 0x00) {
    std::vector<uint8_t> frame;
    frame.reserve(data.size() + kFrameOverhead);
    frame.push_back(lead);
    frame.push_back(command);
    frame.push_back(static_cast<uint8_t>(data.size()));
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(FrameBcc(frame.data(), frame.size()));
    frame.push_back(kFrameEnd);
    return frame;
}

}  // namespace reader
