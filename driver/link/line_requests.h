#pragma once

// The serial control requests that a terminal's settings amount to, in the layouts the monitor
// records carry. Plain values in, structures out: no system calls.
#include <cstdint>

#include "platform/comm/serial_ioctl.h"

namespace sievra::link {

// What a termios call set or returned: flags and special characters from the call's own record,
// the speed from the port's termios2 speeds.
struct LineState {
    uint32_t iflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t eof = 0, start = 0, stop = 0, vmin = 0, vtime = 0;
    uint32_t speed = 0;
};

// Fills a LineState's special characters from a termios c_cc array (kernel indices).
void TakeControlChars(const uint8_t* cc, LineState& state);

comm::SERIAL_LINE_CONTROL LineControlOf(const LineState& state);
comm::SERIAL_CHARS CharsOf(const LineState& state);
comm::SERIAL_HANDFLOW HandFlowOf(const LineState& state);
// Read timeouts that behave as VMIN and VTIME do (canonical input: wait for data, no limit).
comm::SERIAL_TIMEOUTS TimeoutsOf(const LineState& state);

// The modem status word of TIOCM_* line bits, and the modem control register (DTR, RTS).
uint32_t ModemStatusOf(int lines);
uint32_t ModemControlOf(int lines);
// The events a wait on modem lines reports, from the counters' changes or the lines waited for.
uint32_t EventsOfLines(int lines);

// The NT status of an open that failed with error, as the page shows "Open Com Failure".
uint32_t StatusOfOpenError(int error);

// The purge flags of a tcflush queue selector (TCIFLUSH, TCOFLUSH, TCIOFLUSH); 0 for others.
uint32_t PurgeFlagsOf(int queue_selector);

}  // namespace sievra::link
