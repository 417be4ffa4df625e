// Includes the kernel's terminal definitions: the ioctl arguments are the kernel's records.
#include "driver/link/control_reports.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "driver/link/host_link.h"
#include "driver/sievra_protocol.h"

namespace sievra::link {
namespace {

// The error of the request whose records this thread makes now (0: it succeeded).
thread_local int t_failure = 0;

long RawIoctl(int fd, unsigned long request, void* arg) {
    return ::syscall(SYS_ioctl, fd, request, arg);
}

template <class T>
LineState LineOf(const T& t, uint32_t speed) {
    LineState line;
    line.iflag = t.c_iflag;
    line.cflag = t.c_cflag;
    line.lflag = t.c_lflag;
    TakeControlChars(t.c_cc, line);
    line.speed = speed;
    return line;
}

}  // namespace

uint32_t PortSpeed(int fd) {
    termios2 t{};
    return RawIoctl(fd, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}

void ReadModemCounters(int fd, ModemCounters& counters) {
    serial_icounter_struct c{};
    counters.valid = RawIoctl(fd, TIOCGICOUNT, &c) == 0;
    counters.cts = c.cts;
    counters.dsr = c.dsr;
    counters.rng = c.rng;
    counters.dcd = c.dcd;
}

void ReportControl(OpenPort& port, uint32_t code, const void* data, uint32_t size) {
    if (const int error = t_failure; error != 0) {
        t_failure = 0;
        const auto number = static_cast<uint32_t>(error);
        ReportControl(port, IOCTL_SIEVRA_CALL_FAILED, &number, sizeof number);
    }
    iovec part{const_cast<void*>(data), size};
    SendRecord(port, link::kDeviceControl, code, &part, size > 0 ? 1 : 0);
}

TerminalFlags ReadTerminalFlags(int fd) {
    termios2 t{};
    TerminalFlags flags;
    if (RawIoctl(fd, TCGETS2, &t) != 0)
        return flags;
    flags.valid = true;
    flags.iflag = t.c_iflag;
    flags.oflag = t.c_oflag;
    flags.cflag = t.c_cflag;
    flags.lflag = t.c_lflag;
    static_assert(sizeof flags.cc == sizeof t.c_cc);
    for (size_t i = 0; i < sizeof flags.cc; ++i)
        flags.cc[i] = t.c_cc[i];
    return flags;
}

namespace {

struct FlagWord {
    uint32_t TerminalFlags::*field;
    uint32_t bit;
    const char* word;
};

// In stty's order: input, output, control, local.
constexpr FlagWord kFlagWords[] = {
    {&TerminalFlags::iflag, IGNBRK, "ignbrk"},   {&TerminalFlags::iflag, BRKINT, "brkint"},
    {&TerminalFlags::iflag, IGNPAR, "ignpar"},   {&TerminalFlags::iflag, PARMRK, "parmrk"},
    {&TerminalFlags::iflag, INPCK, "inpck"},     {&TerminalFlags::iflag, ISTRIP, "istrip"},
    {&TerminalFlags::iflag, INLCR, "inlcr"},     {&TerminalFlags::iflag, IGNCR, "igncr"},
    {&TerminalFlags::iflag, ICRNL, "icrnl"},     {&TerminalFlags::iflag, IXON, "ixon"},
    {&TerminalFlags::iflag, IXOFF, "ixoff"},     {&TerminalFlags::iflag, IXANY, "ixany"},
    {&TerminalFlags::iflag, IMAXBEL, "imaxbel"}, {&TerminalFlags::iflag, IUTF8, "iutf8"},
    {&TerminalFlags::oflag, OPOST, "opost"},     {&TerminalFlags::oflag, OLCUC, "olcuc"},
    {&TerminalFlags::oflag, ONLCR, "onlcr"},     {&TerminalFlags::oflag, OCRNL, "ocrnl"},
    {&TerminalFlags::oflag, ONOCR, "onocr"},     {&TerminalFlags::oflag, ONLRET, "onlret"},
    {&TerminalFlags::cflag, PARENB, "parenb"},   {&TerminalFlags::cflag, PARODD, "parodd"},
    {&TerminalFlags::cflag, CMSPAR, "cmspar"},   {&TerminalFlags::cflag, HUPCL, "hupcl"},
    {&TerminalFlags::cflag, CSTOPB, "cstopb"},   {&TerminalFlags::cflag, CREAD, "cread"},
    {&TerminalFlags::cflag, CLOCAL, "clocal"},   {&TerminalFlags::cflag, CRTSCTS, "crtscts"},
    {&TerminalFlags::lflag, ISIG, "isig"},       {&TerminalFlags::lflag, ICANON, "icanon"},
    {&TerminalFlags::lflag, IEXTEN, "iexten"},   {&TerminalFlags::lflag, ECHO, "echo"},
    {&TerminalFlags::lflag, ECHOE, "echoe"},     {&TerminalFlags::lflag, ECHOK, "echok"},
    {&TerminalFlags::lflag, ECHONL, "echonl"},   {&TerminalFlags::lflag, NOFLSH, "noflsh"},
    {&TerminalFlags::lflag, TOSTOP, "tostop"},   {&TerminalFlags::lflag, ECHOCTL, "echoctl"},
    {&TerminalFlags::lflag, ECHOPRT, "echoprt"}, {&TerminalFlags::lflag, ECHOKE, "echoke"},
};

// Appends word (and a blank before it when out holds something) while it fits.
void Append(char* out, size_t size, size_t& length, const char* word) {
    size_t n = 0;
    while (word[n] != '\0')
        ++n;
    if (length + (length > 0 ? 1 : 0) + n + 1 > size)
        return;
    if (length > 0)
        out[length++] = ' ';
    for (size_t i = 0; i < n; ++i)
        out[length++] = word[i];
    out[length] = '\0';
}

// "min 12", without the C library's formatting (the attachment runs in other programs).
void AppendNumber(char* out, size_t size, size_t& length, const char* name, unsigned value) {
    char text[16];
    size_t at = 0;
    for (const char* c = name; *c != '\0'; ++c)
        text[at++] = *c;
    text[at++] = ' ';
    char digits[4];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < sizeof digits);
    while (count > 0)
        text[at++] = digits[--count];
    text[at] = '\0';
    Append(out, size, length, text);
}

}  // namespace

size_t DescribeTerminalChanges(const TerminalFlags& before, const TerminalFlags& after, char* out,
                               size_t size) {
    size_t length = 0;
    if (size == 0)
        return 0;
    out[0] = '\0';
    if (!before.valid || !after.valid)
        return 0;
    for (const FlagWord& f : kFlagWords) {
        const bool was = (before.*f.field & f.bit) != 0, is = (after.*f.field & f.bit) != 0;
        if (was == is)
            continue;
        char word[16] = "-";
        size_t at = is ? 0 : 1;
        for (const char* c = f.word; *c != '\0'; ++c)
            word[at++] = *c;
        word[at] = '\0';
        Append(out, size, length, word);
    }
    if ((before.cflag & CSIZE) != (after.cflag & CSIZE)) {
        const uint32_t bits = after.cflag & CSIZE;
        Append(out, size, length,
               bits == CS5   ? "cs5"
               : bits == CS6 ? "cs6"
               : bits == CS7 ? "cs7"
                             : "cs8");
    }
    if (before.cc[VMIN] != after.cc[VMIN])
        AppendNumber(out, size, length, "min", after.cc[VMIN]);
    if (before.cc[VTIME] != after.cc[VTIME])
        AppendNumber(out, size, length, "time", after.cc[VTIME]);
    return length;
}

bool SetsTerminalFlags(unsigned long request) {
    switch (request) {
        case TCSETS:
        case TCSETSW:
        case TCSETSF:
        case TCSETS2:
        case TCSETSW2:
        case TCSETSF2:
            return true;
        default:
            return false;
    }
}

bool ChangesExclusiveUse(unsigned long request, bool& exclusive) {
    exclusive = request == TIOCEXCL;
    return request == TIOCEXCL || request == TIOCNXCL;
}

void ReportTerminalFlags(OpenPort& port, const TerminalFlags& before, const TerminalFlags& after) {
    char text[512];
    const size_t length = DescribeTerminalChanges(before, after, text, sizeof text);
    if (length > 0)
        ReportControl(port, IOCTL_SIEVRA_TERMINAL_FLAGS, text, static_cast<uint32_t>(length));
}

void ReportExclusive(OpenPort& port, bool exclusive) {
    static constexpr char kOn[] = "exclusive use (TIOCEXCL)", kOff[] = "shared use (TIOCNXCL)";
    ReportControl(port, IOCTL_SIEVRA_TERMINAL_FLAGS, exclusive ? kOn : kOff,
                  exclusive ? sizeof kOn - 1 : sizeof kOff - 1);
}

void MarkFailure(int error) {
    t_failure = error;
}

void ClearFailure() {
    t_failure = 0;
}

size_t ArgumentBytes(unsigned long request) {
    switch (request) {
        case TCSETS:
        case TCSETSW:
        case TCSETSF:
        case TCGETS:
            return sizeof(termios);
        case TCSETS2:
        case TCSETSW2:
        case TCSETSF2:
        case TCGETS2:
            return sizeof(termios2);
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMSET:
        case TIOCMGET:
            return sizeof(int);
        case TIOCGICOUNT:
            return sizeof(serial_icounter_struct);
        default:
            return 0;
    }
}

bool ArgumentIsInput(unsigned long request) {
    return SetsTerminalFlags(request) || IsModemLineChange(request) || request == TCFLSH ||
           request == TCSBRK || request == TCXONC || request == TIOCMIWAIT;
}

void ReportPurge(OpenPort& port, uint32_t flags) {
    ReportControl(port, comm::IOCTL_SERIAL_PURGE, &flags, sizeof flags);
}

void ReportSetLine(OpenPort& port, const LineState& line, bool purge_input_first) {
    if (purge_input_first)
        ReportPurge(port, comm::PURGE_RXCLEAR);
    const comm::SERIAL_BAUD_RATE baud{line.speed};
    const comm::SERIAL_LINE_CONTROL control = LineControlOf(line);
    const comm::SERIAL_CHARS chars = CharsOf(line);
    const comm::SERIAL_HANDFLOW flow = HandFlowOf(line);
    const comm::SERIAL_TIMEOUTS timeouts = TimeoutsOf(line);
    ReportControl(port, comm::IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud);
    ReportControl(port, comm::IOCTL_SERIAL_SET_LINE_CONTROL, &control, sizeof control);
    ReportControl(port, comm::IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars);
    ReportControl(port, comm::IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow);
    ReportControl(port, comm::IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts);
}

void ReportGetLine(OpenPort& port, const LineState& line) {
    const comm::SERIAL_BAUD_RATE baud{line.speed};
    const comm::SERIAL_LINE_CONTROL control = LineControlOf(line);
    const comm::SERIAL_CHARS chars = CharsOf(line);
    const comm::SERIAL_HANDFLOW flow = HandFlowOf(line);
    ReportControl(port, comm::IOCTL_SERIAL_GET_BAUD_RATE, &baud, sizeof baud);
    ReportControl(port, comm::IOCTL_SERIAL_GET_LINE_CONTROL, &control, sizeof control);
    ReportControl(port, comm::IOCTL_SERIAL_GET_CHARS, &chars, sizeof chars);
    ReportControl(port, comm::IOCTL_SERIAL_GET_HANDFLOW, &flow, sizeof flow);
}

bool IsModemWait(unsigned long request) {
    return request == TIOCMIWAIT;
}

bool IsModemLineChange(unsigned long request) {
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
}

void ReportIoctl(OpenPort& port, int fd, unsigned long request, const void* arg,
                 const ModemCounters& before) {
    const int lines = (arg != nullptr && (request == TIOCMBIS || request == TIOCMBIC ||
                                          request == TIOCMSET || request == TIOCMGET))
                          ? *static_cast<const int*>(arg)
                          : 0;
    switch (request) {
        case TCSETS:
        case TCSETSW:
        case TCSETSF:
            ReportSetLine(port, LineOf(*static_cast<const termios*>(arg), PortSpeed(fd)),
                          request == TCSETSF);
            break;
        case TCSETS2:
        case TCSETSW2:
        case TCSETSF2: {
            const auto& t = *static_cast<const termios2*>(arg);
            ReportSetLine(port, LineOf(t, PortSpeed(fd)), request == TCSETSF2);
            break;
        }
        case TCGETS:
            ReportGetLine(port, LineOf(*static_cast<const termios*>(arg), PortSpeed(fd)));
            break;
        case TCGETS2: {
            const auto& t = *static_cast<const termios2*>(arg);
            ReportGetLine(port, LineOf(t, t.c_ospeed));
            break;
        }
        case TIOCMBIS:
        case TIOCMBIC: {
            const bool set = request == TIOCMBIS;
            if (lines & TIOCM_DTR)
                ReportControl(port, set ? comm::IOCTL_SERIAL_SET_DTR : comm::IOCTL_SERIAL_CLR_DTR);
            if (lines & TIOCM_RTS)
                ReportControl(port, set ? comm::IOCTL_SERIAL_SET_RTS : comm::IOCTL_SERIAL_CLR_RTS);
            break;
        }
        case TIOCMSET: {
            const uint32_t control = ModemControlOf(lines);
            ReportControl(port, comm::IOCTL_SERIAL_SET_MODEM_CONTROL, &control, sizeof control);
            break;
        }
        case TIOCMGET: {
            const uint32_t status = ModemStatusOf(lines);
            const uint32_t control = ModemControlOf(lines);
            ReportControl(port, comm::IOCTL_SERIAL_GET_MODEMSTATUS, &status, sizeof status);
            ReportControl(port, comm::IOCTL_SERIAL_GET_MODEM_CONTROL, &control, sizeof control);
            break;
        }
        case TCFLSH:
            ReportPurge(port, PurgeFlagsOf(static_cast<int>(reinterpret_cast<intptr_t>(arg))));
            break;
        case TIOCSBRK:
            ReportControl(port, comm::IOCTL_SERIAL_SET_BREAK_ON);
            break;
        case TIOCCBRK:
            ReportControl(port, comm::IOCTL_SERIAL_SET_BREAK_OFF);
            break;
        case TCSBRK:
            // 0 sends a break; any other argument waits for the output to drain, which has no
            // serial control request of its own and is not reported.
            if (reinterpret_cast<intptr_t>(arg) == 0) {
                ReportControl(port, comm::IOCTL_SERIAL_SET_BREAK_ON);
                ReportControl(port, comm::IOCTL_SERIAL_SET_BREAK_OFF);
            }
            break;
        case TCXONC: {
            const int action = static_cast<int>(reinterpret_cast<intptr_t>(arg));
            if (action == TCOOFF) {
                ReportControl(port, comm::IOCTL_SERIAL_SET_XOFF);
            } else if (action == TCOON) {
                ReportControl(port, comm::IOCTL_SERIAL_SET_XON);
            } else if (action == TCIOFF || action == TCION) {
                termios2 t{};
                RawIoctl(fd, TCGETS2, &t);
                const uint8_t c = t.c_cc[action == TCIOFF ? VSTOP : VSTART];
                ReportControl(port, comm::IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1);
            }
            break;
        }
        case FIONREAD:
        case TIOCOUTQ: {
            int in_queue = 0;
            int out_queue = 0;
            RawIoctl(fd, FIONREAD, &in_queue);
            RawIoctl(fd, TIOCOUTQ, &out_queue);
            comm::SERIAL_STATUS status{};
            status.AmountInInQueue = static_cast<uint32_t>(in_queue);
            status.AmountInOutQueue = static_cast<uint32_t>(out_queue);
            ReportControl(port, comm::IOCTL_SERIAL_GET_COMMSTATUS, &status, sizeof status);
            break;
        }
        case TIOCMIWAIT: {
            uint32_t events = 0;
            ModemCounters after;
            ReadModemCounters(fd, after);
            if (before.valid && after.valid) {
                events = (after.cts != before.cts ? comm::EV_CTS : 0) |
                         (after.dsr != before.dsr ? comm::EV_DSR : 0) |
                         (after.rng != before.rng ? comm::EV_RING : 0) |
                         (after.dcd != before.dcd ? comm::EV_RLSD : 0);
            } else {
                events = EventsOfLines(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
            }
            ReportControl(port, comm::IOCTL_SERIAL_WAIT_ON_MASK, &events, sizeof events);
            break;
        }
        case TIOCGICOUNT: {
            const auto& c = *static_cast<const serial_icounter_struct*>(arg);
            const comm::SERIALPERF_STATS stats{
                static_cast<uint32_t>(c.rx),          static_cast<uint32_t>(c.tx),
                static_cast<uint32_t>(c.frame),       static_cast<uint32_t>(c.overrun),
                static_cast<uint32_t>(c.buf_overrun), static_cast<uint32_t>(c.parity)};
            ReportControl(port, comm::IOCTL_SERIAL_GET_STATS, &stats, sizeof stats);
            break;
        }
        default:
            break;
    }
}

}  // namespace sievra::link
