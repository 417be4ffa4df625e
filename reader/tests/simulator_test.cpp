#include <gtest/gtest.h>

#include <set>
#include <string>

#include "reader/frame/reader_command.h"
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

// The command table: every named command reaches a handler that takes exactly its data, and no
// other command byte is known.
TEST(SimulatorDispatch, EveryCommandTakesItsDataAndNoOtherByteIsKnown) {
    struct Row {
        const char* name;
        ReaderCommand command;
        Bytes data;  // well-formed; one byte less must be refused
    };
    const Bytes key = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Bytes block = {5};
    block.resize(17, 0x22);
    Bytes auth_block = {0x60, 1, 5};
    auth_block.resize(19, 0x33);
    using C = ReaderCommand;
    const Row rows[] = {
        {"Request", C::kRequest, {0x52}},
        {"Anticoll", C::kAnticoll, {0x93}},
        {"Anticoll2", C::kAnticoll2, {0x93, 0x20}},
        {"Select", C::kSelect, {0x3A, 0x7C, 0x91, 0x05}},
        {"CascAnticoll", C::kCascAnticoll, {0x93, 0x20}},
        {"CascSelect", C::kCascSelect, {0x93, 0x3A, 0x7C, 0x91, 0x05}},
        {"GetCardSnr", C::kGetCardSnr, {0x52}},
        {"ReadAddt", C::kReadAddt, {0x00}},
        {"Auth", C::kAuth, {0x60, 1}},
        {"Auth2", C::kAuth2, {0x60, 1, 4}},
        {"AuthKey", C::kAuthKey, {0x60, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"LoadKey", C::kLoadKey, {0x60, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"AutoDetect", C::kAutoDetect, {0x60, 0, 4, 'F', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0}},
        {"Read", C::kRead, {4}},
        {"Write", C::kWrite, block},
        {"ReadAuth", C::kReadAuth, {0x60, 1, 4}},
        {"WriteAuth", C::kWriteAuth, auth_block},
        {"Increment", C::kIncrement, {4, 1, 0, 0, 0}},
        {"Decrement", C::kDecrement, {4, 1, 0, 0, 0}},
        {"Restore", C::kRestore, {4}},
        {"Transfer", C::kTransfer, {4}},
        {"Value", C::kValue, {0xC1, 4, 1, 0, 0, 0, 4}},
        {"WriteValueAuth", C::kWriteValueAuth, {0x60, 1, 6, 7, 0, 0, 0}},
        {"ValueAuth", C::kValueAuth, {0x60, 1, 4, 0xC1, 1, 0, 0, 0, 4}},
        {"Halt", C::kHalt, {}},
        {"Reset", C::kReset, {1}},
        {"Close", C::kClose, {}},
        {"Config", C::kConfig, {}},
        {"GetInfo", C::kGetInfo, {}},
        {"SetControlBit", C::kSetControlBit, {}},
        {"ClrControlBit", C::kClrControlBit, {}},
        {"Buzzer", C::kBuzzer, {1, 2, 3, 4}},
        {"ReadE2", C::kReadE2, {0x10, 2}},
        {"WriteE2", C::kWriteE2, {0x10, 2, 7, 8}},
    };
    ReaderSimulator sim;
    std::set<ReaderCommand> covered;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        covered.insert(row.command);
        const ReaderSimulator::Reply reply = sim.Handle(CommandByte(row.command), row.data);
        EXPECT_EQ(reply.status, kStatusOk);
        Bytes longer = row.data;
        longer.push_back(0);
        EXPECT_EQ(sim.Handle(CommandByte(row.command), longer).status, kStatusBadParameter);
        if (!row.data.empty()) {
            const Bytes shorter(row.data.begin(), row.data.end() - 1);
            EXPECT_EQ(sim.Handle(CommandByte(row.command), shorter).status, kStatusBadParameter);
        }
    }
    // The ultralight write is named but not this card's command set.
    covered.insert(C::kUlWrite);
    EXPECT_EQ(sim.Handle(CommandByte(C::kUlWrite), Bytes{1, 2, 3, 4, 5}).status,
              kStatusUnknownCommand);
    EXPECT_EQ(sim.Handle(CommandByte(C::kUlWrite), Bytes{1, 2, 3, 4}).status, kStatusBadParameter);
    EXPECT_EQ(covered, std::set<ReaderCommand>(kReaderCommands.begin(), kReaderCommands.end()));

    const std::set<ReaderCommand> named(kReaderCommands.begin(), kReaderCommands.end());
    EXPECT_EQ(named.size(), kReaderCommands.size());  // no command listed twice
    for (int byte = 0; byte < 256; ++byte) {
        if (named.count(static_cast<ReaderCommand>(byte)) == 0) {
            SCOPED_TRACE(byte);
            EXPECT_EQ(sim.Handle(static_cast<uint8_t>(byte), {}).status, kStatusUnknownCommand);
            EXPECT_EQ(sim.Handle(static_cast<uint8_t>(byte), Bytes(4, 0)).status,
                      kStatusUnknownCommand);
        }
    }
}

}  // namespace
}  // namespace reader::sim
