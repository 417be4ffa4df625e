#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace porvane::terminal {

// The bytes a hex send text stands for: every character other than 0-9, A-F, a-f separates
// groups; each group is read as strtol reads base 16 and gives its low 8 bits, a group beyond
// 0x7FFFFFFF saturating (so giving 0xFF). "0x1F" is two groups (00 1F), "12345" one (45).
std::vector<uint8_t> ParseHexText(std::string_view text);

}  // namespace porvane::terminal
