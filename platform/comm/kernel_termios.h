#pragma once

#include <cstdint>

#include "platform/comm/comm_status.h"
#include "platform/comm/dcb.h"

namespace comm {

// The kernel's termios2 record in our own terms, so that only one file includes the kernel's
// terminal headers (they clash with the C library's). Speeds are plain numbers.
struct KernelTermios {
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t line = 0;
    uint8_t cc[19] = {};
    uint32_t ispeed = 0;
    uint32_t ospeed = 0;
};

// Flag values of the kernel, for tests and for reading a record back.
struct TermiosBits {
    static const uint32_t kCsize, kCs5, kCs6, kCs7, kCs8;
    static const uint32_t kCstopb, kParenb, kParodd, kCmspar, kCrtscts, kCread, kClocal;
    static const uint32_t kCbaud, kBother, kIbshift;
    static const uint32_t kIxon, kIxoff, kIxany, kInpck, kParmrk, kIcrnl, kIstrip, kIgnbrk, kBrkint;
    static const uint32_t kOpost;
    static const uint32_t kEcho, kIcanon, kIsig, kIexten;
    static const int kVstart, kVstop, kVmin, kVtime;
};

// Builds the termios of a line state on top of `base` (whose other settings are kept): raw
// input and output, the baud rate as a number (any rate), 5-8 data bits, the five parities
// (mark and space through CMSPAR), one or two stop bits (1.5 is two stop bits, which the UART
// sends as one and a half at 5 data bits), RTS/CTS and XON/XOFF flow control, parity checking
// when fParity is set, and errored bytes marked (PARMRK) when fErrorChar is set. Returns false (and
// leaves out alone) for values no port can take.
bool BuildTermios(const Dcb& dcb, const KernelTermios& base, KernelTermios& out);

// Sets both speeds of a termios to baud: the standard speed code where the kernel has one
// (B9600, B115200, ...), so that a program's own tcgetattr and cfgetospeed read it, and BOTHER
// with the rate as a number for the others (14400, 56000, 128000, ...).
void SetTermiosSpeed(KernelTermios& termios, uint32_t baud);

// Reads what the terminal actually uses back into a Dcb: baud, data bits, parity and stop bits
// (a pseudo-terminal, for one, forces 8 data bits and no parity). Other fields are left alone.
void ReadTermiosInto(const KernelTermios& termios, Dcb& dcb);

// TCGETS2 and TCSETS2 on a terminal descriptor.
CommStatus GetKernelTermios(int fd, KernelTermios& out);
CommStatus SetKernelTermios(int fd, const KernelTermios& termios);

}  // namespace comm
