// The termios to serial request translation, against the values a Windows program would set.
#include "driver/link/line_requests.h"

#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

namespace sievra::link {
namespace {

TEST(LineRequests, LineControlFromTheControlFlags) {
    struct Row {
        const char* name;
        uint32_t cflag;
        uint8_t stop, parity, size;
    };
    const Row rows[] = {
        {"8N1", CS8, comm::ONESTOPBIT, comm::NOPARITY, 8},
        {"7E2", CS7 | PARENB | CSTOPB, comm::TWOSTOPBITS, comm::EVENPARITY, 7},
        {"5O1", CS5 | PARENB | PARODD, comm::ONESTOPBIT, comm::ODDPARITY, 5},
        {"6 mark", CS6 | PARENB | PARODD | CMSPAR, comm::ONESTOPBIT, comm::MARKPARITY, 6},
        {"8 space", CS8 | PARENB | CMSPAR, comm::ONESTOPBIT, comm::SPACEPARITY, 8},
        {"mark/space bit alone is no parity", CS8 | CMSPAR, comm::ONESTOPBIT, comm::NOPARITY, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LineState state;
        state.cflag = row.cflag;
        const comm::SERIAL_LINE_CONTROL line = LineControlOf(state);
        EXPECT_EQ(line.StopBits, row.stop);
        EXPECT_EQ(line.Parity, row.parity);
        EXPECT_EQ(line.WordLength, row.size);
    }
}

TEST(LineRequests, FlowControlAndItsLimits) {
    LineState none;
    comm::SERIAL_HANDFLOW flow = HandFlowOf(none);
    EXPECT_EQ(flow.ControlHandShake, comm::SERIAL_DTR_CONTROL);
    EXPECT_EQ(flow.FlowReplace, comm::SERIAL_RTS_CONTROL);
    EXPECT_EQ(flow.XonLimit, 0);

    LineState hardware;
    hardware.cflag = CRTSCTS;
    flow = HandFlowOf(hardware);
    EXPECT_EQ(flow.ControlHandShake, comm::SERIAL_DTR_CONTROL | comm::SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(flow.FlowReplace, comm::SERIAL_RTS_HANDSHAKE);
    EXPECT_EQ(flow.XoffLimit, 128);

    LineState software;
    software.iflag = IXON | IXOFF;
    flow = HandFlowOf(software);
    EXPECT_EQ(flow.FlowReplace,
              comm::SERIAL_AUTO_TRANSMIT | comm::SERIAL_AUTO_RECEIVE | comm::SERIAL_RTS_CONTROL);
    EXPECT_EQ(flow.XonLimit, 128);
}

TEST(LineRequests, CharactersComeFromTheControlCharacters) {
    uint8_t cc[NCCS] = {};
    cc[VEOF] = 4;
    cc[VSTART] = 0x11;
    cc[VSTOP] = 0x13;
    LineState state;
    TakeControlChars(cc, state);
    const comm::SERIAL_CHARS chars = CharsOf(state);
    EXPECT_EQ(chars.EofChar, 4);
    EXPECT_EQ(chars.XonChar, 0x11);
    EXPECT_EQ(chars.XoffChar, 0x13);
}

TEST(LineRequests, TimeoutsBehaveAsVminAndVtime) {
    constexpr uint32_t kMax = 0xFFFFFFFF;
    struct Row {
        const char* name;
        uint32_t lflag;
        uint8_t vmin, vtime;
        uint32_t interval, multiplier, constant;
    };
    const Row rows[] = {
        {"poll", 0, 0, 0, kMax, 0, 0},
        {"wait up to VTIME", 0, 0, 5, kMax, kMax, 500},
        {"VMIN bytes", 0, 4, 0, 0, 0, 0},
        {"interval after the first", 0, 1, 2, 200, 0, 0},
        {"canonical lines", ICANON, 0, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LineState state;
        state.lflag = row.lflag;
        state.vmin = row.vmin;
        state.vtime = row.vtime;
        const comm::SERIAL_TIMEOUTS t = TimeoutsOf(state);
        EXPECT_EQ(t.ReadIntervalTimeout, row.interval);
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, row.multiplier);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, row.constant);
        EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    }
}

TEST(LineRequests, ModemWordsAndPurgeFlags) {
    EXPECT_EQ(ModemStatusOf(TIOCM_CTS | TIOCM_CD), comm::MS_CTS_ON | comm::MS_RLSD_ON);
    EXPECT_EQ(ModemControlOf(TIOCM_DTR | TIOCM_RTS | TIOCM_CTS), 3u);
    EXPECT_EQ(EventsOfLines(TIOCM_RI | TIOCM_DSR), comm::EV_RING | comm::EV_DSR);
    EXPECT_EQ(PurgeFlagsOf(TCIFLUSH), comm::PURGE_RXCLEAR);
    EXPECT_EQ(PurgeFlagsOf(TCOFLUSH), comm::PURGE_TXCLEAR);
    EXPECT_EQ(PurgeFlagsOf(TCIOFLUSH), comm::PURGE_RXCLEAR | comm::PURGE_TXCLEAR);
    EXPECT_EQ(PurgeFlagsOf(99), 0u);
}

}  // namespace
}  // namespace sievra::link
