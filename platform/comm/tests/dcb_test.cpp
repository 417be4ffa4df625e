#include <gtest/gtest.h>

#include <cstring>

#include "platform/comm/comm_constants.h"
#include "platform/comm/comm_timeouts.h"
#include "platform/comm/dcb.h"
#include "platform/comm/serial_stats.h"

namespace comm {
namespace {

TEST(Dcb, FlagBitsSitWhereTheWindowsRecordHasThem) {
    struct Row {
        const char* name;
        void (*set)(Dcb&);
        uint32_t word;
    };
    const Row rows[] = {
        {"fBinary", [](Dcb& d) { d.fBinary = 1; }, 0x0001},
        {"fParity", [](Dcb& d) { d.fParity = 1; }, 0x0002},
        {"fOutxCtsFlow", [](Dcb& d) { d.fOutxCtsFlow = 1; }, 0x0004},
        {"fOutxDsrFlow", [](Dcb& d) { d.fOutxDsrFlow = 1; }, 0x0008},
        {"fDtrControl enable", [](Dcb& d) { d.fDtrControl = DTR_CONTROL_ENABLE; }, 0x0010},
        {"fDtrControl handshake", [](Dcb& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, 0x0020},
        {"fDsrSensitivity", [](Dcb& d) { d.fDsrSensitivity = 1; }, 0x0040},
        {"fTXContinueOnXoff", [](Dcb& d) { d.fTXContinueOnXoff = 1; }, 0x0080},
        {"fOutX", [](Dcb& d) { d.fOutX = 1; }, 0x0100},
        {"fInX", [](Dcb& d) { d.fInX = 1; }, 0x0200},
        {"fErrorChar", [](Dcb& d) { d.fErrorChar = 1; }, 0x0400},
        {"fNull", [](Dcb& d) { d.fNull = 1; }, 0x0800},
        {"fRtsControl enable", [](Dcb& d) { d.fRtsControl = RTS_CONTROL_ENABLE; }, 0x1000},
        {"fRtsControl toggle", [](Dcb& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, 0x3000},
        {"fAbortOnError", [](Dcb& d) { d.fAbortOnError = 1; }, 0x4000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dcb dcb;
        row.set(dcb);
        EXPECT_EQ(DcbFlagWord(dcb), row.word);
    }
}

TEST(Dcb, FlagWordRoundTripsThroughTheBitFields) {
    Dcb dcb;
    SetDcbFlagWord(dcb, 0x1011);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fOutX, 0u);
}

TEST(Dcb, ByteLayoutMatchesTheRecordOnTheWire) {
    Dcb dcb;
    dcb.BaudRate = 9600;
    dcb.XonLim = 512;
    dcb.XoffLim = 2048;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    dcb.EvtChar = 0x71;
    unsigned char raw[28];
    std::memcpy(raw, &dcb, sizeof raw);
    EXPECT_EQ(raw[0], 28);
    EXPECT_EQ(raw[4] | raw[5] << 8, 9600);
    EXPECT_EQ(raw[14] | raw[15] << 8, 512);
    EXPECT_EQ(raw[16] | raw[17] << 8, 2048);
    EXPECT_EQ(raw[18], 8);
    EXPECT_EQ(raw[19], EVENPARITY);
    EXPECT_EQ(raw[20], TWOSTOPBITS);
    EXPECT_EQ(raw[21], 17);
    EXPECT_EQ(raw[22], 19);
    EXPECT_EQ(raw[25], 0x71);
}

TEST(CommRecords, HaveTheirFixedSizes) {
    EXPECT_EQ(sizeof(Dcb), 28u);
    EXPECT_EQ(sizeof(CommTimeouts), 20u);
    EXPECT_EQ(sizeof(SerialStats), 24u);
}

}  // namespace
}  // namespace comm
