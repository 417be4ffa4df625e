#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"
#include "driver/sievra_protocol.h"

namespace sievra::testing {

// Reports an open on an application socket as the attachment does: status 0 with the program's
// descriptor of the port (or none when descriptor is -1). Waits for the host's answer and
// returns its status, or -1 when the host closed or did not answer within timeout_ms. The watch
// page it carries goes to page when given, the record ring to ring; else they are closed.
inline int32_t SendAppCreate(int socket, uint32_t id, int descriptor, int* page = nullptr,
                             int timeout_ms = 20000, int* ring = nullptr) {
    uint8_t request[link::kRequestHeaderSize + 4] = {};
    PutLe32(request, id);
    request[4] = link::kAppCreate;
    PutLe32(request + 9, 4);
    iovec part{request, sizeof request};
    msghdr msg{};
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    link::DescriptorRoom room;
    link::PassDescriptor(msg, room, descriptor);
    if (::sendmsg(socket, &msg, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request))
        return -1;
    pollfd p{socket, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0)
        return -1;
    uint8_t reply[link::kResponseHeaderSize];
    iovec in{reply, sizeof reply};
    alignas(cmsghdr) char received[CMSG_SPACE(2 * sizeof(int))];
    msghdr answer{};
    answer.msg_iov = &in;
    answer.msg_iovlen = 1;
    answer.msg_control = received;
    answer.msg_controllen = sizeof received;
    if (::recvmsg(socket, &answer, MSG_WAITALL | MSG_CMSG_CLOEXEC) !=
        static_cast<ssize_t>(sizeof reply)) {
        return -1;
    }
    int index = 0;
    link::ForEachPassedDescriptor(answer, [&](int fd) {
        int* keep = index == 0 ? page : index == 1 ? ring : nullptr;
        ++index;
        if (keep != nullptr && *keep < 0)
            *keep = fd;
        else
            ::close(fd);
    });
    return static_cast<int32_t>(GetLe32(reply + 4));
}

}  // namespace sievra::testing
