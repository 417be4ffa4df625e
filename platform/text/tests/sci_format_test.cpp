#include <gtest/gtest.h>

#include "platform/text/sci_format.h"

namespace text {
namespace {

TEST(FormatSci4, WritesThreeExponentDigits) {
    struct Row {
        const char* name;
        double value;
        const char* expected;
    };
    const Row rows[] = {
        {"zero", 0.0, "0.0000e+000"},
        {"report example", 8.0 / 15360.0, "5.2083e-004"},
        {"one", 1.0, "1.0000e+000"},
        {"large", 1.5e12, "1.5000e+012"},
        {"three digits already", 1e-100, "1.0000e-100"},
        {"negative", -2.5e-7, "-2.5000e-007"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(FormatSci4(row.value), row.expected);
    }
}

TEST(FormatSci4, LeavesInfinityAlone) {
    EXPECT_EQ(FormatSci4(1.0 / 0.0), "inf");
}

TEST(WidenExponent, WorksOnUpperCaseAndOtherPrecisions) {
    EXPECT_EQ(WidenExponent("1.0E+05"), "1.0E+005");
    EXPECT_EQ(WidenExponent("12"), "12");
}

}  // namespace
}  // namespace text
