#include <gtest/gtest.h>

#include <vector>

#include "platform/text/hex_text.h"

namespace text {
namespace {

TEST(HexGroups, TwoLowerCaseDigitsAndASpaceEach) {
    std::vector<uint8_t> bytes = {0x41, 0x00, 0x42, 0xFF};
    EXPECT_EQ(HexGroups(bytes), "41 00 42 ff ");
    EXPECT_EQ(HexGroups({}), "");
}

TEST(HexGroups, AppendKeepsWhatWasThere) {
    std::string out = "> ";
    std::vector<uint8_t> bytes = {0x0A};
    AppendHexGroups(out, bytes);
    EXPECT_EQ(out, "> 0a ");
}

}  // namespace
}  // namespace text
