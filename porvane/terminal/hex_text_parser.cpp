#include "porvane/terminal/hex_text_parser.h"

#include <cctype>

namespace porvane::terminal {

std::vector<uint8_t> ParseHexText(std::string_view text) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    for (;;) {
        while (i < text.size() && !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i == text.size()) {
            return bytes;
        }
        uint64_t value = 0;
        while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) {
            const char c = text[i++];
            const int digit = std::isdigit(static_cast<unsigned char>(c))
                                  ? c - '0'
                                  : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
            value = value * 16 + static_cast<uint64_t>(digit);
            if (value > 0x7FFFFFFF) {
                value = 0x7FFFFFFF;  // strtol saturates; the rest of the group is still consumed
            }
        }
        bytes.push_back(static_cast<uint8_t>(value & 0xFF));
    }
}

}  // namespace porvane::terminal
