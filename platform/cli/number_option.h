#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

namespace cli_support {

// The range every program accepts for a baud rate.
inline constexpr long long kMinBaud = 50;
inline constexpr long long kMaxBaud = 4000000;

// Checks a whole-number option before CLI11 converts it, with messages a person can read:
// "--baud: 12x is not a number", "--baud: must be 50 to 4000000". The option's help shows the
// range as "[min - max]".
CLI::Validator WholeNumber(long long min, long long max);

// The text of a check: empty when text is a whole number from min to max.
std::string CheckWholeNumber(const std::string& text, long long min, long long max);

}  // namespace cli_support
