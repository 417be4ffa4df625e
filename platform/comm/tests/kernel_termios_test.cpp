#include <gtest/gtest.h>

#include "platform/comm/comm_constants.h"
#include "platform/comm/kernel_termios.h"

namespace comm {
namespace {

using B = TermiosBits;

Dcb Line(uint32_t baud, uint8_t size, uint8_t parity, uint8_t stop) {
    Dcb dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    return dcb;
}

KernelTermios Cooked() {
    KernelTermios t;
    t.iflag = B::kIcrnl | B::kIxon | B::kIstrip | B::kBrkint;
    t.oflag = B::kOpost;
    t.lflag = B::kEcho | B::kIcanon | B::kIsig | B::kIexten;
    t.cflag = B::kCs8 | B::kCread;
    return t;
}

TEST(BuildTermios, SevenEvenTwoStop) {
    KernelTermios t;
    ASSERT_TRUE(BuildTermios(Line(19200, 7, EVENPARITY, TWOSTOPBITS), Cooked(), t));
    EXPECT_EQ(t.cflag & B::kCsize, B::kCs7);
    EXPECT_TRUE(t.cflag & B::kParenb);
    EXPECT_FALSE(t.cflag & B::kParodd);
    EXPECT_FALSE(t.cflag & B::kCmspar);
    EXPECT_TRUE(t.cflag & B::kCstopb);
    EXPECT_EQ(t.ospeed, 19200u);
    EXPECT_EQ(t.ispeed, 19200u);
}

// A program's own tcgetattr reads a speed code: standard rates keep theirs, the others are
// numbers (BOTHER), in both the output and the input field. The codes are those of the kernel's
// asm-generic/termbits.h.
TEST(SetTermiosSpeed, StandardCodesWhereTheKernelHasThem) {
    struct Row {
        uint32_t baud;
        uint32_t code;
    };
    const Row rows[] = {{110, 0000003},      {9600, 0000015},     {19200, 0000016},
                        {57600, 0010001},    {115200, 0010002},   {14400, B::kBother},
                        {56000, B::kBother}, {512000, B::kBother}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.baud);
        KernelTermios t = Cooked();
        t.cflag |= B::kBother | (B::kBother << B::kIbshift);
        SetTermiosSpeed(t, row.baud);
        EXPECT_EQ(t.cflag & B::kCbaud, row.code);
        EXPECT_EQ((t.cflag >> B::kIbshift) & B::kCbaud, row.code);
        EXPECT_EQ(t.cflag & B::kCsize, B::kCs8);
        EXPECT_EQ(t.ospeed, row.baud);
        EXPECT_EQ(t.ispeed, row.baud);
    }
}

TEST(BuildTermios, FiveParitiesAndThreeStopSettings) {
    struct Row {
        const char* name;
        uint8_t parity;
        bool parenb, parodd, cmspar;
    };
    const Row rows[] = {
        {"none", NOPARITY, false, false, false},   {"odd", ODDPARITY, true, true, false},
        {"even", EVENPARITY, true, false, false},  {"mark", MARKPARITY, true, true, true},
        {"space", SPACEPARITY, true, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        KernelTermios t;
        ASSERT_TRUE(BuildTermios(Line(9600, 8, row.parity, ONESTOPBIT), Cooked(), t));
        EXPECT_EQ((t.cflag & B::kParenb) != 0, row.parenb);
        EXPECT_EQ((t.cflag & B::kParodd) != 0, row.parodd);
        EXPECT_EQ((t.cflag & B::kCmspar) != 0, row.cmspar);
        Dcb back;
        ReadTermiosInto(t, back);
        EXPECT_EQ(back.Parity, row.parity);
    }
    KernelTermios t;
    ASSERT_TRUE(BuildTermios(Line(9600, 5, NOPARITY, ONE5STOPBITS), Cooked(), t));
    EXPECT_TRUE(t.cflag & B::kCstopb);
    EXPECT_EQ(t.cflag & B::kCsize, B::kCs5);
    ASSERT_TRUE(BuildTermios(Line(9600, 6, NOPARITY, ONESTOPBIT), Cooked(), t));
    EXPECT_FALSE(t.cflag & B::kCstopb);
    EXPECT_EQ(t.cflag & B::kCsize, B::kCs6);
}

TEST(BuildTermios, RawModeWithTheLineAlwaysLocal) {
    KernelTermios t;
    ASSERT_TRUE(BuildTermios(Line(9600, 8, NOPARITY, ONESTOPBIT), Cooked(), t));
    EXPECT_EQ(t.lflag & (B::kEcho | B::kIcanon | B::kIsig | B::kIexten), 0u);
    EXPECT_EQ(t.oflag & B::kOpost, 0u);
    EXPECT_EQ(t.iflag & (B::kIcrnl | B::kIxon | B::kIstrip | B::kBrkint), 0u);
    EXPECT_TRUE(t.cflag & B::kCread);
    EXPECT_TRUE(t.cflag & B::kClocal);
    EXPECT_EQ(t.cc[B::kVmin], 1);
}

TEST(BuildTermios, FlowControlFlagsAndCharacters) {
    Dcb dcb = Line(115200, 8, NOPARITY, ONESTOPBIT);
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fParity = 1;
    KernelTermios t;
    ASSERT_TRUE(BuildTermios(dcb, Cooked(), t));
    EXPECT_TRUE(t.cflag & B::kCrtscts);
    EXPECT_TRUE(t.iflag & B::kIxon);
    EXPECT_TRUE(t.iflag & B::kIxoff);
    EXPECT_TRUE(t.iflag & B::kInpck);
    EXPECT_EQ(t.cc[B::kVstart], 0x11);
    EXPECT_EQ(t.cc[B::kVstop], 0x13);

    Dcb rts_handshake = Line(9600, 8, NOPARITY, ONESTOPBIT);
    rts_handshake.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(BuildTermios(rts_handshake, Cooked(), t));
    EXPECT_TRUE(t.cflag & B::kCrtscts);
    EXPECT_FALSE(t.iflag & B::kIxon);
}

TEST(BuildTermios, RefusesWhatNoPortTakes) {
    KernelTermios base = Cooked();
    KernelTermios out = base;
    EXPECT_FALSE(BuildTermios(Line(0, 8, NOPARITY, ONESTOPBIT), base, out));
    EXPECT_FALSE(BuildTermios(Line(9600, 4, NOPARITY, ONESTOPBIT), base, out));
    EXPECT_FALSE(BuildTermios(Line(9600, 9, NOPARITY, ONESTOPBIT), base, out));
    EXPECT_FALSE(BuildTermios(Line(9600, 8, 5, ONESTOPBIT), base, out));
    EXPECT_FALSE(BuildTermios(Line(9600, 8, NOPARITY, 3), base, out));
    EXPECT_EQ(out.cflag, base.cflag);
}

}  // namespace
}  // namespace comm
