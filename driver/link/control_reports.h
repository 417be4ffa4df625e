#pragma once

// The monitor records of the terminal and modem calls: each call becomes the serial control
// requests a Windows program's calls would issue, with the values the real call used.
#include <cstddef>
#include <cstdint>

#include "driver/link/line_requests.h"
#include "driver/link/open_port.h"

namespace sievra::link {

// The modem counters before a wait on modem lines, to tell afterwards which lines changed.
struct ModemCounters {
    bool valid = false;
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
};

// The port's output speed from its termios2 record (custom rates included); 0 on failure.
uint32_t PortSpeed(int fd);
void ReadModemCounters(int fd, ModemCounters& counters);

// tcsetattr and TCSETS*: (a purge first when input is flushed) baud, line control, characters,
// flow control and timeouts.
void ReportSetLine(OpenPort& port, const LineState& line, bool purge_input_first);
// tcgetattr and TCGETS*: baud, line control, characters, flow control.
void ReportGetLine(OpenPort& port, const LineState& line);
void ReportControl(OpenPort& port, uint32_t code, const void* data = nullptr, uint32_t size = 0);
// The terminal settings stty speaks of, as the kernel holds them for a port.
struct TerminalFlags {
    bool valid = false;
    uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    uint8_t cc[19] = {};
};
// Reads them with the kernel's own request (no hooked library call); invalid on failure.
TerminalFlags ReadTerminalFlags(int fd);
// Writes what changed from before to after in the words of stty ("-icrnl -echo min 1 time 0")
// into out (zero-terminated, cut at size); returns the length, 0 when nothing changed.
size_t DescribeTerminalChanges(const TerminalFlags& before, const TerminalFlags& after, char* out,
                               size_t size);
// Whether request sets the terminal settings (TCSETS*, TCSETS2*), and whether it makes the port
// exclusive or shared again (TIOCEXCL, TIOCNXCL).
bool SetsTerminalFlags(unsigned long request);
bool ChangesExclusiveUse(unsigned long request, bool& exclusive);
// Records the change of terminal settings, when there is one.
void ReportTerminalFlags(OpenPort& port, const TerminalFlags& before, const TerminalFlags& after);
// Records that the port was made exclusive (TIOCEXCL) or shared again (TIOCNXCL).
void ReportExclusive(OpenPort& port, bool exclusive);
// Marks the records the calling thread makes next as those of a request that failed with
// error (an errno value), until ClearFailure: the first of them goes with the failure's note.
// A request that makes no record leaves no note.
void MarkFailure(int error);
void ClearFailure();
// The size of the record an ioctl request's argument points to; 0 when the argument is a value
// or the report does not read it.
size_t ArgumentBytes(unsigned long request);
// Whether a failed request's argument is only the program's input (a change of settings or
// modem lines, or a value): what it asked can be reported; a query's result was never filled.
bool ArgumentIsInput(unsigned long request);
void ReportPurge(OpenPort& port, uint32_t flags);

// A successful ioctl on a watched port. Requests the monitor does not list add nothing; `before`
// holds the counters read before a TIOCMIWAIT.
void ReportIoctl(OpenPort& port, int fd, unsigned long request, const void* arg,
                 const ModemCounters& before);
// Whether request is TIOCMIWAIT (whose counters are read before the call).
bool IsModemWait(unsigned long request);
// Whether request sets modem lines (TIOCMBIS, TIOCMBIC, TIOCMSET).
bool IsModemLineChange(unsigned long request);

}  // namespace sievra::link
