#include "driver/attach/program_memory.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace sievra::attach {
namespace {

// The checked copy failed for a reason other than the memory: the system does not offer it.
bool Refused(int error) {
    return error == ENOSYS || error == EPERM || error == EACCES;
}

}  // namespace

bool CopyFromProgram(const void* from, void* to, size_t n) {
    if (n == 0)
        return true;
    iovec local{to, n};
    iovec remote{const_cast<void*>(from), n};
    const ssize_t got = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (got == static_cast<ssize_t>(n))
        return true;
    if (got >= 0 || !Refused(errno))
        return false;
    std::memcpy(to, from, n);
    return true;
}

bool CopyToProgram(const void* from, void* to, size_t n) {
    if (n == 0)
        return true;
    iovec local{const_cast<void*>(from), n};
    iovec remote{to, n};
    const ssize_t put = ::process_vm_writev(::getpid(), &local, 1, &remote, 1, 0);
    if (put == static_cast<ssize_t>(n))
        return true;
    if (put >= 0 || !Refused(errno))
        return false;
    std::memmove(to, from, n);
    return true;
}

int VectorError(const iovec* iov, int count, bool single_buffer) {
    if (count < 0 || count > IOV_MAX)
        return EINVAL;
    if (count == 0)
        return 0;
    // write() and read() check the whole range before anything, and a length beyond ssize_t
    // is a range no address has; writev() refuses such a length as invalid instead.
    if (single_buffer && static_cast<ssize_t>(iov[0].iov_len) < 0)
        return EFAULT;
    // process_madvise checks its iovec array exactly as writev does, and only then looks at
    // the process descriptor: with none (-1) it answers EBADF for every array writev takes.
    // For one buffer a second, empty entry keeps the whole length in the range check, as
    // write() makes it (a single entry is checked only up to the largest transfer).
    const iovec pair[2] = {single_buffer ? iov[0] : iovec{}, {}};
    const iovec* checked = single_buffer ? pair : iov;
    const size_t entries = single_buffer ? 2 : static_cast<size_t>(count);
    if (::syscall(SYS_process_madvise, -1, checked, entries, 0, 0) == 0 || errno == EBADF)
        return 0;
    if (errno == EFAULT || errno == EINVAL)
        return errno;
    // Not offered here: the same checks, but for address ranges past the process's space,
    // which the copies below refuse when they come to them.
    ProgramVector vector(iov, count, single_buffer);
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        iovec entry;
        if (!vector.Get(i, entry))
            return EFAULT;
        if (static_cast<ssize_t>(entry.iov_len) < 0)
            return EINVAL;
        if (reinterpret_cast<uintptr_t>(entry.iov_base) + entry.iov_len <
                reinterpret_cast<uintptr_t>(entry.iov_base) ||
            entry.iov_len > static_cast<size_t>(SSIZE_MAX) - total) {
            return EFAULT;
        }
        total += entry.iov_len;
    }
    return 0;
}

size_t WritablePrefix(void* buffer, size_t n) {
    // One byte of each page is written back with its own value: the kernel takes the page
    // for writing (as the read into it would) and changes nothing.
    constexpr int kPages = 16;
    const size_t page = static_cast<size_t>(::getpagesize());
    const auto start = reinterpret_cast<uintptr_t>(buffer);
    const size_t looked = std::min(n, kWritableCheckLimit);
    if (looked == 0)
        return n;
    const uintptr_t end = start + looked;
    if (end < start)
        return 0;
    uintptr_t at = start;
    while (at < end) {
        iovec bytes[kPages];
        int used = 0;
        for (uintptr_t p = at; p < end && used < kPages; p = (p & ~(page - 1)) + page)
            bytes[used++] = {reinterpret_cast<void*>(p), 1};
        const ssize_t done = ::process_vm_writev(::getpid(), bytes, used, bytes, used, 0);
        if (done < 0 && Refused(errno))
            return n;
        const int good = done < 0 ? 0 : static_cast<int>(done);
        if (good < used)
            return reinterpret_cast<uintptr_t>(bytes[good].iov_base) - start;
        at = (reinterpret_cast<uintptr_t>(bytes[used - 1].iov_base) & ~(page - 1)) + page;
    }
    return n;
}

bool ProgramVector::Get(int i, iovec& entry) {
    if (i < 0 || i >= count_)
        return false;
    if (own_) {
        entry = iov_[i];
        return true;
    }
    if (i < first_ || i >= first_ + held_) {
        const int n = std::min(kWindow, count_ - i);
        if (!CopyFromProgram(iov_ + i, window_, sizeof(iovec) * static_cast<size_t>(n))) {
            held_ = 0;
            return false;
        }
        first_ = i;
        held_ = n;
    }
    entry = window_[i - first_];
    return true;
}

}  // namespace sievra::attach
