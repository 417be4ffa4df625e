#include "platform/text/utf8.h"

#include <cstdint>

namespace text {

size_t Utf8SequenceLength(std::string_view text, size_t at) {
    const auto c = static_cast<unsigned char>(text[at]);
    size_t extra;
    uint32_t code;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (at + extra >= text.size())
        return 0;
    for (size_t k = 1; k <= extra; ++k) {
        const auto t = static_cast<unsigned char>(text[at + k]);
        if ((t & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (t & 0x3F);
    }
    if ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (extra == 3 && (code < 0x10000 || code > 0x10FFFF)))
        return 0;
    return extra + 1;
}

}  // namespace text
