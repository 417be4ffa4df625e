#pragma once

// The monitor records of the terminal and modem calls: each call becomes the serial control
// requests a Windows program's calls would issue, with the values the real call used.
#include <cstdint>

#include "driver/attach/line_requests.h"
#include "driver/attach/open_port.h"

namespace sievra::attach {

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
void ReportPurge(OpenPort& port, uint32_t flags);

// A successful ioctl on a watched port. Requests the monitor does not list add nothing; `before`
// holds the counters read before a TIOCMIWAIT.
void ReportIoctl(OpenPort& port, int fd, unsigned long request, const void* arg,
                 const ModemCounters& before);
// Whether request is TIOCMIWAIT (whose counters are read before the call).
bool IsModemWait(unsigned long request);
// Whether request sets modem lines (TIOCMBIS, TIOCMBIC, TIOCMSET).
bool IsModemLineChange(unsigned long request);

}  // namespace sievra::attach
