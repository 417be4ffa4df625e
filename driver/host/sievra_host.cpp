#include "driver/host/sievra_host.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>

#include "driver/host/host_serial_port.h"
#include "driver/host/peer_access.h"
#include "driver/host/record_drain.h"
#include "driver/host/record_ring_reader.h"
#include "driver/host/watch_page.h"
#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"
#include "platform/devicemap/returning_port.h"

#include "driver/host/host_port.h"
#include "driver/host/request_reader.h"

namespace sievra {

using namespace kernel;

namespace {

constexpr size_t kNoticesPerRound = 64;
constexpr size_t kNoticesAtStop = 4096;  // more than a socket's queue holds

}  // namespace

std::string PrintableText(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
        const unsigned lead = byte(0);
        const size_t length = lead >= 0xF5   ? 1
                              : lead >= 0xF0 ? 4
                              : lead >= 0xE0 ? 3
                              : lead >= 0xC2 ? 2
                                             : 1;
        bool whole = lead >= 0x20 && lead != 0x7F && (lead < 0x80 || length > 1) &&
                     i + length <= text.size();
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; whole && k < length; ++k) {
            whole = (byte(k) & 0xC0) == 0x80;
            code = code << 6 | (byte(k) & 0x3F);
        }
        // Overlong forms, surrogates and C1 controls are refused with the rest.
        static constexpr uint32_t kLeast[] = {0, 0, 0xA0, 0x800, 0x10000};
        if (whole && length > 1 &&
            (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)))
            whole = false;
        if (whole) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

SievraHost::SievraHost(Options options) : options_(std::move(options)) {
    for (auto& f : serial_driver_.MajorFunction)
        f = HostSerialDispatch;
}

SievraHost::~SievraHost() {
    Stop();
    std::list<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard lock(sessions_mutex_);
        sessions.swap(sessions_);
    }
    for (auto& session : sessions) {
        session->thread.join();
        ::close(session->fd);
    }
    for (auto& port : ports_) {
        // Every port the host numbered goes as the platform removes it: the driver tears its
        // devices down.
        if (port->physical->AttachedDevice != nullptr) {
            IoCallDriverAndWait(port->physical->AttachedDevice, IRP_MJ_PNP, nullptr, 0, 0, 0, 0,
                                IRP_MN_REMOVE_DEVICE);
        }
        IoDeleteDevice(port->physical);
        if (port->listen_fd >= 0)
            ::close(port->listen_fd);
        if (port->app_listen_fd >= 0)
            ::close(port->app_listen_fd);
    }
    // The folder takes away the sockets and files it made as it goes.
    for (int fd : stop_fd_) {
        if (fd >= 0)
            ::close(fd);
    }
}

comm::CommStatus SievraHost::Listen(const std::string& name, int type, gid_t group, int& fd) {
    // Non-blocking, so that Serve takes every waiting connection at once and then goes back to
    // its poll.
    fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return comm::CommStatus::Failure("socket", errno);
    const bool shared = group != static_cast<gid_t>(-1);
    if (comm::CommStatus s = folder_.BindSocket(fd, name, shared ? 0660 : 0600, group); !s)
        return s;
    if (::listen(fd, SOMAXCONN) != 0)
        return comm::CommStatus::Failure("listen", errno);
    return {};
}

comm::CommStatus SievraHost::PublishMap() {
    // The ports that are there now: a departed port's device numbers may soon be another's.
    std::string map;
    for (auto& port : ports_) {
        const std::string path = port->DevicePath();
        struct stat st;
        if (port->present && ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
            map += std::to_string(port->number) + " " + std::to_string(major(st.st_rdev)) + " " +
                   std::to_string(minor(st.st_rdev)) + " " + path + "\n";
        }
    }
    // Written whole under another name first, so a reader never sees half a map. Everyone may
    // read it: it names devices, which /dev shows anyway.
    comm::UniqueFd file;
    if (comm::CommStatus s = folder_.CreateFile("SievrMap.new", 0644, static_cast<gid_t>(-1), file);
        !s)
        return s;
    if (::write(file.get(), map.data(), map.size()) != static_cast<ssize_t>(map.size()))
        return comm::CommStatus::Failure("write map file", errno);
    file.Reset();
    return folder_.Rename("SievrMap.new", "SievrMap");
}

comm::CommStatus SievraHost::Start() {
    if (::pipe2(stop_fd_, O_CLOEXEC) != 0)
        return comm::CommStatus::Failure("pipe2", errno);
    if (comm::CommStatus s = folder_.Claim(options_.runtime_dir); !s)
        return s;
    gid_t group = static_cast<gid_t>(-1);
    if (!options_.group.empty()) {
        errno = 0;
        struct group* g = ::getgrnam(options_.group.c_str());
        if (g == nullptr)
            return comm::CommStatus::Failure("getgrnam --group", errno != 0 ? errno : ENOENT);
        group = g->gr_gid;
    }
    group_ = group;
    DriverEntry(&driver_);
    for (const std::string& name : options_.ports) {
        if (comm::CommStatus s = AddPort(name); !s)
            return s;
    }
    int home = -1;
    const comm::CommStatus home_status = Listen("SievrHome", SOCK_SEQPACKET, group, home);
    home_listen_fd_.Reset(home);
    if (!home_status)
        return home_status;
    // Every request on a home link carries the sending process's id, as the kernel knows it.
    const int on = 1;
    ::setsockopt(home, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (options_.unlisted_open) {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return comm::CommStatus::Failure("socket", errno);
        unlisted_fd_.Reset(fd);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);  // the sender's process id
        const bool shared = group != static_cast<gid_t>(-1);
        if (comm::CommStatus s =
                folder_.BindSocket(fd, "SievrUnlisted", shared ? 0660 : 0600, group);
            !s)
            return s;
    }
    return PublishMap();
}

comm::CommStatus SievraHost::AddPort(const std::string& name) {
    auto port = std::make_unique<Port>();
    port->name = name;
    port->identity = devicemap::IdentifyPort(name);
    port->device_path = DevicePathOf(name);
    IoCreateDevice(&serial_driver_, sizeof(HostSerialPort*), {}, FILE_DEVICE_SERIAL_PORT, 0, false,
                   &port->physical);
    *port->physical->Extension<HostSerialPort*>() = &port->serial;
    if (!NT_SUCCESS(AddDevice(&driver_, port->physical)) ||
        port->physical->AttachedDevice == nullptr) {
        IoDeleteDevice(port->physical);
        return comm::CommStatus::Failure("AddDevice", ENODEV);
    }
    port->number = PortsAdded();
    port->control = IoLookupDevice("\\??\\Sievr" + std::to_string(port->number));
    const std::string number = std::to_string(port->number);
    Port& added = *port;
    {
        std::lock_guard lock(ports_mutex_);
        ports_.push_back(std::move(port));  // owned now, so a failure below undoes it
    }
    if (comm::CommStatus s = added.page.Create(("SievrPage" + number).c_str()); !s)
        return s;
    if (comm::CommStatus s = Listen("Sievr" + number, SOCK_STREAM, group_, added.listen_fd); !s)
        return s;
    return Listen("SievrApp" + number, SOCK_SEQPACKET, group_, added.app_listen_fd);
}

std::string SievraHost::DevicePathOf(const std::string& name) {
    return !name.empty() && name[0] == '/' ? name : "/dev/" + name;
}

SievraHost::PortEvent SievraHost::PortArrived(const std::string& name) {
    for (auto& port : ports_) {
        if (port->present && port->name == name)
            return {port->number, PortEvent::kAlreadyThere, {}};
    }
    const std::optional<devicemap::PortIdentity> identity = devicemap::IdentifyPort(name);
    for (auto& port : ports_) {
        if (port->present ||
            !devicemap::IsReturningPort(port->name, port->identity, name, identity)) {
            continue;
        }
        // The same adapter again, perhaps under another device: its number, rules and watching
        // client are still there.
        port->name = name;
        port->identity = identity ? identity : port->identity;
        port->SetDevicePath(DevicePathOf(name));
        port->present = true;
        PublishMap();
        return {port->number, PortEvent::kReturned, {}};
    }
    if (comm::CommStatus s = AddPort(name); !s)
        return {0, PortEvent::kFailed, s.Describe()};
    PublishMap();
    return {ports_.back()->number, PortEvent::kAdded, {}};
}

SievraHost::PortEvent SievraHost::PortDeparted(const std::string& name) {
    for (auto& port : ports_) {
        if (!port->present || port->name != name)
            continue;
        // The port keeps its number and devices: a program that held it ends its open as the
        // device fails it, and the adapter may come back.
        port->present = false;
        PublishMap();
        return {port->number, PortEvent::kDeparted, {}};
    }
    return {0, PortEvent::kUnknown, {}};
}

void SievraHost::TakeUnlistedNotices(size_t limit) {
    // Bounded by user: one user's flood of made-up paths can neither make the host print
    // without end nor use up what it tells of other users' programs.
    constexpr size_t kMaxToldPerUser = 64;
    for (size_t taken = 0; taken < limit; ++taken) {
        char path[256 + 1 + 16];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        iovec part{path, sizeof path - 1};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(unlisted_fd_.get(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0)
            return;  // none waiting (or the socket failed): back to the poll
        ucred who{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS)
                std::memcpy(&who, CMSG_DATA(c), sizeof who);
        }
        // The path, and after a NUL the name the program gave (for a process gone already).
        const std::string said(path, static_cast<size_t>(n));
        const std::string device = said.substr(0, said.find('\0'));
        const std::string given =
            device.size() < said.size() ? said.substr(device.size() + 1) : std::string();
        if (options_.only_client != 0 && who.pid != options_.only_client)
            continue;
        std::set<std::string>& told = unlisted_told_[who.uid];
        if (device.empty() || device[0] != '/' || told.size() >= kMaxToldPerUser ||
            !told.insert(device).second)
            continue;
        std::string command;
        if (who.pid > 0) {
            const std::string name = "/proc/" + std::to_string(who.pid) + "/comm";
            if (FILE* comm = std::fopen(name.c_str(), "re")) {
                char text[17] = {};
                const size_t got = std::fread(text, 1, 16, comm);
                std::fclose(comm);
                command.assign(text, got);
                if (!command.empty() && command.back() == '\n')
                    command.pop_back();
            }
        }
        if (command.empty())
            command = given.substr(0, 16);
        // Both texts are the sender's to choose (a program names itself with prctl): each goes
        // on the host's one line in printable form, never as line ends or terminal controls.
        options_.unlisted_open(who.pid, PrintableText(command), PrintableText(device));
    }
}

void SievraHost::Stop() {
    if (stop_fd_[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_fd_[1], &b, 1);
    }
    std::lock_guard ports_lock(ports_mutex_);
    for (auto& port : ports_) {
        std::lock_guard lock(port->apps_mutex);
        port->stopping = true;  // ends a wait for the port's applications to end
        port->apps_changed.notify_all();
    }
    std::lock_guard lock(sessions_mutex_);
    stopping_ = true;
    for (auto& session : sessions_)
        ::shutdown(session->fd, SHUT_RDWR);  // ends a session blocked on its socket
}

size_t SievraHost::SessionCount() {
    std::lock_guard lock(sessions_mutex_);
    ReapSessionsLocked();
    return sessions_.size();
}

void SievraHost::ReapSessionsLocked() {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            ::close((*it)->fd);
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

bool SievraHost::StartSession(int fd, void (SievraHost::*serve)(Port&, int), Port& port) {
    std::lock_guard lock(sessions_mutex_);
    ReapSessionsLocked();
    // Root and the host's own user keep sessions in reserve; every other user has a share, so
    // that no one user's idle connections keep others' programs and pages out.
    const std::optional<PeerCredentials> peer = PeerOf(fd);
    const bool trusted = peer && Trusted(*peer);
    const uid_t uid = peer ? peer->uid : static_cast<uid_t>(-1);
    const size_t of_user = static_cast<size_t>(std::count_if(
        sessions_.begin(), sessions_.end(), [&](const auto& s) { return s->uid == uid; }));
    const bool room = trusted ? sessions_.size() < kMaxSessions
                              : sessions_.size() < kMaxSessions - kTrustedReserve &&
                                    of_user < kMaxSessionsPerUser;
    if (stopping_ || !room) {
        ::close(fd);
        return false;
    }
    auto session = std::make_unique<Session>();
    Session* s = session.get();
    s->fd = fd;
    s->uid = uid;
    sessions_.push_back(std::move(session));
    s->thread = std::thread([this, s, serve, &port] {
        (this->*serve)(port, s->fd);
        // Done before the peer hears the end, so a peer that saw it finds the session reaped.
        s->done = true;
        ::shutdown(s->fd, SHUT_RDWR);
    });
    return true;
}

void SievraHost::Serve() {
    std::vector<pollfd> fds;
    for (;;) {
        // Built afresh each round: ports arrive and home links come and go while the host serves.
        fds.clear();
        for (auto& port : ports_)
            fds.push_back({port->listen_fd, POLLIN, 0});
        for (auto& port : ports_)
            fds.push_back({port->app_listen_fd, POLLIN, 0});
        const size_t port_count = ports_.size();
        const size_t homes = fds.size();
        fds.push_back({home_listen_fd_.get(), POLLIN, 0});
        for (const comm::UniqueFd& link : home_links_)
            fds.push_back({link.get(), POLLIN, 0});
        const size_t changes = fds.size();
        fds.push_back({options_.changes_fd, POLLIN, 0});  // ignored by poll while -1
        fds.push_back({unlisted_fd_.get(), POLLIN, 0});
        fds.push_back({stop_fd_[0], POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        // Notices first: one sent before a program ended is told before a stop that follows. A
        // few at a time while serving, so a flood of them cannot keep connections waiting.
        const bool stopping = (fds.back().revents & POLLIN) != 0;
        if (fds[fds.size() - 2].revents & POLLIN)
            TakeUnlistedNotices(stopping ? kNoticesAtStop : kNoticesPerRound);
        if (stopping) {
            // What the home links said before the stop is told too.
            AcceptHomeLinks();
            for (const comm::UniqueFd& link : home_links_) {
                for (size_t taken = 0;
                     taken < kNoticesPerRound && ServeHomeRequest(link.get(), true); ++taken) {
                }
            }
            return;
        }
        // Requests of the home links first (each link's place in the set is its index), then
        // new links.
        for (size_t i = home_links_.size(); i-- > 0;) {
            if (fds[homes + 1 + i].revents != 0 && !ServeHomeRequest(home_links_[i].get()))
                home_links_.erase(home_links_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (fds[homes].revents & POLLIN)
            AcceptHomeLinks();
        for (size_t i = 0; i < port_count; ++i) {
            if (!(fds[port_count + i].revents & POLLIN))
                continue;
            for (int app; AcceptAllowed(ports_[i]->app_listen_fd, *ports_[i], false, app);) {
                if (app < 0)
                    continue;
                ports_[i]->CountConnection(1);
                if (!StartSession(app, &SievraHost::ServeApplication, *ports_[i]))
                    ports_[i]->CountConnection(-1);
            }
        }
        for (size_t i = 0; i < port_count; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            Port& port = *ports_[i];
            for (int client; AcceptAllowed(port.listen_fd, port, true, client);) {
                if (client < 0)
                    continue;
                bool expected = false;
                if (!port.busy.compare_exchange_strong(expected, true)) {
                    std::mutex m;
                    SendResponse(client, m, 0, link::kStatusSharingViolation, 0, nullptr, 0);
                    ::close(client);
                    continue;
                }
                StartSession(client, &SievraHost::ServeClient, port);
            }
        }
        if ((fds[changes].revents & POLLIN) && options_.on_changes)
            options_.on_changes(*this);
    }
}

bool SievraHost::AcceptAllowed(int listen_fd, Port& port, bool control, int& fd) {
    fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return errno == EINTR || errno == ECONNABORTED;  // else nothing more waits (EAGAIN)
    // Checked before the port is taken, so that someone turned away never holds it from others.
    const std::string device_path = port.DevicePath();
    const std::optional<PeerCredentials> peer = PeerOf(fd);
    if (MayUsePort(peer, device_path) &&
        (options_.only_client == 0 || (peer && peer->pid == options_.only_client)))
        return true;
    if (control) {
        // The device's path says which device the client lacks the right to.
        std::mutex m;
        SendResponse(
            fd, m, 0, link::kStatusAccessDenied, 0,
            reinterpret_cast<const uint8_t*>(device_path.data()),
            static_cast<uint32_t>(std::min<size_t>(device_path.size(), link::kMaxTransfer)));
    }
    ::close(fd);
    fd = -1;
    return true;
}

}  // namespace sievra
