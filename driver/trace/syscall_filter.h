#pragma once

// The seccomp program a traced program runs under: only the system calls that can open, use,
// copy or close a port stop for the tracer; every other call runs at full speed.
#include <linux/filter.h>

#include <vector>

namespace sievra::trace {

// The program's instructions (x86-64 calls; calls of any other ABI run untraced).
std::vector<sock_filter> SyscallFilterProgram();

// Whether the filter stops nr (fcntl only for its descriptor copies).
bool StopsFor(long nr, long second_argument = 0);

// Installs program in the calling process, for itself and every process it starts: without
// the no-new-privileges bit where the caller may (root), so that a set-user-id program still
// gains its user. Async-signal-safe (for a child between fork and exec). False with errno set.
bool InstallSyscallFilter(const sock_fprog& program);

}  // namespace sievra::trace
