#pragma once

#include <cstdint>

// The block types and option codes of pcapng that the capture writes and reads.
namespace porvane::capture::pcapng {

inline constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
inline constexpr uint32_t kInterfaceDescriptionBlock = 1;
inline constexpr uint32_t kEnhancedPacketBlock = 6;
inline constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

inline constexpr uint16_t kOptEndOfOptions = 0;
inline constexpr uint16_t kOptComment = 1;
inline constexpr uint16_t kShbUserApplication = 4;
inline constexpr uint16_t kIfName = 2;
inline constexpr uint16_t kIfDescription = 3;
inline constexpr uint16_t kIfTsresol = 9;
inline constexpr uint16_t kEpbFlags = 2;

}  // namespace porvane::capture::pcapng
