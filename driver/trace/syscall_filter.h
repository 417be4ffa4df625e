#pragma once

// The seccomp program a traced program runs under: only the system calls that can open, use,
// copy or close a port stop for the tracer; every other call runs at full speed.
#include <linux/filter.h>

#include <cstdint>
#include <vector>

namespace sievra::trace {

// The program's instructions: the calls that stop, in each ABI the kernel takes from an x86-64
// program (x86-64, x32 and i386: a 64-bit program may make 32-bit calls with int 0x80).
std::vector<sock_filter> SyscallFilterProgram();

// The 64-bit number of call nr made in the ABI of arch (the audit arch the kernel reports), for
// the calls the filter stops; -1 for any other call of another ABI. other_abi tells an x32 or
// i386 call, whose arguments are 32-bit.
long NativeCall(uint32_t arch, long nr, bool& other_abi);

// Whether the filter stops nr (fcntl only for its descriptor copies).
bool StopsFor(long nr, long second_argument = 0);

// Installs program in the calling process, for itself and every process it starts: without
// the no-new-privileges bit where the caller may (root), so that a set-user-id program still
// gains its user. Async-signal-safe (for a child between fork and exec). False with errno set.
bool InstallSyscallFilter(const sock_fprog& program);

}  // namespace sievra::trace
