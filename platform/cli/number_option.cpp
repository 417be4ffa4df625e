#include "platform/cli/number_option.h"

#include <charconv>

namespace cli_support {

std::string CheckWholeNumber(const std::string& text, long long min, long long max) {
    const char* first = text.data();
    const char* last = first + text.size();
    long long value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    const std::string range = "must be " + std::to_string(min) + " to " + std::to_string(max);
    if (text.empty() || end != last) {
        return text + " is not a number";
    }
    if (error == std::errc::result_out_of_range || value < min || value > max) {
        return range;
    }
    return {};
}

CLI::Validator WholeNumber(long long min, long long max) {
    return CLI::Validator(
        [min, max](std::string& text) { return CheckWholeNumber(text, min, max); },
        "[" + std::to_string(min) + " - " + std::to_string(max) + "]");
}

}  // namespace cli_support
