#include <gtest/gtest.h>

#include "reader/frame/reader_frame.h"

namespace reader {
namespace {

TEST(FrameBcc, KnownValues) {
    const uint8_t request[] = {0x00, 0x41, 0x01, 0x52};
    EXPECT_EQ(FrameBcc(request, 4), 0xED);
    EXPECT_EQ(FrameBcc(nullptr, 0), 0xFF);
    const uint8_t halt[] = {0x00, 0x45, 0x00};
    EXPECT_EQ(FrameBcc(halt, 3), 0xBA);
}

TEST(BuildReaderFrame, WrapsDataInLeadLengthCheckAndEnd) {
    const uint8_t mode[] = {0x52};
    EXPECT_EQ(BuildReaderFrame(0x41, mode),
              (std::vector<uint8_t>{0x00, 0x41, 0x01, 0x52, 0xED, 0x03}));
    EXPECT_EQ(BuildReaderFrame(0x45, {}), (std::vector<uint8_t>{0x00, 0x45, 0x00, 0xBA, 0x03}));
    std::vector<uint8_t> big(255, 0xAA);
    auto frame = BuildReaderFrame(0x62, big);
    EXPECT_EQ(frame.size(), 260u);
    EXPECT_EQ(frame[2], 255);
    EXPECT_EQ(frame.back(), 0x03);
}

}  // namespace
}  // namespace reader
