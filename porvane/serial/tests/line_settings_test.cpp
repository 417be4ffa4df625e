#include <gtest/gtest.h>

#include <cstring>

#include "platform/comm/comm_constants.h"
#include "porvane/serial/line_settings.h"
#include "porvane/serial/port_settings_lists.h"

namespace porvane::serial {
namespace {

TEST(LineSettings, BlankRecordIsZeroButForTwoFields) {
    LineSettings blank = BlankLineSettings();
    LineSettings expected;
    std::memset(static_cast<void*>(&expected), 0, sizeof expected);
    expected.dcb.DCBlength = 28;
    expected.timeouts.ReadIntervalTimeout = 1;
    EXPECT_EQ(std::memcmp(&blank, &expected, sizeof blank), 0);
    EXPECT_EQ(sizeof(LineSettings), 148u);
}

TEST(LineSettings, PanelDefaultRecord) {
    LineSettings s = PanelDefaultLineSettings();
    EXPECT_EQ(s.PortName[0], '\0');
    EXPECT_EQ(s.dcb.DCBlength, 28u);
    EXPECT_EQ(s.dcb.BaudRate, 9600u);
    EXPECT_EQ(s.dcb.ByteSize, 8);
    EXPECT_EQ(s.dcb.Parity, comm::NOPARITY);
    EXPECT_EQ(s.dcb.StopBits, comm::ONESTOPBIT);
    EXPECT_EQ(comm::DcbFlagWord(s.dcb), 0x1010u);  // DTR and RTS enabled, nothing else
    EXPECT_EQ(s.dcb.XonLim, 0);
    EXPECT_EQ(s.dcb.XonChar, 0);
    EXPECT_EQ(s.timeouts.ReadIntervalTimeout, 1u);
    EXPECT_EQ(s.timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(s.timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST(LineSettings, ANewNameReplacesTheWholeOldOne) {
    LineSettings s = BlankLineSettings();
    SetPortName(s, "COM10");
    SetPortName(s, "COM1");
    EXPECT_EQ(PortNameOf(s), "COM1");
    EXPECT_EQ(s.PortName[4], '\0');
    EXPECT_EQ(s.PortName[5], '\0');
}

TEST(LineSettings, NamesThatDoNotFitAreCut) {
    LineSettings s = BlankLineSettings();
    EXPECT_TRUE(SetPortName(s, std::string(99, 'a')));
    EXPECT_FALSE(SetPortName(s, std::string(100, 'b')));
    EXPECT_EQ(PortNameOf(s), std::string(99, 'b'));
}

TEST(PortSettingsLists, EveryBaudEntryStoresItsOwnNumber) {
    for (size_t i = 0; i < kBaudEntries.size(); ++i) {
        SCOPED_TRACE(kBaudEntries[i]);
        comm::Dcb dcb;
        ASSERT_TRUE(StoreBaudSelection(static_cast<int>(i), dcb));
        EXPECT_EQ(std::to_string(dcb.BaudRate), kBaudEntries[i]);
    }
    comm::Dcb dcb;
    ASSERT_TRUE(StoreBaudSelection(13, dcb));
    EXPECT_EQ(dcb.BaudRate, 128000u);
    EXPECT_FALSE(StoreBaudSelection(16, dcb));
    EXPECT_FALSE(StoreBaudSelection(-1, dcb));
    EXPECT_EQ(dcb.BaudRate, 128000u);
}

TEST(PortSettingsLists, DataParityAndStopPositions) {
    comm::Dcb dcb;
    const uint8_t sizes[] = {8, 7, 6, 5};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(StoreDataBitsSelection(i, dcb));
        EXPECT_EQ(dcb.ByteSize, sizes[i]);
    }
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(StoreParitySelection(i, dcb));
        EXPECT_EQ(dcb.Parity, i);
        EXPECT_EQ(dcb.fParity, 0u);
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(StoreStopBitsSelection(i, dcb));
        EXPECT_EQ(dcb.StopBits, i);
    }
    EXPECT_FALSE(StoreParitySelection(5, dcb));
    EXPECT_FALSE(StoreStopBitsSelection(3, dcb));
    EXPECT_FALSE(StoreDataBitsSelection(4, dcb));
}

}  // namespace
}  // namespace porvane::serial
