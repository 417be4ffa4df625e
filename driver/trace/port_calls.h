#pragma once

// A traced program's calls on one port, as the attachment reports them: each call's data and
// settings, read from the program's memory, become the same monitor records and pass the same
// filter rules through the host's application socket.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "driver/link/control_reports.h"
#include "driver/link/open_port.h"
#include "platform/comm/unique_fd.h"

namespace sievra::trace {

// The program's buffers of one transfer (read, write, readv, writev), in order.
class TraceeBuffers {
  public:
    // The buffers of call nr with args in thread tid; false when the iovec array is unreadable
    // or invalid (the kernel fails such a call itself).
    bool Take(pid_t tid, long nr, const uint64_t* args);
    uint64_t total() const { return total_; }
    // Copies n bytes from byte offset of the transfer; false when unreadable.
    bool Read(uint64_t offset, void* out, size_t n) const;
    bool Write(uint64_t offset, const void* in, size_t n) const;

    struct Segment {
        uint64_t address;
        uint64_t length;
    };
    const std::vector<Segment>& segments() const { return segments_; }

  private:
    // Calls copy(address, at, length) for each piece of the n bytes from byte offset, in order,
    // at counting from 0; false as soon as a copy fails or the transfer is shorter.
    template <typename Copy>
    bool ForEachPiece(uint64_t offset, size_t n, Copy copy) const;

    pid_t tid_ = 0;
    std::vector<Segment> segments_;
    uint64_t total_ = 0;
};

// One open file of a port as one traced process uses it: the process's connection to the host
// and the tracer's own descriptor of the same open file (the host takes the open only with it,
// and the port's state is read through it). The connection closes with it.
class PortOpen {
  public:
    PortOpen(uint32_t port_number, dev_t device, comm::UniqueFd file, pid_t process);
    ~PortOpen();
    PortOpen(const PortOpen&) = delete;
    PortOpen& operator=(const PortOpen&) = delete;

    link::OpenPort& link() { return link_; }
    int file() const { return file_.get(); }
    uint32_t port_number() const { return link_.port; }
    // Who watches the port now (kUnwatched when nobody does or the host is gone).
    uint32_t WatchState();
    // Tells the host the tracer lets go of a program that keeps this open: no close on record.
    void LetGo();
    // Whether the host still serves this open (someone may start watching it any time).
    bool connected() const { return link_.socket.load() >= 0; }
    dev_t device() const { return link_.device; }
    // An open of the port of the tracer's own that never blocks, with the program's access
    // mode, for calls the tracer makes for a program whose open blocks; -1 when the port takes
    // no further open (exclusive use, its permissions) or has been hung up.
    int NonblockingFile();
    // Whether the program's open file blocks (its flags may change any time, by anyone).
    bool Blocks() const;
    // Whether the port's line discipline is the terminal's (asked once; again after a change
    // the program made).
    bool TerminalDiscipline();
    void ForgetDiscipline() { discipline_ = Discipline::kUnknown; }

  private:
    link::OpenPort link_;
    comm::UniqueFd file_;
    comm::UniqueFd nonblocking_;
    bool nonblocking_refused_ = false;
    enum class Discipline { kUnknown, kTerminal, kOther };
    Discipline discipline_ = Discipline::kUnknown;
};

// Records got bytes of a transfer (a read that returned nothing is one empty record).
void RecordTransfer(PortOpen& open, uint8_t op, const TraceeBuffers& buffers, uint64_t got);

// The bytes a write gives the kernel, taken at its entry: what the kernel sent is recorded from
// them, never from the program's memory after the call, which another thread may have changed
// by then. A write too large to hold is read after the call as before.
class WrittenBytes {
  public:
    // False when the bytes are not held (too many, or unreadable).
    bool Take(pid_t tid, long nr, const uint64_t* args);
    // Holds bytes taken otherwise.
    void Hold(std::vector<uint8_t> bytes) { bytes_ = std::move(bytes); }

    // Gives up the first sent bytes.
    std::vector<uint8_t> Release(uint64_t sent);

  private:
    std::vector<uint8_t> bytes_;
};

// Passes got received bytes through the receive rules and puts what they leave back into the
// program's buffers, compacted. Returns how many are left.
uint64_t FilterReceived(PortOpen& open, const TraceeBuffers& buffers, uint64_t got);

// A write while the filter runs, as its entry found it: the program's bytes have passed the
// send rules and what they left was put into the program's buffers (the buffers' own bytes are
// kept to be put back once the kernel has written). Undo restores the program's memory and
// returns the result the program must see for the kernel's result.
class FilteredWrite {
  public:
    // Filters and puts the result in place; false when nothing was changed (the call then goes
    // as it is: unchanged bytes, or a write too large to hold, which is reported as unfiltered).
    bool Prepare(pid_t tid, long nr, const uint64_t* args, PortOpen& open);
    // The new length argument of a write that lost bytes (write: the count; writev: the
    // iovec array was shortened in place).
    bool count_changed() const { return count_changed_; }
    uint64_t new_count() const { return filtered_; }
    int64_t Undo(pid_t tid, int64_t kernel_result);

  private:
    TraceeBuffers buffers_;
    std::vector<uint8_t> original_;      // the program's bytes, to put back
    std::vector<uint8_t> original_iov_;  // the program's iovec array, when it was shortened
    uint64_t iov_address_ = 0;
    uint64_t consumed_ = 0;  // the program's bytes the write stands for
    uint64_t filtered_ = 0;  // the bytes the kernel is to write
    bool count_changed_ = false;
};

// The ioctl request with argument arg (the program's pointer or value) on open, as the
// attachment reports it; before holds the modem counters read before a TIOCMIWAIT. error: the
// errno the call failed with, 0 when it succeeded: a failed call is reported too, marked failed
// (what a change asked, or a query's zeros).
void ReportTracedIoctl(PortOpen& open, pid_t tid, unsigned long request, uint64_t arg, int error,
                       const link::ModemCounters& before);

}  // namespace sievra::trace
