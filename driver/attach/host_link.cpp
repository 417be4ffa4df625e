#include "driver/attach/host_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/attach/real_calls.h"
#include "driver/sievra_protocol.h"

namespace sievra::attach {
namespace {

HostLinkConfig g_config;
constexpr int kHighDescriptor = 700;

// A number of the calling thread without a system call: the address of its own variable.
uintptr_t ThreadId() {
    static thread_local char marker __attribute__((tls_model("initial-exec")));
    return reinterpret_cast<uintptr_t>(&marker);
}

// The exchange lock: one request and its answer at a time on an open's socket. A thread that
// already holds it (a signal handler interrupting an exchange) does not get it, and its call
// goes unrecorded rather than deadlocking.
class ExchangeLock {
  public:
    explicit ExchangeLock(OpenPort& port) : port_(port) {
        const uintptr_t self = ThreadId();
        for (;;) {
            uintptr_t expected = 0;
            if (port_.lock_owner.compare_exchange_weak(expected, self, std::memory_order_acquire))
                break;
            if (expected == self)
                return;  // re-entered from a signal handler on this thread
            ::sched_yield();
        }
        held_ = true;
    }
    ~ExchangeLock() {
        if (held_)
            port_.lock_owner.store(0, std::memory_order_release);
    }
    bool held() const { return held_; }

  private:
    OpenPort& port_;
    bool held_ = false;
};

// Turns the open into pass-through: the host is gone or too slow. A number that is no longer
// the attachment's socket (the program closed it behind the attachment's back) is left alone.
void Drop(OpenPort& port) {
    const bool still_ours = errno != EBADF && errno != ENOTSOCK;
    const int fd = port.socket.exchange(-1);
    if (fd >= 0 && still_ours)
        Real().close(fd);
}

// Sends all of the message (the socket is non-blocking; a full socket is waited for within the
// reply time, then given up). fd_to_pass, when not -1, rides with the first byte.
bool SendAll(int fd, iovec* parts, int count, int fd_to_pass) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = static_cast<size_t>(count);
    if (fd_to_pass >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd_to_pass, sizeof(int));
    }
    while (msg.msg_iovlen > 0) {
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return false;
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, g_config.reply_timeout_ms) <= 0)
                return false;
            continue;
        }
        msg.msg_control = nullptr;
        msg.msg_controllen = 0;
        size_t skip = static_cast<size_t>(n);
        while (msg.msg_iovlen > 0 && skip >= msg.msg_iov->iov_len) {
            skip -= msg.msg_iov->iov_len;
            ++msg.msg_iov;
            --msg.msg_iovlen;
        }
        if (msg.msg_iovlen > 0) {
            msg.msg_iov->iov_base = static_cast<uint8_t*>(msg.msg_iov->iov_base) + skip;
            msg.msg_iov->iov_len -= skip;
        }
    }
    return true;
}

// Keeps the first descriptor a message carried in passed (when wanted and none is kept yet) and
// closes every other one, so that a host can never leave descriptors in the program.
void TakeDescriptors(msghdr& msg, int* passed) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (passed != nullptr && *passed < 0)
                *passed = fd;
            else
                Real().close(fd);
        }
    }
}

// Receives one answer: its header, then its data into output (at most output_length bytes);
// a descriptor it carries goes to passed (when not null, else it is closed). Only one request is
// outstanding on the socket, so reading up to the largest answer never takes bytes of another.
// Each wait is bounded by timeout_ms.
bool ReceiveReply(int fd, uint8_t* header, void* output, uint32_t output_length, int timeout_ms,
                  int* passed = nullptr) {
    size_t got = 0;
    size_t want = link::kResponseHeaderSize;
    for (;;) {
        if (got >= link::kResponseHeaderSize) {
            const uint32_t length = GetLe32(header + 12);
            if (length > output_length)
                return false;
            want = link::kResponseHeaderSize + length;
            if (got >= want)
                return true;
        }
        pollfd w{fd, POLLIN, 0};
        const int ready = ::poll(&w, 1, timeout_ms);
        if (ready == 0 || (ready < 0 && errno != EINTR))
            return false;
        if (ready < 0)
            continue;
        iovec parts[2];
        int count = 0;
        if (got < link::kResponseHeaderSize)
            parts[count++] = {header + got, link::kResponseHeaderSize - got};
        const size_t data_done =
            got > link::kResponseHeaderSize ? got - link::kResponseHeaderSize : 0;
        const size_t room = got < link::kResponseHeaderSize
                                ? output_length
                                : want - link::kResponseHeaderSize - data_done;
        if (room > 0)
            parts[count++] = {static_cast<uint8_t*>(output) + data_done, room};
        // Room for a few descriptors, so that a host sending more cannot have them dropped
        // unseen; each one is closed unless it is the one wanted.
        alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = static_cast<size_t>(count);
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n > 0)
            TakeDescriptors(msg, passed);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (n > 0)
            got += static_cast<size_t>(n);
    }
}

void Header(uint8_t* header, uint32_t id, uint8_t op, uint32_t code, uint32_t in, uint32_t out) {
    PutLe32(header, id);
    header[4] = op;
    PutLe32(header + 5, code);
    PutLe32(header + 9, in);
    PutLe32(header + 13, out);
}

// The host must run as root or as this program's own user (a private host of watch): the
// program's descriptor of its port is handed to it, and no one else may receive that.
bool HostIsTrusted(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0 &&
           (cred.uid == 0 || cred.uid == ::geteuid());
}

// Maps the watch page the host sent, read-only; nullptr unless it is a memory file sealed so
// that nobody can shrink or write it (a page that could shrink would kill the program with
// SIGBUS as it reads it).
const std::atomic<uint32_t>* MapWatchPage(int fd) {
    constexpr int kNeeded = F_SEAL_SHRINK | F_SEAL_FUTURE_WRITE;
    const int seals = Real().fcntl(fd, F_GET_SEALS);
    struct stat st;
    if (seals < 0 || (seals & kNeeded) != kNeeded || ::fstat(fd, &st) != 0 ||
        st.st_size < static_cast<off_t>(link::kPageSize)) {
        return nullptr;
    }
    void* page = ::mmap(nullptr, link::kPageSize, PROT_READ, MAP_SHARED, fd, 0);
    return page == MAP_FAILED ? nullptr : static_cast<const std::atomic<uint32_t>*>(page);
}

// How long an open or a close waits for the host's answer: both are rare, and a busy host may
// still be working through the records sent before them.
int CloseConfirmMs() {
    constexpr int kCloseConfirmMs = 1000;
    return g_config.reply_timeout_ms > kCloseConfirmMs ? g_config.reply_timeout_ms
                                                       : kCloseConfirmMs;
}

}  // namespace

HostLinkConfig& LinkConfig() {
    return g_config;
}

void ConnectAndCreate(OpenPort& port, int descriptor, uint32_t status) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t dir = ::strnlen(g_config.runtime_dir, sizeof g_config.runtime_dir);
    static constexpr char kName[] = "/SievrApp";
    char number[12];
    int digits = 0;
    for (uint32_t v = port.port; digits == 0 || v != 0; v /= 10)
        number[digits++] = static_cast<char>('0' + v % 10);
    if (dir + sizeof kName + static_cast<size_t>(digits) > sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, g_config.runtime_dir, dir);
    std::memcpy(address.sun_path + dir, kName, sizeof kName - 1);
    for (int i = 0; i < digits; ++i)
        address.sun_path[dir + sizeof kName - 1 + i] = number[digits - 1 - i];
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    // Kept out of the low numbers a program expects its own opens to get.
    const int high = Real().fcntl(fd, F_DUPFD_CLOEXEC, kHighDescriptor);
    if (high >= 0) {
        Real().close(fd);
        fd = high;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !HostIsTrusted(fd)) {
        Real().close(fd);
        return;  // no host (or not one to trust): the port passes through
    }
    uint8_t header[link::kRequestHeaderSize];
    uint8_t carried[4];
    PutLe32(carried, status);
    const bool opened = status == 0;
    Header(header, 0, link::kAppCreate | (opened ? 0 : link::kNoReply), 0, 4, 0);
    iovec parts[2] = {{header, sizeof header}, {carried, sizeof carried}};
    if (!SendAll(fd, parts, 2, opened ? descriptor : -1) || !opened) {
        Real().close(fd);
        return;
    }
    // The host takes the open only with the port's own descriptor, and answers with the page
    // that says who watches; without it the port passes through.
    uint8_t reply[link::kResponseHeaderSize];
    int page_fd = -1;
    const bool answered = ReceiveReply(fd, reply, nullptr, 0, CloseConfirmMs(), &page_fd);
    const std::atomic<uint32_t>* page = nullptr;
    if (answered && GetLe32(reply + 4) == 0 && page_fd >= 0)
        page = MapWatchPage(page_fd);
    if (page_fd >= 0)
        Real().close(page_fd);
    if (page == nullptr) {
        Real().close(fd);
        return;
    }
    port.page.store(page);
    port.socket.store(fd);
}

void SendRecord(OpenPort& port, uint8_t op, uint32_t code, const iovec* parts, int count) {
    ExchangeLock lock(port);
    const int fd = port.socket.load();
    if (!lock.held() || fd < 0)
        return;
    constexpr int kMaxParts = 8;
    iovec all[kMaxParts + 1];
    uint32_t length = 0;
    const int used = count < kMaxParts ? count : kMaxParts;
    for (int i = 0; i < used; ++i) {
        all[i + 1] = parts[i];
        length += static_cast<uint32_t>(parts[i].iov_len);
    }
    uint8_t header[link::kRequestHeaderSize];
    Header(header, port.next_id++, op | link::kNoReply, code, length, 0);
    all[0] = {header, sizeof header};
    if (!SendAll(fd, all, used + 1, -1))
        Drop(port);
}

int Exchange(OpenPort& port, uint8_t op, const void* input, uint32_t input_length, void* output,
             uint32_t output_length) {
    ExchangeLock lock(port);
    const int fd = port.socket.load();
    if (!lock.held() || fd < 0)
        return -1;
    const uint32_t id = port.next_id++;
    uint8_t header[link::kRequestHeaderSize];
    Header(header, id, op, 0, input_length, output_length);
    iovec parts[2] = {{header, sizeof header}, {const_cast<void*>(input), input_length}};
    uint8_t reply[link::kResponseHeaderSize];
    if (!SendAll(fd, parts, input_length > 0 ? 2 : 1, -1) ||
        !ReceiveReply(fd, reply, output, output_length, g_config.reply_timeout_ms) ||
        GetLe32(reply) != id) {
        Drop(port);
        return -1;
    }
    return static_cast<int>(GetLe32(reply + 12));
}

void CloseLink(OpenPort& port) {
    {
        ExchangeLock lock(port);
        const int fd = port.socket.load();
        if (lock.held() && fd >= 0) {
            uint8_t header[link::kRequestHeaderSize];
            // The close is confirmed: the host answers it after everything sent before it, so
            // whoever reads the port's records once the program has closed it (or ended) finds
            // them all. A host that does not answer in time costs this one wait.
            Header(header, port.next_id++, link::kClose, 0, 0, 0);
            iovec part{header, sizeof header};
            uint8_t reply[link::kResponseHeaderSize];
            if (SendAll(fd, &part, 1, -1))
                ReceiveReply(fd, reply, nullptr, 0, CloseConfirmMs());
        }
        // Still under the lock: no other thread's record may follow the close on the socket,
        // nor be sent on its number once it is closed.
        errno = 0;
        Drop(port);
    }
}

}  // namespace sievra::attach
