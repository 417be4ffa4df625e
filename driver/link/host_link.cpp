#include "driver/link/host_link.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/link/link_socket.h"
#include "driver/link/real_calls.h"
#include "driver/link/record_ring.h"
#include "driver/sievra_protocol.h"

namespace sievra::link {
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

// Turns the open into pass-through for good: the host is gone. A number that is no longer the
// attachment's socket (the program closed it behind the attachment's back) is left alone.
void Drop(OpenPort& port) {
    const bool still_ours = errno != EBADF && errno != ENOTSOCK;
    const int fd = port.socket.exchange(-1);
    if (fd >= 0 && still_ours)
        Real().close(fd);
}

// The open's socket, if its number still is the socket the attachment connected: a program may
// close numbers in bulk behind the attachment's back (a raw close_range) and reuse them, and
// the attachment must then never write to or read from what the number is now.
int LiveSocket(OpenPort& port) {
    const int fd = port.socket.load();
    if (fd < 0 || port.private_socket)
        return fd;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == port.socket_inode)
        return fd;
    int expected = fd;
    port.socket.compare_exchange_strong(expected, -1);  // not ours to close
    return -1;
}

enum class Sent { kSent, kFull, kBadBuffer, kBroken };

// Sends one message (the socket keeps message boundaries, so a message goes whole or not at
// all). A full socket is waited for up to wait_ms. fd_to_pass, when not -1, rides along.
Sent SendMessage(int fd, const iovec* parts, int count, int fd_to_pass, int wait_ms) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(parts);
    msg.msg_iovlen = static_cast<size_t>(count);
    link::DescriptorRoom room;
    link::PassDescriptor(msg, room, fd_to_pass);
    bool waited = false;
    for (;;) {
        if (::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
            return Sent::kSent;
        if (errno == EINTR)
            continue;
        if (errno == EFAULT)
            return Sent::kBadBuffer;
        if (errno != EAGAIN && errno != ENOBUFS)
            return Sent::kBroken;
        if (waited || wait_ms <= 0)
            return Sent::kFull;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, wait_ms);
        waited = true;
    }
}

// Keeps the first two descriptors a message carried in passed[0] and passed[1] (the watch page
// and the record ring) and closes every other one, so that a host can never leave descriptors
// in the program.
void TakeDescriptors(msghdr& msg, int* passed) {
    link::ForEachPassedDescriptor(msg, [&](int fd) {
        if (passed != nullptr && passed[0] < 0)
            passed[0] = fd;
        else if (passed != nullptr && passed[1] < 0)
            passed[1] = fd;
        else
            Real().close(fd);
    });
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

// A page that came with an answer: mapped and kept when the open has none yet, else closed.
void TakePage(OpenPort& port, int page_fd) {
    if (page_fd < 0)
        return;
    if (port.page.load() == nullptr)
        port.page.store(MapWatchPage(page_fd));
    Real().close(page_fd);
}

// Maps the record ring the host sent, shared for writing; nullptr unless it is a memory file
// sealed against shrinking (which would kill the program with SIGBUS as it writes) of the
// ring's size.
void* MapRing(int fd) {
    constexpr int kNeeded = F_SEAL_SHRINK | F_SEAL_GROW;
    const int seals = Real().fcntl(fd, F_GET_SEALS);
    struct stat st;
    if (seals < 0 || (seals & kNeeded) != kNeeded || ::fstat(fd, &st) != 0 ||
        st.st_size != static_cast<off_t>(kRingFileSize)) {
        return nullptr;
    }
    void* ring = ::mmap(nullptr, kRingFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return ring == MAP_FAILED ? nullptr : ring;
}

// A ring that came with an answer: mapped and kept when the open has none yet, else closed.
void TakeRing(OpenPort& port, int ring_fd) {
    if (ring_fd < 0)
        return;
    if (port.ring.load() == nullptr) {
        void* ring = MapRing(ring_fd);
        if (ring != nullptr) {
            // A ring a previous image used: its notes taken so far are not this side's.
            for (int d = 0; d < 2; ++d)
                port.passed_posted[d] = RingHeaderOf(ring)->passed_taken[d].load();
        }
        port.ring.store(ring);
    }
    Real().close(ring_fd);
}

enum class Received { kMessage, kNone, kBroken };

// Takes one answer off the socket if one is there (or arrives within wait_ms): its header, its
// data into output (at most output_length bytes; the socket drops the rest of a longer one) and
// the page it may carry.
Received ReceiveMessage(OpenPort& port, int fd, uint8_t* header, void* output,
                        uint32_t output_length, int wait_ms) {
    if (wait_ms > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, wait_ms) < 0 && errno != EINTR)
            return Received::kBroken;
    }
    iovec parts[2] = {{header, link::kResponseHeaderSize}, {output, output_length}};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = output_length > 0 ? 2 : 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? Received::kNone : Received::kBroken;
    int passed[2] = {-1, -1};
    TakeDescriptors(msg, passed);
    TakePage(port, passed[0]);
    TakeRing(port, passed[1]);
    if (n == 0 || static_cast<size_t>(n) < link::kResponseHeaderSize)
        return Received::kBroken;  // the host closed, or broke the protocol
    return Received::kMessage;
}

// Takes whatever answers the host owes for requests this side stopped waiting for. False when
// the host is gone.
bool DrainStale(OpenPort& port, int fd) {
    while (port.stale > 0) {
        uint8_t header[link::kResponseHeaderSize];
        const Received r = ReceiveMessage(port, fd, header, nullptr, 0, 0);
        if (r == Received::kNone)
            return true;
        if (r == Received::kBroken)
            return false;
        --port.stale;
    }
    return true;
}

// A request's input parts (at most kMaxParts) behind a free first slot for its header, and
// their length.
struct Request {
    static constexpr int kMaxParts = 8;
    iovec parts[kMaxParts + 1];
    uint32_t length = 0;
    int used = 0;

    Request(const iovec* input, int count) {
        used = count < kMaxParts ? count : kMaxParts;
        for (int i = 0; i < used; ++i) {
            parts[i + 1] = input[i];
            length += static_cast<uint32_t>(input[i].iov_len);
        }
    }
};

void Header(uint8_t* header, uint32_t id, uint8_t op, uint32_t code, uint32_t in, uint32_t out) {
    PutLe32(header, id);
    header[4] = op;
    PutLe32(header + 5, code);
    PutLe32(header + 9, in);
    PutLe32(header + 13, out);
}

// The real-time clock in microseconds: when the program made a request.
uint64_t NowUs() {
    timespec t;
    Real().clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

// Tells a sleeping host that its ring holds records; kBroken when the host is gone or the
// number is no longer the open's socket.
Sent WakeHost(OpenPort& port, int fd) {
    if (LiveSocket(port) != fd)
        return Sent::kBroken;
    uint8_t header[link::kRequestHeaderSize];
    Header(header, 0, link::kAppWake | link::kNoReply, 0, 0, 0);
    const iovec part{header, sizeof header};
    const Sent sent = SendMessage(fd, &part, 1, -1, 0);
    return sent == Sent::kBroken ? Sent::kBroken : Sent::kSent;  // a full socket wakes it anyway
}

// Copies n bytes into the ring's data at count at, across its end. A record's bytes are the
// program's buffers of a call the kernel has just carried out with them, so they are read
// directly.
void CopyIntoRing(uint8_t* data, uint32_t at, const void* from, size_t n) {
    const size_t offset = at & (kRingCapacity - 1);
    const size_t first = n < kRingCapacity - offset ? n : kRingCapacity - offset;
    const auto* bytes = static_cast<const uint8_t*>(from);
    std::memcpy(data + offset, bytes, first);
    std::memcpy(data, bytes + first, n - first);
}

// Publishes one request (the parts, its header first) in the open's ring, behind the time it
// was made. A full ring is waited for up to wait_ms: the host is woken and the wait ends when it
// has taken bytes.
Sent AppendToRing(OpenPort& port, int fd, void* ring, const iovec* parts, int count, int wait_ms) {
    RingHeader* header = RingHeaderOf(ring);
    uint8_t* data = RingDataOf(ring);
    uint8_t stamp[link::kRequestHeaderSize + 8];
    Header(stamp, 0, link::kAppTime | link::kNoReply, 0, 8, 0);
    const uint64_t now = NowUs();
    PutLe32(stamp + link::kRequestHeaderSize, static_cast<uint32_t>(now));
    PutLe32(stamp + link::kRequestHeaderSize + 4, static_cast<uint32_t>(now >> 32));
    size_t total = sizeof stamp;
    for (int i = 0; i < count; ++i)
        total += parts[i].iov_len;
    if (total > kRingCapacity / 2)
        return Sent::kFull;
    const uint32_t tail = header->tail.load(std::memory_order_relaxed);
    for (bool waited = false;;) {
        const uint32_t head = header->head.load(std::memory_order_acquire);
        const uint32_t used = tail - head;
        if (used <= kRingCapacity && kRingCapacity - used >= total)
            break;
        if (waited || wait_ms <= 0)
            return Sent::kFull;
        header->writer_waiting.store(1);
        if (WakeHost(port, fd) == Sent::kBroken)
            return Sent::kBroken;
        const timespec limit{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
        ::syscall(SYS_futex, &header->head, FUTEX_WAIT, head, &limit, nullptr, 0);
        waited = true;
    }
    uint32_t at = tail;
    CopyIntoRing(data, at, stamp, sizeof stamp);
    at += sizeof stamp;
    for (int i = 0; i < count; ++i) {
        CopyIntoRing(data, at, parts[i].iov_base, parts[i].iov_len);
        at += static_cast<uint32_t>(parts[i].iov_len);
    }
    header->tail.store(at);  // seq_cst: published before host_sleeping is looked at
    if (header->host_sleeping.load() != 0 && header->host_sleeping.exchange(0) != 0)
        return WakeHost(port, fd);
    // A host that looks on its tick is told when the ring passes half full, so that a fast
    // program never has to wait for room.
    const uint32_t half = kRingCapacity / 2;
    const uint32_t head = header->head.load(std::memory_order_relaxed);
    if (tail - head < half && at - head >= half)
        return WakeHost(port, fd);
    return Sent::kSent;
}

// Sends a request that wants no answer: into the open's ring when it has one, else on the
// socket.
Sent Post(OpenPort& port, int fd, const iovec* parts, int count, int wait_ms) {
    if (void* ring = port.ring.load(); ring != nullptr)
        return AppendToRing(port, fd, ring, parts, count, wait_ms);
    return SendMessage(fd, parts, count, -1, wait_ms);
}

// Counts a request that went past the filter or the record because the host did not answer.
void CountSkipped(OpenPort::Skipped& skipped, uint32_t bytes) {
    ++skipped.requests;
    skipped.bytes += bytes;
}

OpenPort::Skipped& Unfiltered(OpenPort& port, uint8_t op) {
    return op == link::kAppRead ? port.received_unfiltered : port.sent_unfiltered;
}

// Tells the host what it missed, before anything else is sent: the report takes its place in
// the port's records where the missing ones would have been.
void ReportSkipped(OpenPort& port, int fd, int wait_ms = 0) {
    struct Pending {
        OpenPort::Skipped& skipped;
        uint32_t kind;
    };
    port.interrupted_sent.MoveTo(port.sent_unfiltered);
    port.interrupted_received.MoveTo(port.received_unfiltered);
    port.interrupted_unrecorded.MoveTo(port.unrecorded);
    port.unseen.MoveTo(port.unseen_reported);
    port.descriptor_changed.MoveTo(port.descriptor_changed_reported);
    for (const Pending& p :
         {Pending{port.sent_unfiltered, kSentUnfiltered},
          Pending{port.received_unfiltered, kReceivedUnfiltered},
          Pending{port.unrecorded, kNotRecorded}, Pending{port.unseen_reported, kUnseen},
          Pending{port.descriptor_changed_reported, kDescriptorChanged}}) {
        if (p.skipped.requests == 0)
            continue;
        uint8_t message[link::kRequestHeaderSize + kBypassReportSize];
        Header(message, port.next_id++, link::kAppBypassed | link::kNoReply, 0, kBypassReportSize,
               0);
        PutLe32(message + link::kRequestHeaderSize, p.kind);
        PutLe32(message + link::kRequestHeaderSize + 4, p.skipped.requests);
        PutLe32(message + link::kRequestHeaderSize + 8, p.skipped.bytes);
        const iovec part{message, sizeof message};
        if (Post(port, fd, &part, 1, wait_ms) != Sent::kSent)
            return;  // kept for the next chance
        p.skipped = {};
    }
}

// Milliseconds since an arbitrary start, for waits that span several polls.
long NowMs() {
    timespec t;
    Real().clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// Waits until the host has acted on everything the ring held (at most until deadline, and not at
// all while a host that let an earlier wait run out has not moved since): records made before a
// fork or an exec, or before another process's on the same port, are then on record before any of
// those can be.
void AwaitSettled(OpenPort& port, int fd, void* ring, long deadline, bool wake_host) {
    RingHeader* header = RingHeaderOf(ring);
    const uint32_t tail = header->tail.load();
    if (port.settle_stalled && header->settled.load() == port.stalled_at)
        return;
    port.settle_stalled = false;
    for (bool woken = !wake_host;;) {
        const uint32_t settled = header->settled.load();
        if (static_cast<int32_t>(settled - tail) >= 0)
            return;
        header->settle_waiting.store(1);  // seq_cst: before settled is looked at again
        if (header->settled.load() != settled)
            continue;
        if (!woken && WakeHost(port, fd) == Sent::kBroken)
            return;
        woken = true;
        const long left = deadline - NowMs();
        if (left <= 0) {
            port.settle_stalled = true;
            port.stalled_at = settled;
            return;
        }
        const timespec limit{left / 1000, (left % 1000) * 1000000L};
        ::syscall(SYS_futex, &header->settled, FUTEX_WAIT, settled, &limit, nullptr, 0);
    }
}

// The path of the folder's socket name into address; false when it does not fit.
bool FolderSocket(const char* name, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    const size_t dir = ::strnlen(g_config.runtime_dir, sizeof g_config.runtime_dir);
    const size_t length = std::strlen(name);
    if (dir + 1 + length >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, g_config.runtime_dir, dir);
    address.sun_path[dir] = '/';
    std::memcpy(address.sun_path + dir + 1, name, length);
    return true;
}

// True when this process may change its user or group: root, or holding either right.
bool MayChangeUser() {
    if (::geteuid() == 0)
        return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    constexpr uint32_t kChange = 1u << CAP_SETUID | 1u << CAP_SETGID;
    return (data[0].effective & kChange) != 0 || (data[0].permitted & kChange) != 0;
}

// The home link, if its number still is the socket the attachment connected.
int LiveHome() {
    const int fd = g_config.home_link.load();
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
        st.st_ino != g_config.home_inode) {
        return -1;
    }
    return fd;
}

// A new connection for port, made through the home link: one end of a fresh socket pair, whose
// other end the host serves as this process as it is now. -1 when there is no home link.
int ConnectThroughHome(uint32_t port) {
    const int home = LiveHome();
    int pair[2];
    if (home < 0 || ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    uint8_t header[link::kRequestHeaderSize];
    uint8_t number[4];
    Header(header, 0, link::kHomeConnect | link::kNoReply, 0, sizeof number, 0);
    PutLe32(number, port);
    const iovec parts[2] = {{header, sizeof header}, {number, sizeof number}};
    const Sent sent = SendMessage(home, parts, 2, pair[1], g_config.reply_timeout_ms);
    Real().close(pair[1]);
    if (sent != Sent::kSent) {
        Real().close(pair[0]);
        return -1;
    }
    return pair[0];
}

// The socket's path for port n in the runtime folder; false when it does not fit.
bool ApplicationSocket(uint32_t port, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    const size_t dir = ::strnlen(g_config.runtime_dir, sizeof g_config.runtime_dir);
    static constexpr char kName[] = "/SievrApp";
    char number[12];
    int digits = 0;
    for (uint32_t v = port; digits == 0 || v != 0; v /= 10)
        number[digits++] = static_cast<char>('0' + v % 10);
    if (dir + sizeof kName + static_cast<size_t>(digits) > sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, g_config.runtime_dir, dir);
    std::memcpy(address.sun_path + dir, kName, sizeof kName - 1);
    for (int i = 0; i < digits; ++i)
        address.sun_path[dir + sizeof kName - 1 + i] = number[digits - 1 - i];
    return true;
}

}  // namespace

HostLinkConfig& LinkConfig() {
    return g_config;
}

int OpenHomeLink() {
    sockaddr_un address;
    if (!MayChangeUser() || !FolderSocket("SievrHome", address))
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int high = Real().fcntl(fd, F_DUPFD_CLOEXEC, kHighDescriptor);
    if (high >= 0) {
        Real().close(fd);
        fd = high;
    }
    struct stat st;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !HostIsTrusted(fd) || ::fstat(fd, &st) != 0) {
        Real().close(fd);
        return -1;
    }
    g_config.home_inode = st.st_ino;
    g_config.home_link.store(fd);
    return fd;
}

bool AdoptHomeLink(int socket) {
    // The host binds its sockets through its folder's descriptor: the name ends the same way.
    static constexpr char kName[] = "/SievrHome";
    sockaddr_un peer{};
    socklen_t length = sizeof peer;
    int type = 0;
    socklen_t type_length = sizeof type;
    struct stat st;
    if (g_config.home_link.load() >= 0 || ::fstat(socket, &st) != 0 || !S_ISSOCK(st.st_mode) ||
        ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &type_length) != 0 ||
        type != SOCK_SEQPACKET || !HostIsTrusted(socket) ||
        ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return false;  // not this attachment's: left alone
    }
    const size_t have = ::strnlen(peer.sun_path, sizeof peer.sun_path);
    if (have < sizeof kName - 1 ||
        std::memcmp(peer.sun_path + have - (sizeof kName - 1), kName, sizeof kName - 1) != 0) {
        return false;
    }
    Real().fcntl(socket, F_SETFD, FD_CLOEXEC);
    g_config.home_inode = st.st_ino;
    g_config.home_link.store(socket);
    return true;
}

namespace {

// True when the process's user and groups, without any capability (an exec to a user other
// than root drops them), may use a file of mode st for want (4 read, 1 search).
bool Permits(const struct stat& st, unsigned want, const gid_t* groups, int group_count) {
    const uid_t user = ::geteuid();
    if (user == 0)
        return true;
    if (st.st_uid == user)
        return ((st.st_mode >> 6) & want) == want;
    bool member = st.st_gid == ::getegid();
    for (int i = 0; i < group_count && !member; ++i)
        member = groups[i] == st.st_gid;
    return (((member ? st.st_mode >> 3 : st.st_mode) & 7) & want) == want;
}

// Whether the next program of this process can read path (its folders searched, the file
// read), by the mode bits alone.
bool ReadableAfterExec(const char* path, int& error) {
    gid_t groups[64];
    const int group_count = ::getgroups(64, groups);
    char prefix[sizeof g_config.library];
    const size_t length = ::strnlen(path, sizeof prefix - 1);
    for (size_t end = 1; end <= length; ++end) {
        if (end != length && path[end] != '/')
            continue;
        std::memcpy(prefix, path, end);
        prefix[end] = '\0';
        struct stat st;
        if (::stat(prefix, &st) != 0) {
            error = errno;
            return false;
        }
        if (!Permits(st, end == length ? 4 : 1, groups, group_count < 0 ? 0 : group_count)) {
            error = EACCES;
            return false;
        }
    }
    return true;
}

}  // namespace

void TellHomeIfUnfollowed() {
    const int home = LiveHome();
    int error = 0;
    if (home < 0 || g_config.library[0] != '/' || ReadableAfterExec(g_config.library, error))
        return;
    uint8_t header[link::kRequestHeaderSize];
    uint8_t notice[4 + 16] = {};
    PutLe32(notice, static_cast<uint32_t>(error));
    ::prctl(PR_GET_NAME, notice + 4);  // 16 bytes with its end
    const uint32_t length =
        static_cast<uint32_t>(4 + ::strnlen(reinterpret_cast<char*>(notice + 4), 16));
    Header(header, 0, link::kHomeUnfollowed | link::kNoReply, 0, length, 0);
    const iovec parts[2] = {{header, sizeof header}, {notice, length}};
    SendMessage(home, parts, 2, -1, g_config.reply_timeout_ms);
}

bool IsHomeLink(int fd) {
    return fd >= 0 && fd == g_config.home_link.load() && LiveHome() == fd;
}

int MoveHomeLink() {
    const int fd = g_config.home_link.load();
    if (fd < 0)
        return -1;
    int moved = Real().fcntl(fd, F_DUPFD_CLOEXEC, kHighDescriptor);
    if (moved < 0)
        moved = Real().fcntl(fd, F_DUPFD_CLOEXEC, 0);
    g_config.home_link.store(moved);  // the old number is the program's to replace
    return moved;
}

void ConnectAndCreate(OpenPort& port, int descriptor, uint32_t status, pid_t on_behalf) {
    sockaddr_un address;
    if (!ApplicationSocket(port.port, address))
        return;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    // Kept out of the low numbers a program expects its own opens to get.
    const int high = Real().fcntl(fd, F_DUPFD_CLOEXEC, kHighDescriptor);
    if (high >= 0) {
        Real().close(fd);
        fd = high;
    }
    // A host with a full queue of connections is waited for as long as for an answer.
    const timeval limit{g_config.reply_timeout_ms / 1000,
                        (g_config.reply_timeout_ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        // A program that gave up its rights after it started may no longer reach the folder:
        // its home link, made before, carries the connection.
        const bool unreachable = errno == EACCES || errno == EPERM;
        Real().close(fd);
        fd = unreachable ? ConnectThroughHome(port.port) : -1;
        if (fd < 0)
            return;  // no host: the port passes through
        if (const int high = Real().fcntl(fd, F_DUPFD_CLOEXEC, kHighDescriptor); high >= 0) {
            Real().close(fd);
            fd = high;
        }
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    } else if (!HostIsTrusted(fd)) {
        Real().close(fd);
        return;  // not a host to trust: the port passes through
    }
    uint8_t header[link::kRequestHeaderSize];
    uint8_t carried[4];
    if (on_behalf > 0) {
        Header(header, 0, link::kAppOnBehalf | link::kNoReply, 0, 4, 0);
        PutLe32(carried, static_cast<uint32_t>(on_behalf));
        const iovec naming[2] = {{header, sizeof header}, {carried, sizeof carried}};
        if (SendMessage(fd, naming, 2, -1, g_config.reply_timeout_ms) != Sent::kSent) {
            Real().close(fd);
            return;
        }
    }
    PutLe32(carried, status);
    const bool opened = status == 0;
    Header(header, 0, link::kAppCreate | (opened ? 0 : link::kNoReply), 0, 4, 0);
    const iovec parts[2] = {{header, sizeof header}, {carried, sizeof carried}};
    if (SendMessage(fd, parts, 2, opened ? descriptor : -1, g_config.reply_timeout_ms) !=
            Sent::kSent ||
        !opened) {
        Real().close(fd);
        return;
    }
    // The host takes the open only with the port's own descriptor, and answers with the page
    // that says who watches. A host too slow to answer in time leaves the port unwatched until
    // its answer comes (see CatchUp); a refusal leaves it to pass through.
    uint8_t reply[link::kResponseHeaderSize];
    const Received r = ReceiveMessage(port, fd, reply, nullptr, 0, g_config.reply_timeout_ms);
    if (r == Received::kBroken || (r == Received::kMessage && GetLe32(reply + 4) != 0) ||
        (r == Received::kMessage && port.page.load() == nullptr)) {
        Real().close(fd);
        return;
    }
    if (r == Received::kNone)
        port.stale = 1;
    struct stat st;
    port.socket_inode = ::fstat(fd, &st) == 0 ? st.st_ino : 0;
    port.socket.store(fd);
}

bool Adopt(OpenPort& port, int socket, int descriptor) {
    constexpr uint32_t kAdoptId = 0xFFFFFFFF;  // told from whatever the host still owed
    uint8_t header[link::kRequestHeaderSize];
    Header(header, kAdoptId, link::kAppAdopt, 0, 0, 0);
    const iovec part{header, sizeof header};
    bool adopted = false;
    if (SendMessage(socket, &part, 1, descriptor, g_config.reply_timeout_ms) == Sent::kSent) {
        const long deadline = NowMs() + g_config.reply_timeout_ms;
        for (long left = g_config.reply_timeout_ms; left > 0; left = deadline - NowMs()) {
            uint8_t reply[link::kResponseHeaderSize];
            const Received r = ReceiveMessage(port, socket, reply, nullptr, 0, left);
            if (r == Received::kBroken)
                break;
            if (r == Received::kMessage && GetLe32(reply) == kAdoptId) {
                adopted = GetLe32(reply + 4) == 0 && port.page.load() != nullptr;
                break;
            }
        }
    }
    if (!adopted) {
        Real().close(socket);
        return false;
    }
    struct stat st;
    port.socket_inode = ::fstat(socket, &st) == 0 ? st.st_ino : 0;
    port.socket.store(socket);
    return true;
}

bool IsTrustedLink(int socket, uint32_t port) {
    struct stat st;
    int type = 0;
    socklen_t type_length = sizeof type;
    if (::fstat(socket, &st) != 0 || !S_ISSOCK(st.st_mode) ||
        ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &type_length) != 0 ||
        type != SOCK_SEQPACKET || !HostIsTrusted(socket)) {
        return false;
    }
    // The host's application socket of that port, by the name its peer is bound to.
    sockaddr_un peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sun_family != AF_UNIX) {
        return false;
    }
    if (length == sizeof(sa_family_t)) {
        // A connection made through the home link: one end of a pair this process made itself
        // (before its exec), whose other end went to the host.
        ucred cred{};
        socklen_t cred_length = sizeof cred;
        return ::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &cred_length) == 0 &&
               cred.pid == ::getpid();
    }
    char name[24] = "/SievrApp";
    size_t n = std::strlen(name);
    char digits[12];
    int d = 0;
    for (uint32_t v = port; d == 0 || v != 0; v /= 10)
        digits[d++] = static_cast<char>('0' + v % 10);
    while (d > 0)
        name[n++] = digits[--d];
    name[n] = '\0';
    const size_t have = ::strnlen(peer.sun_path, sizeof peer.sun_path);
    return have >= n && std::memcmp(peer.sun_path + have - n, name, n) == 0;
}

int MoveSocket(OpenPort& port) {
    ExchangeLock lock(port);
    const int fd = port.socket.load();
    if (!lock.held() || fd < 0)
        return -1;
    int moved = Real().fcntl(fd, F_DUPFD_CLOEXEC, kHighDescriptor);
    if (moved < 0)
        moved = Real().fcntl(fd, F_DUPFD_CLOEXEC, 0);
    // The old number is the program's to replace; this side no longer uses it.
    port.socket.store(moved);
    return moved;
}

void CatchUp(OpenPort& port) {
    ExchangeLock lock(port);
    const int fd = lock.held() ? LiveSocket(port) : -1;
    if (fd < 0)
        return;
    if (!DrainStale(port, fd))
        Drop(port);
}

namespace {

// The socket records go out on, with the exchange lock held: caught up with the host and the
// calls it missed reported; -1 when the port has none (then records are not sent).
int RecordSocket(OpenPort& port) {
    // Records into a ring touch the socket only to wake the host, which checks it then.
    if (port.ring.load() != nullptr && port.stale == 0) {
        const int fd = port.socket.load();
        if (fd >= 0)
            ReportSkipped(port, fd);
        return fd;
    }
    const int fd = LiveSocket(port);
    if (fd < 0)
        return -1;
    if (!DrainStale(port, fd)) {
        Drop(port);
        return -1;
    }
    ReportSkipped(port, fd);
    return fd;
}

// Sends records that get no reply. Once the host has fallen behind, records do not wait for
// room: count_skipped counts them instead.
template <typename CountSkippedRecords>
void SendWithoutReply(OpenPort& port, int fd, iovec* parts, int used,
                      CountSkippedRecords count_skipped) {
    switch (Post(port, fd, parts, used, port.congested ? 0 : g_config.reply_timeout_ms)) {
        case Sent::kSent:
            port.congested = false;
            break;
        case Sent::kFull:
        case Sent::kBadBuffer:
            port.congested = true;
            count_skipped();
            break;
        case Sent::kBroken:
            Drop(port);
            break;
    }
}

}  // namespace

void SendRecord(OpenPort& port, uint8_t op, uint32_t code, const iovec* parts, int count) {
    ExchangeLock lock(port);
    Request request(parts, count);
    iovec* all = request.parts;
    const uint32_t length = request.length;
    const int used = request.used;
    if (!lock.held()) {
        if (port.socket.load() >= 0)
            port.interrupted_unrecorded.Count(length);
        return;
    }
    const int fd = RecordSocket(port);
    if (fd < 0)
        return;
    uint8_t header[link::kRequestHeaderSize];
    Header(header, port.next_id++, op | link::kNoReply, code, length, 0);
    all[0] = {header, sizeof header};
    SendWithoutReply(port, fd, all, used + 1, [&] { CountSkipped(port.unrecorded, length); });
}

long SettleDeadline() {
    return NowMs() + g_config.reply_timeout_ms;
}

void SettleRecords(OpenPort& port, long deadline_ms, bool wake_host) {
    void* ring = port.ring.load();
    if (ring == nullptr)
        return;
    ExchangeLock lock(port);
    const int fd = lock.held() ? port.socket.load() : -1;
    if (fd >= 0)
        AwaitSettled(port, fd, ring, deadline_ms, wake_host);
}

void SendRecords(OpenPort& port, const RecordPiece* records, int count) {
    if (count <= 0 || count > kMaxBatchRecords)
        return;
    ExchangeLock lock(port);
    if (!lock.held()) {
        if (port.socket.load() >= 0) {
            for (int i = 0; i < count; ++i)
                port.interrupted_unrecorded.Count(records[i].length);
        }
        return;
    }
    const int fd = RecordSocket(port);
    if (fd < 0)
        return;
    uint8_t headers[kMaxBatchRecords][link::kRequestHeaderSize];
    iovec parts[2 * kMaxBatchRecords];
    int used = 0;
    for (int i = 0; i < count; ++i) {
        Header(headers[i], port.next_id++, records[i].op | link::kNoReply, 0, records[i].length, 0);
        parts[used++] = {headers[i], sizeof headers[i]};
        if (records[i].length > 0)
            parts[used++] = {const_cast<uint8_t*>(records[i].data), records[i].length};
    }
    SendWithoutReply(port, fd, parts, used, [&] {
        for (int i = 0; i < count; ++i)
            CountSkipped(port.unrecorded, records[i].length);
    });
}

int Exchange(OpenPort& port, uint8_t op, const iovec* input, int input_count, void* output,
             uint32_t output_length) {
    ExchangeLock lock(port);
    Request request(input, input_count);
    iovec* all = request.parts;
    const uint32_t length = request.length;
    const int used = request.used;
    if (!lock.held()) {
        if (port.socket.load() >= 0)
            (op == link::kAppRead ? port.interrupted_received : port.interrupted_sent)
                .Count(length);
        return kPassThrough;
    }
    const int fd = LiveSocket(port);
    if (fd < 0)
        return kPassThrough;
    if (!DrainStale(port, fd)) {
        Drop(port);
        return kPassThrough;
    }
    if (port.stale > 0) {  // still behind: the call does not wait for it again
        CountSkipped(Unfiltered(port, op), length);
        return kPassThrough;
    }
    ReportSkipped(port, fd);
    const uint32_t id = port.next_id++;
    // The request carries the time this side stops waiting for it: a host that gets to it later
    // leaves it alone, so that no rule acts (and no event is told) on bytes that went out as
    // they were.
    const long deadline = NowMs() + g_config.reply_timeout_ms;
    uint8_t header[link::kRequestHeaderSize];
    Header(header, id, op, static_cast<uint32_t>(deadline), length, output_length);
    all[0] = {header, sizeof header};
    switch (SendMessage(fd, all, used + 1, -1, port.congested ? 0 : g_config.reply_timeout_ms)) {
        case Sent::kSent:
            port.congested = false;
            break;
        case Sent::kFull:
            port.congested = true;
            CountSkipped(Unfiltered(port, op), length);
            return kPassThrough;
        case Sent::kBadBuffer:
            return kBadInput;
        case Sent::kBroken:
            Drop(port);
            return kPassThrough;
    }
    for (;;) {
        const long left = deadline - NowMs();
        uint8_t reply[link::kResponseHeaderSize];
        const Received r =
            ReceiveMessage(port, fd, reply, output, output_length, left > 0 ? left : 0);
        if (r == Received::kBroken) {
            Drop(port);
            return kPassThrough;
        }
        if (r == Received::kMessage && GetLe32(reply) == id) {
            const uint32_t data = GetLe32(reply + 12);
            return data <= output_length ? static_cast<int>(data) : kPassThrough;
        }
        if (r == Received::kMessage) {
            if (port.stale > 0)
                --port.stale;  // a late answer to an earlier request
            continue;
        }
        if (left <= 0) {
            // The answer is late: this call passes unfiltered and the answer is taken when it
            // comes; the session and its rules stay.
            ++port.stale;
            CountSkipped(Unfiltered(port, op), length);
            return kPassThrough;
        }
    }
}

void CloseLink(OpenPort& port) {
    {
        ExchangeLock lock(port);
        const int fd = lock.held() ? LiveSocket(port) : -1;
        if (fd >= 0 && DrainStale(port, fd)) {
            ReportSkipped(port, fd, g_config.reply_timeout_ms);  // the last chance to tell
            // A watched close is confirmed, so that whoever reads the port's records once the
            // program has closed it finds the close among them; it waits no longer than any
            // watched call. An unwatched one never waits.
            const bool watched = port.WatchState() != link::kUnwatched;
            uint8_t header[link::kRequestHeaderSize];
            Header(header, port.next_id++, link::kClose | (watched ? 0 : link::kNoReply), 0, 0, 0);
            const iovec part{header, sizeof header};
            const Sent sent = watched ? SendMessage(fd, &part, 1, -1, g_config.reply_timeout_ms)
                                      : Post(port, fd, &part, 1, 0);
            if (sent == Sent::kSent && watched) {
                const long deadline = NowMs() + g_config.reply_timeout_ms;
                uint8_t reply[link::kResponseHeaderSize];
                for (long left = g_config.reply_timeout_ms; left > 0; left = deadline - NowMs()) {
                    const Received r = ReceiveMessage(port, fd, reply, nullptr, 0, left);
                    if (r == Received::kBroken)
                        break;
                    if (r == Received::kMessage && port.stale == 0)
                        break;  // the close's own answer
                    if (r == Received::kMessage)
                        --port.stale;
                }
            }
        }
        // Still under the lock: no other thread's record may follow the close on the socket,
        // nor be sent on its number once it is closed.
        errno = 0;
        Drop(port);
    }
}

bool ReservePassage(OpenPort& port, bool send, uint32_t n) {
    ExchangeLock lock(port);
    void* ring = port.ring.load();
    const std::atomic<uint32_t>* page = port.page.load();
    if (!lock.held() || ring == nullptr || page == nullptr || port.stale > 0 ||
        port.socket.load() < 0) {
        return false;
    }
    const int d = send ? 0 : 1;
    // What the host has taken first: the glance it published before is then no older.
    const uint32_t taken = RingHeaderOf(ring)->passed_taken[d].load();
    const auto* glance = reinterpret_cast<const RuleGlance*>(
        reinterpret_cast<const uint8_t*>(page) + kRuleGlanceOffset);
    const uint32_t sequence = glance->sequence.load();
    const uint32_t armed = glance->time_armed[d].load();
    const uint32_t left = glance->count_left[d].load();
    if ((sequence & 1) != 0 || glance->sequence.load() != sequence)
        return false;  // being written
    if (armed != 0 && n > 0)
        return false;
    const int32_t ahead = static_cast<int32_t>(port.passed_posted[d] - taken);
    const uint64_t pending = ahead > 0 ? static_cast<uint64_t>(ahead) : 0;
    if (left != 0 && pending + n >= left)
        return false;
    port.passed_posted[d] += n;
    return true;
}

void NotePassage(OpenPort& port, bool send, uint32_t reserved, uint32_t went) {
    ExchangeLock lock(port);
    if (!lock.held()) {
        // A signal handler interrupted this thread's own exchange: told as passed unfiltered.
        (send ? port.interrupted_sent : port.interrupted_received).Count(went);
        return;
    }
    const int d = send ? 0 : 1;
    port.passed_posted[d] -= reserved - went;
    if (went == 0)
        return;
    const int fd = RecordSocket(port);
    if (fd < 0)
        return;
    uint8_t note[link::kRequestHeaderSize + 5];
    Header(note, port.next_id++, link::kAppPassed | link::kNoReply, 0, 5, 0);
    note[link::kRequestHeaderSize] = static_cast<uint8_t>(d);
    PutLe32(note + link::kRequestHeaderSize + 1, went);
    iovec parts[1] = {{note, sizeof note}};
    SendWithoutReply(port, fd, parts, 1, [&] {
        port.passed_posted[d] -= went;  // never to be taken
        CountSkipped(send ? port.sent_unfiltered : port.received_unfiltered, went);
    });
}

void ReleaseMappings(OpenPort& port) {
    const std::atomic<uint32_t>* page = port.page.exchange(nullptr);
    if (page != nullptr)
        ::munmap(const_cast<std::atomic<uint32_t>*>(page), link::kPageSize);
    if (void* ring = port.ring.exchange(nullptr); ring != nullptr)
        ::munmap(ring, kRingFileSize);
}

}  // namespace sievra::link
