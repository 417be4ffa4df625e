// The links of programs that may change their user: the connections they make later, and what they
// tell.
#include "driver/host/host_port.h"
#include "driver/host/request_reader.h"

namespace sievra {

using namespace kernel;

void SievraHost::AcceptHomeLinks() {
    for (;;) {
        const int fd = ::accept4(home_listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        comm::UniqueFd link(fd);
        // Only a program of a user trusted with every port can lose its way to the folder by
        // changing its user; anyone else reaches the sockets as before.
        const std::optional<PeerCredentials> peer = PeerOf(fd);
        if (peer && Trusted(*peer) && home_links_.size() < kMaxHomeLinks &&
            (options_.only_client == 0 || peer->pid == options_.only_client))
            home_links_.push_back(std::move(link));
    }
}

namespace {

// True when socket is one end of a socket pair (a connected Unix packet socket whose peer has
// no name) that the process pid made: its credentials are then the ones that process had when
// it made the pair. A socket connected to someone else would carry that other one's.
bool IsPairOf(int socket, pid_t pid, const std::optional<PeerCredentials>& made_by) {
    int domain = 0;
    int type = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX)
        return false;
    length = sizeof type;
    if (::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET)
        return false;
    sockaddr_un peer{};
    length = sizeof peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        length != sizeof(sa_family_t)) {
        return false;
    }
    return made_by && pid > 0 && made_by->pid == pid;
}

// True when a pair's credentials are the sender's as it is now (its real user and group, which
// the kernel stamps on the request): a pair made before its maker gave up root would otherwise
// carry root's rights on to whatever the process runs after the change. A sender still trusted
// with every port may pass any pair it made.
bool MadeAsSenderIsNow(const ucred& sender, const PeerCredentials& made_by) {
    if (Trusted(PeerCredentials{sender.pid, sender.uid, sender.gid, {}}))
        return true;
    return made_by.uid == sender.uid && made_by.gid == sender.gid;
}

}  // namespace

bool SievraHost::ServeHomeRequest(int fd, bool stopping) {
    uint8_t header[link::kRequestHeaderSize + 4 + 16];  // the longest: a notice with a name
    iovec part{header, sizeof header};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(4 * sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    ucred sender{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    comm::UniqueFd passed;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_CREDENTIALS) {
            std::memcpy(&sender, CMSG_DATA(c), sizeof sender);
        } else if (c->cmsg_type == SCM_RIGHTS) {
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int received;
                std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                if (i == 0 && !passed.valid())
                    passed.Reset(received);
                else
                    ::close(received);
            }
        }
    }
    if (n == 0)
        return false;  // the program ended
    // A request this host does not know ends the link; a connection it cannot take is closed,
    // which its maker sees as a refused open.
    const uint8_t op = header[4] & ~link::kNoReply;
    const uint32_t in = GetLe32(header + 9);
    if (n < static_cast<ssize_t>(link::kRequestHeaderSize) || (msg.msg_flags & MSG_TRUNC) != 0 ||
        static_cast<size_t>(n) != link::kRequestHeaderSize + in ||
        !(op == link::kHomeConnect ? in == 4 : op == link::kHomeUnfollowed && in >= 4)) {
        return false;
    }
    if (op == link::kHomeUnfollowed) {
        // Told a bounded number of times: a program cannot fill the host's output with them.
        // The name comes with the notice: the process may be gone when it is read.
        constexpr size_t kMaxUnfollowedNotices = 64;
        if (options_.unfollowed && sender.pid > 0 && unfollowed_told_ < kMaxUnfollowedNotices) {
            ++unfollowed_told_;
            const std::string_view name(
                reinterpret_cast<const char*>(header + link::kRequestHeaderSize + 4), in - 4);
            options_.unfollowed(sender.pid, PrintableText(name.substr(0, name.find('\0'))),
                                sender.uid);
        }
        return true;
    }
    if (stopping)
        return false;
    const uint32_t number = GetLe32(header + link::kRequestHeaderSize);
    if (number == 0 || number > ports_.size() || !passed.valid())
        return true;
    Port& port = *ports_[number - 1];
    const std::optional<PeerCredentials> maker = PeerOf(passed.get());
    if (!IsPairOf(passed.get(), sender.pid, maker) || !MadeAsSenderIsNow(sender, *maker) ||
        !MayUsePort(maker, port.DevicePath()))
        return true;
    port.CountConnection(1);
    if (!StartSession(passed.Release(), &SievraHost::ServeApplication, port))
        port.CountConnection(-1);
    return true;
}

}  // namespace sievra
