// The only file that includes the kernel's termios2 definitions.
#include "platform/comm/kernel_termios.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "platform/comm/comm_constants.h"

namespace comm {

const uint32_t TermiosBits::kCsize = CSIZE;
const uint32_t TermiosBits::kCs5 = CS5;
const uint32_t TermiosBits::kCs6 = CS6;
const uint32_t TermiosBits::kCs7 = CS7;
const uint32_t TermiosBits::kCs8 = CS8;
const uint32_t TermiosBits::kCstopb = CSTOPB;
const uint32_t TermiosBits::kParenb = PARENB;
const uint32_t TermiosBits::kParodd = PARODD;
const uint32_t TermiosBits::kCmspar = CMSPAR;
const uint32_t TermiosBits::kCrtscts = CRTSCTS;
const uint32_t TermiosBits::kCread = CREAD;
const uint32_t TermiosBits::kClocal = CLOCAL;
const uint32_t TermiosBits::kCbaud = CBAUD;
const uint32_t TermiosBits::kBother = BOTHER;
const uint32_t TermiosBits::kIbshift = IBSHIFT;
const uint32_t TermiosBits::kIxon = IXON;
const uint32_t TermiosBits::kIxoff = IXOFF;
const uint32_t TermiosBits::kIxany = IXANY;
const uint32_t TermiosBits::kInpck = INPCK;
const uint32_t TermiosBits::kParmrk = PARMRK;
const uint32_t TermiosBits::kIcrnl = ICRNL;
const uint32_t TermiosBits::kIstrip = ISTRIP;
const uint32_t TermiosBits::kIgnbrk = IGNBRK;
const uint32_t TermiosBits::kBrkint = BRKINT;
const uint32_t TermiosBits::kOpost = OPOST;
const uint32_t TermiosBits::kEcho = ECHO;
const uint32_t TermiosBits::kIcanon = ICANON;
const uint32_t TermiosBits::kIsig = ISIG;
const uint32_t TermiosBits::kIexten = IEXTEN;
const int TermiosBits::kVstart = VSTART;
const int TermiosBits::kVstop = VSTOP;
const int TermiosBits::kVmin = VMIN;
const int TermiosBits::kVtime = VTIME;

static_assert(sizeof(KernelTermios::cc) == NCCS);

namespace {

void ToKernel(const KernelTermios& in, termios2& out) {
    std::memset(&out, 0, sizeof out);
    out.c_iflag = in.iflag;
    out.c_oflag = in.oflag;
    out.c_cflag = in.cflag;
    out.c_lflag = in.lflag;
    out.c_line = in.line;
    std::memcpy(out.c_cc, in.cc, NCCS);
    out.c_ispeed = in.ispeed;
    out.c_ospeed = in.ospeed;
}

void FromKernel(const termios2& in, KernelTermios& out) {
    out.iflag = in.c_iflag;
    out.oflag = in.c_oflag;
    out.cflag = in.c_cflag;
    out.lflag = in.c_lflag;
    out.line = in.c_line;
    std::memcpy(out.cc, in.c_cc, NCCS);
    out.ispeed = in.c_ispeed;
    out.ospeed = in.c_ospeed;
}

tcflag_t SizeBits(uint8_t byte_size) {
    switch (byte_size) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

// The kernel's speed code of a rate, or BOTHER when it has none.
tcflag_t SpeedCode(uint32_t baud) {
    struct Standard {
        uint32_t baud;
        tcflag_t code;
    };
    static const Standard kStandard[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Standard& s : kStandard) {
        if (s.baud == baud)
            return s.code;
    }
    return BOTHER;
}

}  // namespace

void SetTermiosSpeed(KernelTermios& t, uint32_t baud) {
    const tcflag_t code = SpeedCode(baud);
    t.cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.cflag |= code | (code << IBSHIFT);
    t.ispeed = baud;
    t.ospeed = baud;
}

bool BuildTermios(const Dcb& dcb, const KernelTermios& base, KernelTermios& out) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
        return false;
    }
    KernelTermios t = base;
    t.iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IGNPAR | IUCLC | IMAXBEL);
    if (dcb.fOutX)
        t.iflag |= IXON;
    if (dcb.fInX)
        t.iflag |= IXOFF;
    if (dcb.fParity)
        t.iflag |= INPCK;
    // Error replacement: the terminal marks bytes received with a parity or framing error
    // (0xFF 0x00 before them, 0xFF 0xFF for a 0xFF), and the device replaces them.
    if (dcb.fErrorChar)
        t.iflag |= INPCK | PARMRK;

    t.oflag &= ~OPOST;
    t.lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL | ECHOKE);

    t.cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.cflag |= SizeBits(dcb.ByteSize) | CREAD | CLOCAL;
    SetTermiosSpeed(t, dcb.BaudRate);
    switch (dcb.Parity) {
        case ODDPARITY:
            t.cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.cflag |= PARENB;
            break;
        case MARKPARITY:
            t.cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            t.cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.StopBits != ONESTOPBIT)
        t.cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.cflag |= CRTSCTS;

    t.cc[VMIN] = 1;
    t.cc[VTIME] = 0;
    t.cc[VSTART] = static_cast<uint8_t>(dcb.XonChar);
    t.cc[VSTOP] = static_cast<uint8_t>(dcb.XoffChar);
    out = t;
    return true;
}

void ReadTermiosInto(const KernelTermios& t, Dcb& dcb) {
    dcb.BaudRate = t.ospeed;
    switch (t.cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if (!(t.cflag & PARENB)) {
        dcb.Parity = NOPARITY;
    } else if (t.cflag & CMSPAR) {
        dcb.Parity = (t.cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = (t.cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (!(t.cflag & CSTOPB)) {
        dcb.StopBits = ONESTOPBIT;
    } else if (dcb.StopBits == ONESTOPBIT) {
        dcb.StopBits = TWOSTOPBITS;  // keep a recorded 1.5; the kernel cannot tell it from 2
    }
}

CommStatus GetKernelTermios(int fd, KernelTermios& out) {
    termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return CommStatus::Failure("TCGETS2", errno);
    }
    FromKernel(t, out);
    return {};
}

CommStatus SetKernelTermios(int fd, const KernelTermios& termios) {
    termios2 t;
    ToKernel(termios, t);
    if (ioctl(fd, TCSETS2, &t) != 0) {
        return CommStatus::Failure("TCSETS2", errno);
    }
    return {};
}

}  // namespace comm
