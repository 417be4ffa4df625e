#include <gtest/gtest.h>

#include "reader/sim/reader_simulator.h"

namespace reader::sim {
namespace {

using Bytes = std::vector<uint8_t>;

class SimulatorTest : public ::testing::Test {
  protected:
    ReaderSimulator::Reply Do(uint8_t command, Bytes data) { return sim_.Handle(command, data); }
    void SelectCard() {
        ASSERT_EQ(Do(0x41, {0x52}).status, kStatusOk);
        ASSERT_EQ(Do(0x42, {0x93}).status, kStatusOk);
        ASSERT_EQ(Do(0x43, {0x3A, 0x7C, 0x91, 0x05}).status, kStatusOk);
    }
    void AuthSector(uint8_t sector) {
        ASSERT_EQ(
            Do(0x73, {0x60, static_cast<uint8_t>(sector * 4), 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})
                .status,
            kStatusOk);
    }
    ReaderSimulator sim_;
};

TEST_F(SimulatorTest, SelectionGivesTypeSerialAndAnswer) {
    auto request = Do(0x41, {0x26});
    EXPECT_EQ(request.data, (Bytes{0x04, 0x00}));
    EXPECT_EQ(Do(0x42, {0x93}).data, (Bytes{0x3A, 0x7C, 0x91, 0x05}));
    EXPECT_EQ(Do(0x43, {0x3A, 0x7C, 0x91, 0x05}).data, Bytes{0x08});
    EXPECT_EQ(Do(0x43, {1, 2, 3, 4}).status, kStatusNoCard);
}

TEST_F(SimulatorTest, HaltedCardAnswersOnlyARequestForAll) {
    SelectCard();
    EXPECT_EQ(Do(0x45, {}).status, kStatusOk);
    EXPECT_EQ(Do(0x42, {0x93}).status, kStatusNoCard);
    EXPECT_EQ(Do(0x41, {0x26}).status, kStatusNoCard);
    EXPECT_EQ(Do(0x41, {0x52}).status, kStatusOk);
    EXPECT_EQ(Do(0x42, {0x93}).status, kStatusOk);
}

TEST_F(SimulatorTest, WrongKeyFailsAndReadNeedsAuthentication) {
    SelectCard();
    EXPECT_EQ(Do(0x46, {4}).status, kStatusAccessDenied);
    EXPECT_EQ(Do(0x73, {0x60, 4, 1, 2, 3, 4, 5, 6}).status, kStatusAuthFailed);
    AuthSector(1);
    auto read = Do(0x46, {4});
    ASSERT_EQ(read.status, kStatusOk);
    EXPECT_EQ(read.data[0], 100);                          // the purse
    EXPECT_EQ(Do(0x46, {8}).status, kStatusAccessDenied);  // another sector
}

TEST_F(SimulatorTest, TrailerHidesKeyAAndManufacturerBlockIsReadOnly) {
    SelectCard();
    AuthSector(0);
    auto trailer = Do(0x46, {3});
    ASSERT_EQ(trailer.status, kStatusOk);
    EXPECT_EQ(trailer.data[0], 0x00);
    EXPECT_EQ(trailer.data[10], 0xFF);
    Bytes write = {0};
    write.resize(17, 0x11);
    EXPECT_EQ(Do(0x47, write).status, kStatusAccessDenied);
    write[0] = 1;
    EXPECT_EQ(Do(0x47, write).status, kStatusOk);
    EXPECT_EQ(Do(0x46, {1}).data, Bytes(16, 0x11));
}

TEST_F(SimulatorTest, ValueOperationsGoThroughTheTransferRegister) {
    SelectCard();
    AuthSector(1);
    EXPECT_EQ(Do(0x48, {4, 25, 0, 0, 0}).status, kStatusOk);  // 100 + 25
    EXPECT_EQ(Do(0x4B, {5}).status, kStatusOk);
    EXPECT_EQ(Do(0x46, {5}).data[0], 125);
    EXPECT_EQ(Do(0x49, {5, 0x7D, 0, 0, 0}).status, kStatusOk);  // 125 - 125
    EXPECT_EQ(Do(0x4B, {5}).status, kStatusOk);
    EXPECT_EQ(Do(0x46, {5}).data[0], 0);
    EXPECT_EQ(Do(0x48, {6, 1, 0, 0, 0}).status, kStatusValueFormat);  // not a value block
    EXPECT_EQ(Do(0x4B, {6}).status, kStatusValueFormat);              // nothing to transfer
}

TEST_F(SimulatorTest, StoredKeysAndCombinedCommands) {
    EXPECT_EQ(Do(0x4C, {0x60, 1, 1, 2, 3, 4, 5, 6}).status, kStatusOk);
    SelectCard();
    EXPECT_EQ(Do(0x44, {0x60, 1}).status, kStatusAuthFailed);  // slot 1 now holds another key
    EXPECT_EQ(Do(0x44, {0x60, 2}).status, kStatusOk);
    auto read = Do(0x12, {0x60, 0, 4});
    EXPECT_EQ(read.status, kStatusOk);
    EXPECT_EQ(read.data.size(), 16u);
    auto snr = Do(0x10, {0x52});
    EXPECT_EQ(snr.data, (Bytes{0x04, 0x00, 0x08, 4, 0x3A, 0x7C, 0x91, 0x05}));
    auto addt = Do(0x81, {0x00});
    EXPECT_EQ(addt.data.size(), 5u + 4 + 16);
    EXPECT_EQ(Do(0x80, {0x60, 0, 4, 'F', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0}).status,
              kStatusOk);
    EXPECT_EQ(Do(0x80, {0x60, 0, 4, 'X'}).status, kStatusBadParameter);
}

TEST_F(SimulatorTest, EepromAndHousekeeping) {
    EXPECT_EQ(Do(0x62, {0x10, 3, 7, 8, 9}).status, kStatusOk);
    EXPECT_EQ(Do(0x61, {0x10, 3}).data, (Bytes{7, 8, 9}));
    EXPECT_EQ(Do(0x62, {0x10, 3, 7}).status, kStatusBadParameter);  // count disagrees with data
    EXPECT_EQ(Do(0x61, {0xFF, 2}).status, kStatusBadParameter);
    EXPECT_EQ(Do(0x4F, {}).data.size(), 9u);
    EXPECT_EQ(Do(0x99, {}).status, kStatusUnknownCommand);
    EXPECT_EQ(Do(0x41, {}).status, kStatusBadParameter);
}

}  // namespace
}  // namespace reader::sim
