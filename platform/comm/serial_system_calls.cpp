#include "platform/comm/serial_system_calls.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace comm {

ssize_t SerialSystemCalls::Read(int fd, void* buffer, size_t count) {
    return ::read(fd, buffer, count);
}

ssize_t SerialSystemCalls::Write(int fd, const void* bytes, size_t count) {
    return ::write(fd, bytes, count);
}

int SerialSystemCalls::Poll(pollfd* fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
}

int SerialSystemCalls::Ioctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

}  // namespace comm
