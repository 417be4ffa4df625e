#include <gtest/gtest.h>

#include "platform/text/gbk.h"
#include "platform/text/gbk_decoder.h"

namespace text {
namespace {

// "串口" in GBK is B4 AE BF DA.
const std::string kPortGbk = "\xB4\xAE\xBF\xDA";
const std::string kPortUtf8 = "串口";

TEST(Gbk, RoundTripsChineseAndAscii) {
    std::string utf8 = "串口被占用!! COM1";
    std::string gbk = Utf8ToGbk(utf8);
    EXPECT_EQ(gbk.substr(0, 4), kPortGbk);
    EXPECT_EQ(gbk.size(), 2u * 5 + 2 + 5);
    EXPECT_EQ(GbkToUtf8(gbk), utf8);
}

TEST(Gbk, BadBytesBecomeReplacementCharacters) {
    EXPECT_EQ(GbkToUtf8("A\xFF"
                        "B"),
              "A\xEF\xBF\xBD"
              "B");
    // A lead byte at the very end has no second byte.
    EXPECT_EQ(GbkToUtf8("A\xB4"), "A\xEF\xBF\xBD");
}

TEST(Gbk, CharactersOutsideGbkBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80"
                        "b"),
              "a?b");                     // an emoji
    EXPECT_EQ(Utf8ToGbk("a\xC3"), "a?");  // truncated UTF-8
}

TEST(Gbk, ZeroBytesPassThrough) {
    std::string gbk("A\0B", 3);
    EXPECT_EQ(GbkToUtf8(gbk), gbk);
}

TEST(GbkDecoder, HoldsBackALeadByteSplitAcrossReads) {
    GbkDecoder decoder;
    EXPECT_EQ(decoder.Feed("x\xB4"), "x");
    EXPECT_TRUE(decoder.HasPending());
    EXPECT_EQ(decoder.Feed("\xAE\xBF"), "串");
    EXPECT_EQ(decoder.Feed("\xDA"), "口");
    EXPECT_FALSE(decoder.HasPending());
}

TEST(GbkDecoder, EveryByteByItselfStillDecodesWhole) {
    GbkDecoder decoder;
    std::string out;
    for (char c : kPortGbk + "ok") {
        out += decoder.Feed(std::string(1, c));
    }
    EXPECT_EQ(out, kPortUtf8 + "ok");
}

TEST(GbkDecoder, FlushTurnsALoneLeadByteIntoReplacement) {
    GbkDecoder decoder;
    EXPECT_EQ(decoder.Feed("\xB4"), "");
    EXPECT_EQ(decoder.Flush(), "\xEF\xBF\xBD");
    EXPECT_EQ(decoder.Flush(), "");
}

}  // namespace
}  // namespace text
