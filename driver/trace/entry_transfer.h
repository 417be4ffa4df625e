#pragma once

// A read or write on a port that the tracer makes itself, for the program, while the program's
// call stops at its entry: the program's own call is then skipped and returns the tracer's
// result, so that the call stops once rather than at its entry and again at its exit.
//
// Only a call that cannot wait is made so. On a descriptor that does not block, the tracer makes
// it through its own copy of the program's open file (the same file, flags and all, so the
// result is the one the program would have had). On one that blocks, it makes it through an open
// of the port of its own that does not block, and only where the program's call could not have
// waited: a read of bytes already waiting (enough for the line's settings), a write the line
// takes whole. A write the line takes in part is made in part: the program's own call writes the
// rest, and waits for room as it would have. Everything else the program makes itself.
#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/trace/port_calls.h"

namespace sievra::trace {

class EntryTransfer {
  public:
    enum class Made {
        kNothing,  // the program makes the call
        kWhole,    // made: result() is the program's
        kPart,     // done() bytes moved; the program's call moves the rest
    };

    // The write (args: descriptor, buffer, count) of thread tid on open, at its entry. bytes()
    // then holds all the bytes the program gave (those written first).
    Made Write(pid_t tid, PortOpen& open, const uint64_t* args);
    // The read likewise: what it got is in the program's buffer, and in bytes(). may_wait: a
    // read that finds too few bytes may wait a short while for them in the tracer (nothing
    // else the tracer follows can need it meanwhile).
    Made Read(pid_t tid, PortOpen& open, const uint64_t* args, bool may_wait);

    int64_t result() const { return result_; }
    uint64_t done() const { return done_; }
    std::vector<uint8_t>& bytes() { return bytes_; }

  private:
    // Waits a short while for needed bytes on file and reads them (at most count); the bytes
    // read, or -1 when none came (or the line hung up).
    ssize_t AwaitBytes(int file, uint64_t count, uint64_t needed);

    int64_t result_ = 0;
    uint64_t done_ = 0;
    std::vector<uint8_t> bytes_;
    // What a read takes, before its bytes go to the program: kept from call to call.
    std::unique_ptr<uint8_t[]> scratch_;
    size_t scratch_size_ = 0;
};

// Skips the call thread tid is entering (stopped at the filter, with registers regs) and gives
// it result.
bool AnswerCall(pid_t tid, user_regs_struct& regs, int64_t result);

// The controlling terminal of process pid (0: none, or unknown). A call on it from the tracer
// would be judged by the tracer's place in job control, not the program's: such a port's calls
// are the program's to make.
dev_t ControllingTerminal(pid_t pid);

}  // namespace sievra::trace
