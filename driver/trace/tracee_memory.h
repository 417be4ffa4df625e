#pragma once

// Copies between the tracer and the memory of a thread it traces (stopped). Every copy is
// bounded by the caller's own buffer: the traced program chooses addresses, never sizes beyond
// what the tracer asked for.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace sievra::trace {

// True when all n bytes at address were read into out.
bool ReadTracee(pid_t tid, uint64_t address, void* out, size_t n);
// True when all n bytes were written at address, read-only private pages included (as a
// debugger writes them).
bool WriteTracee(pid_t tid, uint64_t address, const void* in, size_t n);
// The NUL-terminated string at address, at most limit bytes; false when unreadable or longer.
bool ReadTraceeString(pid_t tid, uint64_t address, size_t limit, std::string& out);

}  // namespace sievra::trace
