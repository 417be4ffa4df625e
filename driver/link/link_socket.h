#pragma once

// Socket set-up and reads shared by both ends of the driver host's link.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace sievra::link {

// The address of the socket at path; false (errno ENAMETOOLONG) when path does not fit.
inline bool SocketAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Room for the descriptors a message of the link may carry (SCM_RIGHTS): at most two (the
// watch page and the record ring).
struct DescriptorRoom {
    alignas(cmsghdr) char bytes[CMSG_SPACE(2 * sizeof(int))];
};

// Makes msg carry descriptor and then second, each when it is not -1, in room (which must
// outlive the send).
inline void PassDescriptor(msghdr& msg, DescriptorRoom& room, int descriptor, int second = -1) {
    int passed[2];
    int count = 0;
    for (int fd : {descriptor, second}) {
        if (fd >= 0)
            passed[count++] = fd;
    }
    if (count == 0)
        return;
    msg.msg_control = room.bytes;
    msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(c), passed, count * sizeof(int));
}

// Hands each descriptor msg carried (SCM_RIGHTS) to take, in order; take then owns it. Safe in
// a signal handler: no allocation.
template <typename Take>
void ForEachPassedDescriptor(msghdr& msg, Take take) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            take(fd);
        }
    }
}

// A new socket connected to the socket at path, or -1 with errno set: a stream for a control
// socket, SOCK_SEQPACKET for an application socket.
inline int ConnectTo(const std::string& path, int type = SOCK_STREAM) {
    sockaddr_un address;
    if (!SocketAddress(path, address))
        return -1;
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

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
