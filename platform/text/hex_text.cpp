#include "platform/text/hex_text.h"

namespace text {

void AppendHexGroups(std::string& out, std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    size_t at = out.size();
    out.resize(at + bytes.size() * 3);
    for (uint8_t b : bytes) {
        out[at++] = kDigits[b >> 4];
        out[at++] = kDigits[b & 0x0F];
        out[at++] = ' ';
    }
}

std::string HexGroups(std::span<const uint8_t> bytes) {
    std::string out;
    AppendHexGroups(out, bytes);
    return out;
}

}  // namespace text
