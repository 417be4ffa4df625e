#include "driver/host/request_reader.h"

namespace sievra {

bool SendResponse(int fd, std::mutex& write_mutex, uint32_t id, int32_t status,
                  uint32_t information, const uint8_t* data, uint32_t length, int fd_to_pass,
                  int second_fd) {
    uint8_t header[link::kResponseHeaderSize];
    PutLe32(header, id);
    PutLe32(header + 4, static_cast<uint32_t>(status));
    PutLe32(header + 8, information);
    PutLe32(header + 12, length);
    iovec parts[2] = {{header, sizeof header}, {const_cast<uint8_t*>(data), length}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = length > 0 ? 2 : 1;
    link::DescriptorRoom room;
    link::PassDescriptor(msg, room, fd_to_pass, second_fd);
    std::lock_guard lock(write_mutex);
    size_t left = sizeof header + length;
    while (left > 0) {
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        msg.msg_control = nullptr;  // the descriptor went with the first byte
        msg.msg_controllen = 0;
        left -= static_cast<size_t>(n);
        size_t skip = static_cast<size_t>(n);
        while (skip > 0 && msg.msg_iovlen > 0) {
            const size_t take = std::min(skip, msg.msg_iov->iov_len);
            msg.msg_iov->iov_base = static_cast<uint8_t*>(msg.msg_iov->iov_base) + take;
            msg.msg_iov->iov_len -= take;
            skip -= take;
            if (msg.msg_iov->iov_len == 0) {
                ++msg.msg_iov;
                --msg.msg_iovlen;
            }
        }
    }
    return true;
}

}  // namespace sievra
