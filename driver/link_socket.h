#pragma once

// Socket reads shared by both ends of the driver host's link.
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace sievra::link {

// Reads exactly n bytes; false when the peer closes or the socket fails first.
inline bool ReadFully(int fd, void* out, size_t n) {
    auto* p = static_cast<uint8_t*>(out);
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace sievra::link
