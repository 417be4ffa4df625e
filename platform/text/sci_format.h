#pragma once

#include <string>

namespace text {

// Formats like printf's "%.4e" but always with at least three exponent digits, as the reports
// and the statistics fields show figures: 0.0 -> "0.0000e+000", 5.2083e-4 -> "5.2083e-004".
std::string FormatSci4(double value);

// Rewrites the exponent of a printf %e result to at least three digits ("1.0e-05" -> "1.0e-005").
std::string WidenExponent(const std::string& formatted);

}  // namespace text
