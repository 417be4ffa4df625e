#include "platform/text/sci_format.h"

#include <cstdio>

namespace text {

std::string WidenExponent(const std::string& formatted) {
    size_t e = formatted.find_last_of("eE");
    if (e == std::string::npos || e + 2 > formatted.size()) {
        return formatted;  // inf, nan: nothing to widen
    }
    size_t digits_at = e + 1;
    if (formatted[digits_at] == '+' || formatted[digits_at] == '-') {
        ++digits_at;
    }
    size_t digits = formatted.size() - digits_at;
    if (digits >= 3) {
        return formatted;
    }
    std::string out = formatted;
    out.insert(digits_at, 3 - digits, '0');
    return out;
}

std::string FormatSci4(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.4e", value);
    return WidenExponent(buffer);
}

}  // namespace text
