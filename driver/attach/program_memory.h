#pragma once

// The program's own memory as a call of it names it: buffers and iovec arrays that may be
// unmapped, read-only or changed by another thread. Everything here is read and written with
// checked copies (process_vm_readv and process_vm_writev on the own process), which answer
// EFAULT where a plain access would fault, and which work in signal handlers and vfork
// children. Where the system refuses the checked copy (a sandbox), memory is accessed directly,
// as the real call would have accessed it.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

namespace sievra::attach {

// Copies n bytes at from, which the program passed, to to: false when they cannot be read.
bool CopyFromProgram(const void* from, void* to, size_t n);
// Copies n bytes from from to the program's buffer at to: false when it cannot be written.
bool CopyToProgram(const void* from, void* to, size_t n);

// What the kernel answers for an iovec array before it moves a byte (count, the array itself,
// each length and address range): 0, EINVAL or EFAULT. single_buffer: the array is one the
// attachment made for a write() or read() of one buffer, checked as those calls check it.
int VectorError(const iovec* iov, int count, bool single_buffer);

// How many bytes from the start of buffer, at most n, lie on pages the program can write; only
// the first kWritableCheckLimit bytes are looked at (a terminal's read returns far fewer), and
// all of n counts when those are writable.
inline constexpr size_t kWritableCheckLimit = 64 * 1024;
size_t WritablePrefix(void* buffer, size_t n);

// The entries of an iovec array the program passed, fetched a few at a time with a checked
// copy; an array the attachment made itself is read directly.
class ProgramVector {
  public:
    ProgramVector(const iovec* iov, int count, bool own) : iov_(iov), count_(count), own_(own) {}

    int count() const { return count_; }
    // Entry i: false when the array cannot be read there.
    bool Get(int i, iovec& entry);

  private:
    static constexpr int kWindow = 8;
    const iovec* iov_;
    int count_;
    bool own_;
    iovec window_[kWindow] = {};
    int first_ = 0;  // the entry window_[0] holds
    int held_ = 0;   // how many entries window_ holds
};

}  // namespace sievra::attach
