#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace text {

// Each byte as two lower-case hex digits and a space: {0x41, 0x00} -> "41 00 ".
std::string HexGroups(std::span<const uint8_t> bytes);

// Appends the hex groups of the bytes to out (no allocation beyond out's growth).
void AppendHexGroups(std::string& out, std::span<const uint8_t> bytes);

}  // namespace text
