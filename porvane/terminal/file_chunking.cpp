#include "porvane/terminal/file_chunking.h"

#include <cctype>

namespace porvane::terminal {

uint32_t ReadSendPeriod(const char* digits, bool* reset_to_default) {
    uint64_t value = 0;
    for (const char* p = digits; p != nullptr && *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            break;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFull) {
            value = 0;  // what the dialog manager reads for a number it cannot hold
            break;
        }
    }
    const bool reset = value == 0;
    if (reset_to_default != nullptr)
        *reset_to_default = reset;
    return reset ? 1000 : static_cast<uint32_t>(value);
}

}  // namespace porvane::terminal
