#pragma once

// The attachment's own write and read paths of a watched port, for the entry points that reach
// the port through the C library's internal calls (stdio, aio), which a preload cannot interpose.
#include <sys/types.h>

#include <cstddef>

namespace sievra::attach {

// True when fd is a watched port now.
bool IsWatchedPort(int fd);

// Writes n bytes to the watched port fd as the program's own write() calls would (recorded, or
// through the send rules), to the end or the first error, as the C library does for a stream:
// the bytes written, or -1 (errno set) when none could be.
ssize_t WriteToPort(int fd, const void* data, size_t n);

// Bytes that the C library's own threads wrote to fd (an aio write) after they went: recorded
// while the port is monitored; counted as sent unfiltered while rules run (they went as they
// were).
void WrittenAside(int fd, const void* data, size_t n);

// Bytes that the C library's own threads read from fd (an aio read): recorded, or passed
// through the receive rules in place. Returns how many are left for the program; -1 (errno
// EAGAIN) when the rules deleted them all.
ssize_t ReadAside(int fd, void* data, size_t got);

// Counts calls on the watched port fd that the C library made where the attachment cannot see
// them (bytes: as many as are known); told to the host with the port's next report.
void CountUnseen(int fd, uint32_t calls, size_t bytes);

// At exit, before the C library flushes its streams itself: what the streams of watched ports
// still hold goes through the attachment.
void FlushStreamsAtExit();

}  // namespace sievra::attach
