#pragma once

#include "platform/comm/comm_status.h"

#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace comm {

// The system calls that a TermiosSerialDevice makes on its terminal, in one place, so that a
// test can stand between the device and the kernel and inject what real devices rarely do on
// demand. This class forwards each call to the kernel; a subclass overrides what it changes.
// Each returns what the system call returns and leaves errno as it would.
//
// The terminal is the first descriptor of every Poll; the others are the device's own wake-up
// descriptors. Calls come from every thread that uses the device, and from its writer thread.
class SerialSystemCalls {
  public:
    virtual ~SerialSystemCalls() = default;

    virtual ssize_t Read(int fd, void* buffer, size_t count);
    virtual ssize_t Write(int fd, const void* bytes, size_t count);
    virtual int Poll(pollfd* fds, nfds_t count, int timeout_ms);
    // argument is the request's pointer, or its value for requests that take a number.
    virtual int Ioctl(int fd, unsigned long request, void* argument);

    // A request that takes a number (TCFLSH, TCXONC) or nothing.
    int IoctlValue(int fd, unsigned long request, intptr_t value = 0) {
        return Ioctl(fd, request, reinterpret_cast<void*>(value));
    }
};

// The errors by which a terminal's calls say that the device has gone for good (unplugged, the
// far end hung up), as opposed to a call that may be tried again.
inline bool IsVanishedError(int error) {
    return CommStatus::IsDeviceGoneError(error);
}

}  // namespace comm
