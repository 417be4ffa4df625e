#include "driver/trace/tracee_memory.h"

#include <sys/ptrace.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sievra::trace {
namespace {

constexpr size_t kWord = sizeof(long);

// The word at address through ptrace (works for the tracer where the process's memory is
// closed to others: a program that made itself non-dumpable).
bool PeekWord(pid_t tid, uint64_t address, long& word) {
    errno = 0;
    word = ::ptrace(PTRACE_PEEKDATA, tid, address, nullptr);
    return errno == 0;
}

bool PeekRange(pid_t tid, uint64_t address, uint8_t* out, size_t n) {
    while (n > 0) {
        const uint64_t aligned = address & ~static_cast<uint64_t>(kWord - 1);
        const size_t skip = static_cast<size_t>(address - aligned);
        long word;
        if (!PeekWord(tid, aligned, word))
            return false;
        const size_t take = std::min(n, kWord - skip);
        std::memcpy(out, reinterpret_cast<const uint8_t*>(&word) + skip, take);
        out += take;
        n -= take;
        address += take;
    }
    return true;
}

bool PokeRange(pid_t tid, uint64_t address, const uint8_t* in, size_t n) {
    while (n > 0) {
        const uint64_t aligned = address & ~static_cast<uint64_t>(kWord - 1);
        const size_t skip = static_cast<size_t>(address - aligned);
        const size_t take = std::min(n, kWord - skip);
        long word = 0;
        if (take < kWord && !PeekWord(tid, aligned, word))
            return false;
        std::memcpy(reinterpret_cast<uint8_t*>(&word) + skip, in, take);
        if (::ptrace(PTRACE_POKEDATA, tid, aligned, word) != 0)
            return false;
        in += take;
        n -= take;
        address += take;
    }
    return true;
}

bool Overflows(uint64_t address, size_t n) {
    return address + n < address;
}

}  // namespace

bool ReadTracee(pid_t tid, uint64_t address, void* out, size_t n) {
    if (n == 0)
        return true;
    if (address == 0 || Overflows(address, n))
        return false;
    iovec local{out, n};
    iovec remote{reinterpret_cast<void*>(address), n};
    const ssize_t got = ::process_vm_readv(tid, &local, 1, &remote, 1, 0);
    if (got == static_cast<ssize_t>(n))
        return true;
    if (got >= 0 || errno == EFAULT)
        return false;
    return PeekRange(tid, address, static_cast<uint8_t*>(out), n);
}

bool WriteTracee(pid_t tid, uint64_t address, const void* in, size_t n) {
    if (n == 0)
        return true;
    if (address == 0 || Overflows(address, n))
        return false;
    iovec local{const_cast<void*>(in), n};
    iovec remote{reinterpret_cast<void*>(address), n};
    if (::process_vm_writev(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(n))
        return true;
    // A read-only page (a string constant the program writes from) is written as a debugger
    // writes one: on a private copy of the page.
    return PokeRange(tid, address, static_cast<const uint8_t*>(in), n);
}

bool ReadTraceeString(pid_t tid, uint64_t address, size_t limit, std::string& out) {
    out.clear();
    char chunk[256];
    while (out.size() < limit) {
        // Never across a page end in one read: the next page may not exist.
        const size_t to_page_end = 4096 - static_cast<size_t>(address % 4096);
        const size_t n = std::min<size_t>({sizeof chunk, to_page_end, limit - out.size()});
        if (!ReadTracee(tid, address, chunk, n))
            return false;
        const void* end = std::memchr(chunk, '\0', n);
        if (end != nullptr) {
            out.append(chunk, static_cast<size_t>(static_cast<const char*>(end) - chunk));
            return true;
        }
        out.append(chunk, n);
        address += n;
    }
    return false;
}

}  // namespace sievra::trace
