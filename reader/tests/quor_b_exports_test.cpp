// Every export against the simulated reader over a pseudo-terminal: the request frame it puts on
// the wire, byte for byte, and what it makes of the reply.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>

#include "quor_b.h"
#include "reader/frame/reader_frame.h"
#include "reader/tests/simulated_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;
using reader::testing::SimulatedReader;

const uint8_t kKey[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t kData16[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kSerialBytes[4] = {0x3A, 0x7C, 0x91, 0x05};
const int32_t kValue = 0x01020304;

Bytes Frame(uint8_t command, Bytes data) {
    return reader::BuildReaderFrame(command, data);
}

class QuorExportsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // These exchanges check what the reader answers, not how fast: roomy waits keep a loaded
        // machine from costing a reply.
        setenv("QUOR_B_TIMEOUT_SCALE", "20", 1);
        reader_ = std::make_unique<SimulatedReader>();
        setenv("COM1", reader_->path().c_str(), 1);
        ASSERT_EQ(Quor_Init(1, 115200), 0);
    }
    void TearDown() override {
        Quor_Exit();
        unsetenv("COM1");
        unsetenv("QUOR_B_TIMEOUT_SCALE");
    }
    // Brings the card to the active state.
    void SelectCard() {
        uint32_t serial = 0;
        uint8_t answer = 0;
        uint16_t type = 0;
        ASSERT_EQ(Quor_Request(0x52, &type), 0);
        ASSERT_EQ(Quor_Anticoll(0x93, &serial), 0);
        ASSERT_EQ(Quor_Select(serial, &answer), 0);
    }
    // Selects the card and authenticates sector 1 (blocks 4..7).
    void SelectAndAuthenticate() {
        ASSERT_NO_FATAL_FAILURE(SelectCard());
        ASSERT_EQ(Quor_Auth_Key(0x60, 4, kKey), 0);
    }
    Bytes LastRequest() { return reader_->LastRequest(); }
    std::unique_ptr<SimulatedReader> reader_;
};

TEST_F(QuorExportsTest, EveryExportPutsItsFrameOnTheWire) {
    struct Row {
        const char* name;
        std::function<uint8_t()> call;
        Bytes frame;
    };
    uint16_t u16;
    uint32_t u32;
    uint8_t u8, buf[256];
    int32_t i32;
    const Row rows[] = {
        {"Request", [&] { return Quor_Request(0x52, &u16); }, {0x00, 0x41, 0x01, 0x52, 0xED, 0x03}},
        {"Anticoll", [&] { return Quor_Anticoll(0x93, &u32); }, Frame(0x42, {0x93})},
        {"Anticoll2", [&] { return Quor_Anticoll2(0x93, 0x20, &u32); }, Frame(0x71, {0x93, 0x20})},
        {"Select", [&] { return Quor_Select(0x05917C3A, &u8); },
         Frame(0x43, {0x3A, 0x7C, 0x91, 0x05})},
        {"Casc_Anticoll", [&] { return Quor_Casc_Anticoll(0x93, 0, &u32); },
         Frame(0x74, {0x93, 0})},
        {"Casc_Select", [&] { return Quor_Casc_Select(0x93, kSerialBytes, &u8); },
         Frame(0x75, {0x93, 0x3A, 0x7C, 0x91, 0x05})},
        {"Get_CardSnr", [&] { return Quor_Get_CardSnr(0x26, &u16, &u8, &u8, buf); },
         Frame(0x10, {0x26})},
        {"ReadADDT", [&] { return Quor_ReadADDT(0x01, &u8, &u16, &u8, buf, nullptr); },
         Frame(0x81, {0x01})},
        {"Halt", [&] { return Quor_Halt(); }, {0x00, 0x45, 0x00, 0xBA, 0x03}},
        {"Auth", [&] { return Quor_Auth(0x60, 1); }, Frame(0x44, {0x60, 1})},
        {"Auth2", [&] { return Quor_Auth2(0x60, 1, 4); }, Frame(0x72, {0x60, 1, 4})},
        {"Auth_Key", [&] { return Quor_Auth_Key(0x61, 8, kKey); },
         Frame(0x73, {0x61, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"Load_Key", [&] { return Quor_Load_Key(0x60, 2, kData16); },
         Frame(0x4C, {0x60, 2, 1, 2, 3, 4, 5, 6})},
        {"AutoDetect 0", [&] { return Quor_AutoDetect(0x60, 1, 4, 0x00, 9, kData16, 7); },
         Frame(0x80, {0x60, 1, 4, 0x00})},
        {"AutoDetect E", [&] { return Quor_AutoDetect(0x60, 1, 4, 'E', 9, kData16, 7); },
         Frame(0x80, {0x60, 1, 4, 'E', 9, 1, 7})},
        {"AutoDetect F", [&] { return Quor_AutoDetect(0x60, 1, 4, 'F', 9, kData16, 7); },
         Frame(0x80, {0x60, 1, 4, 'F', 9, 1, 2, 3, 4, 5, 6, 7})},
        {"Read", [&] { return Quor_Read(4, buf); }, Frame(0x46, {4})},
        {"Write", [&] { return Quor_Write(5, kData16); },
         Frame(0x47, {5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})},
        {"Ul_Write", [&] { return Quor_Ul_Write(6, kData16); }, Frame(0x76, {6, 1, 2, 3, 4})},
        {"Read_Auth", [&] { return Quor_Read_Auth(0x60, 1, 4, buf); }, Frame(0x12, {0x60, 1, 4})},
        {"Write_Auth", [&] { return Quor_Write_Auth(0x60, 1, 5, kData16); },
         Frame(0x11, {0x60, 1, 5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})},
        {"Increment", [&] { return Quor_Increment(4, &kValue); }, Frame(0x48, {4, 4, 3, 2, 1})},
        {"Decrement", [&] { return Quor_Decrement(4, &kValue); }, Frame(0x49, {4, 4, 3, 2, 1})},
        {"Restore", [&] { return Quor_Restore(4); }, Frame(0x4A, {4})},
        {"Transfer", [&] { return Quor_Transfer(5); }, Frame(0x4B, {5})},
        {"Value", [&] { return Quor_Value(0xC1, 4, &kValue, 5); },
         Frame(0x70, {0xC1, 4, 4, 3, 2, 1, 5})},
        {"ReadValue_Auth", [&] { return Quor_ReadValue_Auth(0x60, 1, 4, &i32); },
         Frame(0x12, {0x60, 1, 4})},
        {"WriteValue_Auth", [&] { return Quor_WriteValue_Auth(0x60, 1, 5, &kValue); },
         Frame(0x13, {0x60, 1, 5, 4, 3, 2, 1})},
        {"Value_Auth", [&] { return Quor_Value_Auth(0x60, 1, 4, 0xC0, &kValue, 4); },
         Frame(0x14, {0x60, 1, 4, 0xC0, 4, 3, 2, 1, 4})},
        {"Reset", [&] { return Quor_Reset(10); }, Frame(0x4E, {10})},
        {"Close", [&] { return Quor_Close(); }, Frame(0x3F, {})},
        {"Config", [&] { return Quor_Config(); }, Frame(0x52, {})},
        {"Get_Info", [&] { return Quor_Get_Info(buf); }, Frame(0x4F, {})},
        {"Set_Control_Bit", [&] { return Quor_Set_Control_Bit(); }, Frame(0x50, {})},
        {"Clr_Control_Bit", [&] { return Quor_Clr_Control_Bit(); }, Frame(0x51, {})},
        {"Buzzer", [&] { return Quor_Buzzer(1, 2, 3, 4); }, Frame(0x60, {1, 2, 3, 4})},
        {"Read_E2", [&] { return Quor_Read_E2(0x20, 3, buf); }, Frame(0x61, {0x20, 3})},
        {"Write_E2",
         [&] { return Quor_Write_E2(0x10, 5, kData16); },
         {0x00, 0x62, 0x07, 0x10, 0x05, 1, 2, 3, 4, 5,
          reader::FrameBcc(Bytes{0x00, 0x62, 0x07, 0x10, 0x05, 1, 2, 3, 4, 5}.data(), 10), 0x03}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const size_t before = reader_->simulator().requests().size();
        const uint8_t status = row.call();
        EXPECT_NE(status, 0xFF);  // the simulated reader answered
        ASSERT_EQ(reader_->simulator().requests().size(), before + 1);
        EXPECT_EQ(LastRequest(), row.frame);
    }
}

TEST_F(QuorExportsTest, SelectionRepliesReachTheOutParameters) {
    uint16_t type = 0;
    EXPECT_EQ(Quor_Request(0x52, &type), 0);
    EXPECT_EQ(type, 0x0004);
    uint32_t serial = 0;
    EXPECT_EQ(Quor_Anticoll(0x93, &serial), 0);
    EXPECT_EQ(serial, 0x05917C3Au);  // first reply byte least significant
    uint8_t answer = 0;
    EXPECT_EQ(Quor_Select(serial, &answer), 0);  // sent back in the same byte order
    EXPECT_EQ(answer, 0x08);
    uint32_t serial2 = 0;
    EXPECT_EQ(Quor_Anticoll2(0x93, 0x20, &serial2), 0);
    EXPECT_EQ(serial2, serial);
    EXPECT_EQ(Quor_Casc_Anticoll(0x93, 0x20, &serial2), 0);
    EXPECT_EQ(serial2, serial);
    answer = 0;
    EXPECT_EQ(Quor_Casc_Select(0x93, kSerialBytes, &answer), 0);
    EXPECT_EQ(answer, 0x08);
    EXPECT_EQ(Quor_Halt(), 0);
    EXPECT_EQ(Quor_Anticoll(0x93, &serial2), 0x01);  // halted: no card until the next request

    uint8_t length = 0;
    uint8_t snr[8] = {};
    type = 0;
    answer = 0;
    EXPECT_EQ(Quor_Get_CardSnr(0x52, &type, &answer, &length, snr), 0);
    EXPECT_EQ(type, 0x0004);
    EXPECT_EQ(answer, 0x08);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(Bytes(snr, snr + 4), Bytes(kSerialBytes, kSerialBytes + 4));
    EXPECT_EQ(snr[4], 0);
}

TEST_F(QuorExportsTest, ReadAddtCopiesTheBlockOnlyWhenAsked) {
    uint8_t first = 0xEE, answer = 0;
    uint16_t type = 0;
    uint8_t serial[8] = {};
    uint8_t block[17] = {};
    block[16] = 0xAB;
    EXPECT_EQ(Quor_ReadADDT(0, &first, &type, &answer, serial, block), 0);
    EXPECT_EQ(first, 0x00);
    EXPECT_EQ(type, 0x0004);
    EXPECT_EQ(answer, 0x08);
    EXPECT_EQ(Bytes(serial, serial + 4), Bytes(kSerialBytes, kSerialBytes + 4));
    EXPECT_EQ(block[0], 0x3A);  // the manufacturer block starts with the serial
    EXPECT_EQ(block[5], 0x08);
    EXPECT_EQ(block[16], 0xAB);  // nothing past 16 bytes
    uint8_t serial_only[5] = {0, 0, 0, 0, 0x77};
    EXPECT_EQ(Quor_ReadADDT(0, &first, &type, &answer, serial_only, nullptr), 0);
    EXPECT_EQ(serial_only[4], 0x77);
}

TEST_F(QuorExportsTest, BlockAndValueOperations) {
    SelectAndAuthenticate();
    uint8_t data[16] = {};
    EXPECT_EQ(Quor_Read(4, data), 0);
    EXPECT_EQ(data[0], 100);  // the simulated purse
    EXPECT_EQ(Quor_Write(5, kData16), 0);
    EXPECT_EQ(Quor_Read(5, data), 0);
    EXPECT_EQ(Bytes(data, data + 16), Bytes(kData16, kData16 + 16));

    const int32_t twenty = 20;
    EXPECT_EQ(Quor_Increment(4, &twenty), 0);
    EXPECT_EQ(Quor_Transfer(4), 0);
    int32_t value = 0;
    EXPECT_EQ(Quor_ReadValue_Auth(0x60, 1, 4, &value), 0);
    EXPECT_EQ(value, 120);
    EXPECT_EQ(Quor_Decrement(4, &twenty), 0);
    EXPECT_EQ(Quor_Transfer(4), 0);
    EXPECT_EQ(Quor_Restore(4), 0);
    EXPECT_EQ(Quor_Transfer(6), 0);
    EXPECT_EQ(Quor_ReadValue_Auth(0x60, 1, 6, &value), 0);
    EXPECT_EQ(value, 100);
    EXPECT_EQ(Quor_Value(0xC1, 4, &twenty, 4), 0);
    EXPECT_EQ(Quor_WriteValue_Auth(0x60, 1, 5, &twenty), 0);
    EXPECT_EQ(Quor_Value_Auth(0x60, 1, 5, 0xC1, &twenty, 5), 0);
    EXPECT_EQ(Quor_ReadValue_Auth(0x60, 1, 5, &value), 0);
    EXPECT_EQ(value, 40);

    uint8_t read_auth[16] = {};
    EXPECT_EQ(Quor_Read_Auth(0x60, 1, 4, read_auth), 0);
    EXPECT_EQ(read_auth[0], 120);
    EXPECT_EQ(Quor_Write_Auth(0x60, 1, 5, kData16), 0);
}

TEST_F(QuorExportsTest, ErrorStatusesLeaveOutParametersAlone) {
    uint8_t data[16];
    std::fill(std::begin(data), std::end(data), 0xCC);
    EXPECT_EQ(Quor_Read(4, data), 0x01);  // no card selected
    EXPECT_EQ(data[0], 0xCC);
    uint8_t wrong[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_NO_FATAL_FAILURE(SelectCard());
    EXPECT_EQ(Quor_Auth_Key(0x60, 4, wrong), 0x04);
    EXPECT_EQ(Quor_Read(4, data), 0x05);
    EXPECT_EQ(data[0], 0xCC);
    EXPECT_EQ(Quor_Ul_Write(1, kData16), 0x08);
}

TEST_F(QuorExportsTest, KeysAndHousekeeping) {
    const uint8_t key[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    EXPECT_EQ(Quor_Load_Key(0x60, 3, key), 0);
    SelectAndAuthenticate();
    EXPECT_EQ(Quor_Auth(0x60, 1), 0);
    EXPECT_EQ(Quor_Auth2(0x60, 3, 4), 0x04);  // slot 3 holds the other key
    EXPECT_EQ(Quor_AutoDetect(0x60, 0, 4, 'F', 0, kKey, 0), 0);
    EXPECT_EQ(Quor_AutoDetect(0x60, 0, 4, 'E', 0, key, 0), 0x07);  // key slot 0xA0 is refused
    uint8_t info[10] = {};
    info[9] = 0x5A;
    EXPECT_EQ(Quor_Get_Info(info), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info), 9), "QSIM-1.00");
    EXPECT_EQ(info[9], 0x5A);
    const uint8_t e2[5] = {9, 8, 7, 6, 5};
    EXPECT_EQ(Quor_Write_E2(0x10, 5, e2), 0);
    uint8_t back[6] = {0, 0, 0, 0, 0, 0x33};
    EXPECT_EQ(Quor_Read_E2(0x10, 5, back), 0);
    EXPECT_EQ(Bytes(back, back + 5), Bytes(e2, e2 + 5));
    EXPECT_EQ(back[5], 0x33);
    EXPECT_EQ(Quor_Reset(5), 0);
    EXPECT_EQ(Quor_Buzzer(1, 2, 3, 4), 0);
    EXPECT_EQ(Quor_Set_Control_Bit(), 0);
    EXPECT_EQ(Quor_Clr_Control_Bit(), 0);
    EXPECT_EQ(Quor_Config(), 0);
    EXPECT_EQ(Quor_Close(), 0);
    uint16_t type;
    EXPECT_EQ(Quor_Request(0x26, &type), 0);  // the port is still open after Quor_Close
}

TEST_F(QuorExportsTest, UnframeableRequestsAreRefusedWithoutSending) {
    uint8_t buf[256] = {};
    EXPECT_EQ(Quor_AutoDetect(0x60, 0, 4, 'X', 0, kKey, 0), 0xFF);
    EXPECT_EQ(Quor_Write_E2(0, 254, buf), 0xFF);
    EXPECT_EQ(Quor_Read_E2(0, 195, buf), 0xFF);  // no reply can carry that much
    EXPECT_TRUE(reader_->simulator().requests().empty());
    EXPECT_EQ(Quor_Read_E2(0, 194, buf), 0x00);  // the largest reply the buffer takes
    EXPECT_EQ(reader_->simulator().requests().size(), 1u);
}

}  // namespace
