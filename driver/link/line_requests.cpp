// Includes the kernel's terminal definitions: the flag values are the kernel's.
#include "driver/link/line_requests.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace sievra::link {

void TakeControlChars(const uint8_t* cc, LineState& state) {
    state.eof = cc[VEOF];
    state.start = cc[VSTART];
    state.stop = cc[VSTOP];
    state.vmin = cc[VMIN];
    state.vtime = cc[VTIME];
}

comm::SERIAL_LINE_CONTROL LineControlOf(const LineState& s) {
    comm::SERIAL_LINE_CONTROL line{};
    line.StopBits = (s.cflag & CSTOPB) ? comm::TWOSTOPBITS : comm::ONESTOPBIT;
    if (!(s.cflag & PARENB)) {
        line.Parity = comm::NOPARITY;
    } else if (s.cflag & CMSPAR) {
        line.Parity = (s.cflag & PARODD) ? comm::MARKPARITY : comm::SPACEPARITY;
    } else {
        line.Parity = (s.cflag & PARODD) ? comm::ODDPARITY : comm::EVENPARITY;
    }
    switch (s.cflag & CSIZE) {
        case CS5:
            line.WordLength = 5;
            break;
        case CS6:
            line.WordLength = 6;
            break;
        case CS7:
            line.WordLength = 7;
            break;
        default:
            line.WordLength = 8;
            break;
    }
    return line;
}

comm::SERIAL_CHARS CharsOf(const LineState& s) {
    return {s.eof, 0, 0, 0, s.start, s.stop};
}

comm::SERIAL_HANDFLOW HandFlowOf(const LineState& s) {
    // The line discipline stops the sender when 128 bytes of room are left and lets it go on
    // when 128 bytes are left to read: those are the limits whenever input flow control is on.
    constexpr int32_t kThreshold = 128;
    comm::SERIAL_HANDFLOW flow{};
    const bool rtscts = (s.cflag & CRTSCTS) != 0;
    flow.ControlHandShake = comm::SERIAL_DTR_CONTROL | (rtscts ? comm::SERIAL_CTS_HANDSHAKE : 0);
    flow.FlowReplace = ((s.iflag & IXON) ? comm::SERIAL_AUTO_TRANSMIT : 0) |
                       ((s.iflag & IXOFF) ? comm::SERIAL_AUTO_RECEIVE : 0) |
                       (rtscts ? comm::SERIAL_RTS_HANDSHAKE : comm::SERIAL_RTS_CONTROL);
    if (rtscts || (s.iflag & IXOFF)) {
        flow.XonLimit = kThreshold;
        flow.XoffLimit = kThreshold;
    }
    return flow;
}

comm::SERIAL_TIMEOUTS TimeoutsOf(const LineState& s) {
    constexpr uint32_t kMax = 0xFFFFFFFF;
    comm::SERIAL_TIMEOUTS t{};
    if (s.lflag & ICANON)
        return t;  // a whole line, however long it takes
    const uint32_t tenths = s.vtime * 100u;
    if (s.vmin == 0 && s.vtime == 0) {
        t.ReadIntervalTimeout = kMax;  // return at once with what is there
    } else if (s.vmin == 0) {
        t.ReadIntervalTimeout = kMax;  // what is there, else wait up to VTIME for one byte
        t.ReadTotalTimeoutMultiplier = kMax;
        t.ReadTotalTimeoutConstant = tenths;
    } else if (s.vtime != 0) {
        t.ReadIntervalTimeout = tenths;  // VTIME between bytes once the first came
    }
    return t;
}

uint32_t ModemStatusOf(int lines) {
    return ((lines & TIOCM_CTS) ? comm::MS_CTS_ON : 0) |
           ((lines & TIOCM_DSR) ? comm::MS_DSR_ON : 0) |
           ((lines & TIOCM_RI) ? comm::MS_RING_ON : 0) |
           ((lines & TIOCM_CD) ? comm::MS_RLSD_ON : 0);
}

uint32_t ModemControlOf(int lines) {
    return ((lines & TIOCM_DTR) ? comm::kModemControlDtr : 0) |
           ((lines & TIOCM_RTS) ? comm::kModemControlRts : 0);
}

uint32_t EventsOfLines(int lines) {
    return ((lines & TIOCM_CTS) ? comm::EV_CTS : 0) | ((lines & TIOCM_DSR) ? comm::EV_DSR : 0) |
           ((lines & TIOCM_RI) ? comm::EV_RING : 0) | ((lines & TIOCM_CD) ? comm::EV_RLSD : 0);
}

uint32_t PurgeFlagsOf(int queue_selector) {
    switch (queue_selector) {
        case TCIFLUSH:
            return comm::PURGE_RXCLEAR;
        case TCOFLUSH:
            return comm::PURGE_TXCLEAR;
        case TCIOFLUSH:
            return comm::PURGE_RXCLEAR | comm::PURGE_TXCLEAR;
        default:
            return 0;
    }
}

uint32_t StatusOfOpenError(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return 0xC0000034;  // STATUS_OBJECT_NAME_NOT_FOUND
        case EACCES:
        case EPERM:
            return 0xC0000022;  // STATUS_ACCESS_DENIED
        case EBUSY:
            return 0xC0000043;  // STATUS_SHARING_VIOLATION
        default:
            return 0xC0000001;  // STATUS_UNSUCCESSFUL
    }
}

}  // namespace sievra::link
