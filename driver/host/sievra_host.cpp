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

namespace sievra {

using namespace kernel;

namespace {

// Data bytes of the records a request makes besides its transfer: a process's number and name
// when the process making the requests changes, and an open's or a close's status.
constexpr uint32_t kProcessReportSize = 4 + 16;
constexpr uint32_t kStatusRecordSize = 4;
constexpr uint32_t kTimeReportSize = 8;
// How long a program's record (one it sent without waiting for an answer) waits for a reader
// whose stash is full before the host drops it and counts it: shorter than the attachment's
// own wait, so that the program's connection keeps flowing and the loss is told by the host,
// in the record stream, where it happened.
constexpr std::chrono::milliseconds kRecordWaitLimit{10};
// How long a close's records wait for such a reader: the close is the last record of a session,
// the one a reader most needs, and its wait holds no program (the program has let the port go
// and waits for the answer no longer than for any). A reader that let a wait run out makes
// later waits give up at once until it has caught up (see RecordDrain), so a reader that stopped
// for good costs the host one wait, not one per session.
constexpr std::chrono::milliseconds kCloseWaitLimit{1000};

}  // namespace

struct SievraHost::Port {
    uint32_t number = 0;
    // The port as the map names it, what is known of it and whether it is there now, for
    // knowing it again when it comes back (Serve's thread only, or before Serve).
    std::string name;
    std::optional<devicemap::PortIdentity> identity;
    bool present = true;
    mutable std::mutex path_mutex;  // guards device_path, which changes when the port returns
    std::string device_path;        // the port's device

    std::string DevicePath() const {
        std::lock_guard lock(path_mutex);
        return device_path;
    }
    void SetDevicePath(std::string path) {
        std::lock_guard lock(path_mutex);
        device_path = std::move(path);
    }
    DeviceObject* physical = nullptr;
    DeviceObject* control = nullptr;
    HostSerialPort serial;  // the lower driver's state for this port
    int listen_fd = -1;
    std::atomic<bool> busy{false};
    int app_listen_fd = -1;
    // The sealed page telling the attachment who watches; written by the control session only.
    WatchPage page;
    std::mutex apps_mutex;  // guards app_connections and stopping
    std::condition_variable apps_changed;
    // Application connections accepted and not yet served to their end. Counted as they are
    // accepted, in the order they came, so a connection made after a program's sees the
    // program's counted even before its session has read a byte.
    int app_connections = 0;
    bool stopping = false;
    // The process whose request the port recorded last (0: none since the last open ended).
    std::atomic<pid_t> last_pid{0};

    // Records a change of the process making the port's requests (a child using an inherited
    // port, or the parent again), before that process's request is recorded. known_name is
    // the process's name as read while it surely lived: a child that wrote and ended at once
    // is gone by the time its records are served.
    void NoteProcess(pid_t pid, const std::string& known_name) {
        const pid_t before = last_pid.exchange(pid);
        if (before == 0 || before == pid)
            return;
        ReportProcess(pid, known_name);
    }
    // Records that the port's requests come from process pid now.
    void ReportProcess(pid_t pid, const std::string& known_name) {
        std::string name = ProcessName(pid);
        if (name.empty())
            name = known_name;
        uint8_t data[kProcessReportSize];
        PutLe32(data, static_cast<uint32_t>(pid));
        const size_t n = std::min<size_t>(name.size(), 16);
        std::memcpy(data + 4, name.data(), n);
        IoCallDriverAndWait(physical->AttachedDevice, IRP_MJ_DEVICE_CONTROL, data, 0,
                            IOCTL_SIEVRA_PROCESS_REPORT, static_cast<uint32_t>(4 + n), 0);
    }
    // Records the time the program made the request recorded next (microseconds of the
    // real-time clock), or the time now when it did not say (0).
    void ReportTime(uint64_t made_at) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        uint8_t data[kTimeReportSize];
        const uint64_t us =
            made_at != 0 ? made_at
                         : static_cast<uint64_t>(
                               std::chrono::duration_cast<std::chrono::microseconds>(now).count());
        PutLe32(data, static_cast<uint32_t>(us));
        PutLe32(data + 4, static_cast<uint32_t>(us >> 32));
        IoCallDriverAndWait(physical->AttachedDevice, IRP_MJ_DEVICE_CONTROL, data, 0,
                            IOCTL_SIEVRA_TIME_REPORT, kTimeReportSize, 0);
    }
    // Publishes on the watch page what the rules will do next, so that the programs' calls
    // they would not act on pass without asking.
    void PublishRules() {
        const RuleOutlook outlook = RuleOutlookOf(physical->AttachedDevice);
        page.SetRules(outlook.time_armed, outlook.count_left);
    }
    // The command name of a process ("" when it has gone).
    static std::string ProcessName(pid_t pid) {
        char name[17] = {};
        size_t n = 0;
        if (FILE* comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r")) {
            n = std::fread(name, 1, 16, comm);
            std::fclose(comm);
        }
        while (n > 0 && (name[n - 1] == '\n' || name[n - 1] == '\0'))
            --n;
        return std::string(name, n);
    }

    // The record queue holds 4096 bytes: an application's record waits until there is room,
    // so that a fast program's records are never dropped for a slow reader. The drain keeps
    // the queue emptied into a stash for the control client; only a full stash makes a record
    // wait. A program never waits for this (its records do not want answers); a reader that
    // stops for good makes the program's socket fill, and what does not fit is counted.
    RecordDrain drain{kRecordStashSize};

    void CountConnection(int change) {
        std::lock_guard lock(apps_mutex);
        app_connections += change;
        apps_changed.notify_all();
    }
};

namespace {

constexpr size_t kNoticesPerRound = 64;
constexpr size_t kNoticesAtStop = 4096;  // more than a socket's queue holds

// text with each byte that is not printable ASCII or part of well-formed UTF-8 (C1 controls
// excepted) as '?'.
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

// One request off a link socket: its header, then its input bytes. The buffer is sized for
// whichever of input and output is larger, so the reply can be written back into it.
struct LinkRequest {
    uint32_t id = 0;
    uint8_t op = 0;
    uint32_t code = 0;
    uint32_t in = 0;
    uint32_t out = 0;
    std::vector<uint8_t> buffer;
    comm::UniqueFd passed;  // a descriptor that came with the request (SCM_RIGHTS)
};

enum class RequestRead { kOk, kGone, kOversized };

// A session's requests off its socket, read in large pieces so that a stream of small requests
// (an application's monitor records) costs few system calls. A descriptor passed with the bytes
// (SCM_RIGHTS) is kept until the next request takes it.
class RequestReader {
  public:
    // max_read: the most a read of records (kRead) may ask for on this connection.
    explicit RequestReader(int fd, uint32_t max_read = link::kMaxTransfer)
        : fd_(fd), max_read_(max_read), buffer_(kBufferSize) {}

    // Until the given time, reads end (as if the peer had gone) when nothing more comes by
    // then; none, for no limit.
    void SetDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
        deadline_ = deadline;
    }

    // From now on, the requests of ring come before each message of the socket.
    void AttachRing(RecordRingReader* ring) { ring_ = ring; }

    RequestRead Next(LinkRequest& request) {
        uint8_t header[link::kRequestHeaderSize];
        if (!Take(header, sizeof header))
            return RequestRead::kGone;
        request.passed = std::move(passed_);
        request.id = GetLe32(header);
        request.op = header[4];
        request.code = GetLe32(header + 5);
        request.in = GetLe32(header + 9);
        request.out = GetLe32(header + 13);
        const bool read = request.op == link::kRead;
        if (request.in > link::kMaxTransfer ||
            request.out > (read ? max_read_ : link::kMaxTransfer))
            return RequestRead::kOversized;
        request.buffer.assign(std::max(request.in, request.out), 0);
        if (request.in > 0 && !Take(request.buffer.data(), request.in))
            return RequestRead::kGone;
        return RequestRead::kOk;
    }

  private:
    static constexpr size_t kBufferSize = 64 * 1024;

    // Copies n bytes out of the buffer, filling it from the socket as needed.
    bool Take(uint8_t* out, size_t n) {
        while (n > 0) {
            if (start_ == end_ && !Fill())
                return false;
            const size_t take = std::min(n, end_ - start_);
            std::memcpy(out, buffer_.data() + start_, take);
            start_ += take;
            out += take;
            n -= take;
        }
        return true;
    }

    // Fills the buffer with whole requests: the ring's first, then the socket's next message.
    bool Fill() {
        start_ = end_ = 0;
        for (;;) {
            if (ring_ != nullptr) {
                size_t got = 0;
                const RecordRingReader::Taken taken =
                    ring_->Take(buffer_.data(), buffer_.size(), got);
                if (taken == RecordRingReader::Taken::kBroken)
                    return false;
                if (taken == RecordRingReader::Taken::kData) {
                    end_ = got;
                    idle_ticks_ = 0;
                    return true;
                }
            }
            if (!held_.empty()) {  // a socket message that came behind records of the ring
                std::memcpy(buffer_.data(), held_.data(), held_.size());
                end_ = held_.size();
                held_.clear();
                passed_ = std::move(held_passed_);
                return true;
            }
            if (socket_gone_)
                return false;
            if (!WaitForSocket())
                return false;
            iovec iov{buffer_.data(), buffer_.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC | (ring_ ? MSG_DONTWAIT : 0));
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                // What the ring still holds was published before the program went.
                socket_gone_ = true;
                continue;
            }
            comm::UniqueFd passed;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                    continue;
                const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; ++i) {
                    int fd;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                    passed.Reset(fd);  // only the last one is kept
                }
            }
            if (ring_ != nullptr && ring_->HasData()) {
                // The ring's records were made first: this message waits behind them.
                held_.assign(buffer_.data(), buffer_.data() + n);
                held_passed_ = std::move(passed);
                continue;
            }
            passed_ = std::move(passed);
            end_ = static_cast<size_t>(n);
            return true;
        }
    }

    // Waits until the socket has a message, or the ring records (false: the deadline passed).
    // While records come, the ring is looked at on a short tick, so that a program's records
    // cost it no wake; once it has stayed empty a while, the host sleeps and says so.
    bool WaitForSocket() {
        for (;;) {
            int wait_ms = -1;
            if (deadline_) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    *deadline_ - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    return false;
                wait_ms = static_cast<int>(left.count());
            }
            bool sleeping = false;
            if (ring_ != nullptr && idle_ticks_ < kIdleTicks) {
                wait_ms = wait_ms < 0 ? kTickMs : std::min(wait_ms, kTickMs);
            } else if (ring_ != nullptr) {
                if (!ring_->Sleep())
                    return true;  // a record came: Fill takes it
                sleeping = true;
            }
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, wait_ms);
            if (sleeping)
                ring_->Awake();
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return true;  // the read says what is wrong
            if (ring_ != nullptr) {
                ++idle_ticks_;
                if (ring_->HasData())
                    return true;
            }
        }
    }

    static constexpr int kTickMs = 1;
    static constexpr int kIdleTicks = 20;

    int fd_;
    uint32_t max_read_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    comm::UniqueFd passed_;
    RecordRingReader* ring_ = nullptr;
    int idle_ticks_ = 0;
    bool socket_gone_ = false;
    std::vector<uint8_t> held_;  // a socket message waiting behind the ring's records
    comm::UniqueFd held_passed_;
};

bool SendResponse(int fd, std::mutex& write_mutex, uint32_t id, int32_t status,
                  uint32_t information, const uint8_t* data, uint32_t length, int fd_to_pass = -1,
                  int second_fd = -1) {
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

// Who watches, as the page tells the attachment: nobody, or a control client in a link mode.
uint32_t WatchStateOf(bool open, uint32_t link_mode) {
    if (!open)
        return link::kUnwatched;
    return link_mode == kLinkModeMonitor ? link::kWatchedMonitor : link::kWatchedFilter;
}

// Root and the host's own user may use every port (they run the host); anyone else only the
// ports whose devices they could open themselves.
bool Trusted(const PeerCredentials& peer) {
    return peer.uid == 0 || peer.uid == ::geteuid();
}

bool MayUsePort(const std::optional<PeerCredentials>& peer, const std::string& device_path) {
    return peer && (Trusted(*peer) || MayOpenDevice(*peer, device_path));
}

// The status of a failed open as the attachment reports it: an error (severity bits 11), never a
// success, information or pending code, which the I/O manager would take for something else.
bool IsErrorStatus(uint32_t status) {
    return (status >> 30) == 3;
}

// True when the application stopped waiting for a request at deadline (CLOCK_MONOTONIC
// milliseconds, low 32 bits; 0 for none) and that time has passed.
bool Expired(uint32_t deadline) {
    if (deadline == 0)
        return false;
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<uint32_t>(now.tv_sec * 1000L + now.tv_nsec / 1000000L);
    return static_cast<int32_t>(ms - deadline) > 0;
}

// An application connection that has not opened yet must do so within this time, so that
// connections that say nothing (or dribble) cannot hold sessions.
constexpr std::chrono::seconds kCreateDeadline{2};

}  // namespace

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
        char path[256];
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
        const std::string device(path, static_cast<size_t>(n));
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

void SievraHost::ServeClient(Port& port, int fd) {
    std::mutex write_mutex;  // guards the socket's sending side
    // A read waits for records, so a thread of this session carries it out. One read waits at a
    // time: another that comes meanwhile completes at once with 0 bytes, as the control device
    // does with a second read while one is pending.
    std::mutex reads_mutex;  // guards reads, read_outstanding and ending
    std::condition_variable reads_changed;
    std::deque<std::pair<uint32_t, uint32_t>> reads;  // id, bytes wanted
    bool read_outstanding = false;  // a read was taken and has not been answered yet
    bool ending = false;
    SendResponse(fd, write_mutex, 0, STATUS_SUCCESS, 0, nullptr, 0);
    IoCallDriverAndWait(port.control, IRP_MJ_CREATE);
    SievraExtension* filter = ExtensionOf(port.control)->partner;
    port.page.Set(WatchStateOf(true, filter->link_mode));
    port.drain.Open(port.control, port.physical->AttachedDevice);
    std::thread reader([&] {
        std::vector<uint8_t> data;
        for (;;) {
            std::pair<uint32_t, uint32_t> read;
            {
                std::unique_lock lock(reads_mutex);
                reads_changed.wait(lock, [&] { return ending || !reads.empty(); });
                if (ending)
                    return;
                read = reads.front();
                reads.pop_front();
            }
            data.resize(read.second);
            // Ends with 0 bytes when the session ends, as the control device's clean-up ends a
            // waiting read.
            const size_t n = port.drain.WaitAndTake(data.data(), read.second);
            const NTSTATUS status = n > 0 ? STATUS_SUCCESS : STATUS_CANCELLED;
            // Cleared before the answer, so that the client's next read, sent on hearing it, may
            // wait; answered under the lock, so that the answer to a read sent ahead never
            // overtakes this one.
            std::lock_guard lock(reads_mutex);
            read_outstanding = false;
            SendResponse(fd, write_mutex, read.first, status, static_cast<uint32_t>(n), data.data(),
                         static_cast<uint32_t>(n));
        }
    });
    uint32_t close_id = 0;
    bool closing = false;
    RequestReader requests(fd, link::kMaxRecordRead);
    for (;;) {
        LinkRequest request;
        const RequestRead read = requests.Next(request);
        if (read == RequestRead::kGone)
            break;  // the client is gone: a close
        const uint32_t id = request.id;
        if (read == RequestRead::kOversized) {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
            break;  // the stream cannot be trusted any more
        }
        std::vector<uint8_t>& buffer = request.buffer;
        if (request.op == link::kDeviceControl) {
            const IoStatusBlock s = IoCallDriverAndWait(port.control, IRP_MJ_DEVICE_CONTROL,
                                                        buffer.empty() ? nullptr : buffer.data(), 0,
                                                        request.code, request.in, request.out);
            port.PublishRules();
            if (request.code == IOCTL_FILTER_SET_MODE)
                port.page.Set(WatchStateOf(true, filter->link_mode));
            port.drain.TakeQueued();
            const uint32_t n =
                static_cast<uint32_t>(std::min<uintptr_t>(s.Information, request.out));
            SendResponse(fd, write_mutex, id, s.Status, static_cast<uint32_t>(s.Information),
                         buffer.data(), n);
        } else if (request.op == link::kRead) {
            // Every read that may carry records is answered by the reading thread, one after
            // the other, so that no answer overtakes the records of an earlier one; records
            // already stashed are handed over there at once.
            bool taken = false;
            {
                std::lock_guard lock(reads_mutex);
                if (!read_outstanding && request.out > 0) {
                    read_outstanding = taken = true;
                    reads.emplace_back(id, request.out);
                    reads_changed.notify_one();
                }
            }
            if (!taken)
                SendResponse(fd, write_mutex, id, STATUS_SUCCESS, 0, nullptr, 0);
        } else if (request.op == link::kClose) {
            close_id = id;
            closing = true;
            break;
        } else {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
        }
    }
    port.page.Set(link::kUnwatched);
    // Ends a waiting read and every wait for room first: the reading thread may be held by a
    // client that takes no answers.
    port.drain.Close();
    {
        std::lock_guard lock(reads_mutex);
        ending = true;
        reads_changed.notify_one();
    }
    reader.join();
    IoCallDriverAndWait(port.control, IRP_MJ_CLEANUP);
    IoCallDriverAndWait(port.control, IRP_MJ_CLOSE);
    port.busy = false;  // free before the client hears of the close, so it may open again at once
    if (closing)
        SendResponse(fd, write_mutex, close_id, STATUS_SUCCESS, 0, nullptr, 0);
}

void SievraHost::ServeApplication(Port& port, int fd) {
    std::mutex write_mutex;                             // guards the socket's sending side
    DeviceObject* top = port.physical->AttachedDevice;  // the port's filter device
    const uint64_t owner = next_owner_++;
    bool created = false;  // an open succeeded and has not been closed yet
    pid_t speaker = 0;     // the process a tracer speaks for (0: the peer itself)
    bool let_go = false;   // the tracer stopped following a program that keeps the open:
                           // its close and its end are not the program's
    // Root and the host's own user (watch's end marker) may speak without an open; anyone else
    // only about the open their descriptor proves.
    const std::optional<PeerCredentials> peer = PeerOf(fd);
    const bool trusted = peer && Trusted(*peer);
    // The peer waits for the answer to its open: it lives now.
    std::string speaker_name = peer ? Port::ProcessName(peer->pid) : std::string();
    RequestReader requests(fd);
    if (!trusted)
        requests.SetDeadline(std::chrono::steady_clock::now() + kCreateDeadline);
    // Records dropped while the reader lagged: told as soon as there is room for the report
    // (false while there is none within limit).
    uint32_t dropped_requests = 0, dropped_bytes = 0;
    const auto report_dropped = [&](std::chrono::milliseconds limit) {
        if (dropped_requests == 0)
            return true;
        if (!port.drain.MakeRoomWithin(kBypassReportSize, limit))
            return false;
        uint8_t report[kBypassReportSize];
        PutLe32(report, kNotRecorded);
        PutLe32(report + 4, dropped_requests);
        PutLe32(report + 8, dropped_bytes);
        IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, report, 0, IOCTL_SIEVRA_BYPASS_REPORT,
                            kBypassReportSize, 0);
        port.drain.TakeQueued();
        dropped_requests = dropped_bytes = 0;
        return true;
    };
    // Whether the request being served may still make its records: each waits for room up to
    // limit, and once one found none, none of the request's are made; the request is carried
    // out unrecorded and counted with the dropped ones.
    bool unrecorded = false;
    const auto room = [&](uint32_t length, std::chrono::milliseconds limit) {
        unrecorded = unrecorded || !port.drain.MakeRoomWithin(length, limit);
        return !unrecorded;
    };
    // The connection's record ring, made with its open: the program's records come through it.
    RecordRingReader ring;
    bool ring_made = false;
    const auto offer_ring = [&] {
        if (!ring_made && ring.Create()) {
            ring_made = true;
            requests.AttachRing(&ring);
        }
        return ring_made ? ring.fd() : -1;
    };
    uint64_t made_at = 0;  // when the program made the next request, as it said (0: unsaid)
    for (;;) {
        LinkRequest request;
        const RequestRead read = requests.Next(request);
        if (read == RequestRead::kGone)
            break;
        const uint32_t id = request.id;
        if (read == RequestRead::kOversized) {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
            break;
        }
        const bool reply = (request.op & link::kNoReply) == 0;
        const bool continues = (request.op & link::kContinues) != 0;
        const uint8_t op = request.op & ~(link::kNoReply | link::kContinues);
        const uint32_t in = request.in;
        const uint32_t out = request.out;
        std::vector<uint8_t>& buffer = request.buffer;
        void* data = buffer.empty() ? nullptr : buffer.data();
        IoStatusBlock s;
        uint32_t reply_length = 0;
        int page = -1;
        int ring_fd = -1;
        if (op != link::kAppCreate && !created && !trusted) {
            SendResponse(fd, write_mutex, id, link::kStatusAccessDenied, 0, nullptr, 0);
            break;
        }
        // What the ring says about the request after it, and a wake (the ring's records, taken
        // before it, were what it woke the host for): nothing to record, nothing to wait for.
        if (op == link::kAppWake && in == 0)
            continue;
        if (op == link::kAppPassed) {
            if (in != 5 || !created || buffer[0] > 1)
                break;
            const bool send = buffer[0] == 0;
            const uint32_t bytes = GetLe32(buffer.data() + 1);
            if (!CountPassedBytes(top, send, bytes)) {
                // A rule would have acted on bytes that went as they were: told as such.
                uint8_t report[kBypassReportSize];
                PutLe32(report, send ? kSentUnfiltered : kReceivedUnfiltered);
                PutLe32(report + 4, 1);
                PutLe32(report + 8, bytes);
                IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, report, 0,
                                    IOCTL_SIEVRA_BYPASS_REPORT, kBypassReportSize, 0);
                port.drain.TakeQueued();
            }
            port.PublishRules();
            ring.CountPassed(send, bytes);
            continue;
        }
        if (op == link::kAppTime) {
            if (in != 8)
                break;
            made_at = GetLe32(buffer.data()) | static_cast<uint64_t>(GetLe32(buffer.data() + 4))
                                                   << 32;
            continue;
        }
        // A record the program does not wait for waits a little for a lagging reader, and not
        // at all once records are being dropped, until the reader has room again.
        const bool droppable =
            !reply && created && peer &&
            (op == link::kAppWrite || op == link::kAppRead || op == link::kDeviceControl);
        if (droppable &&
            ((dropped_requests > 0 && !port.drain.CaughtUp()) ||
             !port.drain.MakeRoomWithin(
                 kProcessReportSize + kTimeReportSize + 2 * kRecordHeaderSize + kBypassReportSize +
                     std::max(in, kStatusRecordSize),
                 dropped_requests > 0 ? std::chrono::milliseconds(0) : kRecordWaitLimit))) {
            ++dropped_requests;
            dropped_bytes += op == link::kDeviceControl ? 0 : in;
            made_at = 0;
            continue;
        }
        // Each record waits for room in the queue, the report of what was dropped and of a
        // change of process first: one that overflowed it would drop the records waiting there
        // for a lagging reader.
        const std::chrono::milliseconds limit =
            op == link::kClose ? kCloseWaitLimit : kRecordWaitLimit;
        unrecorded = !report_dropped(limit);
        if (created && peer &&
            (op == link::kAppWrite || op == link::kAppRead || op == link::kDeviceControl ||
             op == link::kClose) &&
            room(kProcessReportSize, limit)) {
            port.NoteProcess(speaker != 0 ? speaker : peer->pid, speaker_name);
        }
        if (options_.time_records && peer &&
            (op == link::kAppWrite || op == link::kAppRead || op == link::kDeviceControl ||
             op == link::kAppCreate || (op == link::kClose && created)) &&
            room(kTimeReportSize, limit)) {
            port.ReportTime(made_at);
        }
        made_at = 0;
        const bool recorded_op = op == link::kAppWrite || op == link::kAppRead ||
                                 op == link::kDeviceControl || op == link::kRead ||
                                 op == link::kAppBypassed || op == link::kAppCreate ||
                                 op == link::kClose;
        if (recorded_op)
            room(std::max({in, out, kStatusRecordSize}), limit);
        bool missed = false;  // the request went without the record it makes
        const auto record_minor = [&] {
            missed = unrecorded;
            return unrecorded ? kMinorUnrecorded : uint8_t{0};
        };
        switch (op) {
            case link::kAppCreate: {
                if (created || in != 4) {
                    s.Status = link::kStatusInvalidRequest;  // one open per connection
                    break;
                }
                // A successful open comes with the program's descriptor of this very port; a
                // failed one (reported only by someone who may use the port) carries an error
                // status and no more: it is recorded, and the connection ends with it.
                const uint32_t status = GetLe32(buffer.data());
                if (status != 0) {
                    if (!IsErrorStatus(status)) {
                        s.Status = link::kStatusInvalidRequest;
                        break;
                    }
                    IoCallDriverAndWait(top, IRP_MJ_CREATE, data, 4, 0, 0, 0, record_minor());
                    s.Status = link::kStatusAccessDenied;  // nothing else on this connection
                    break;
                }
                if (!IsDescriptorOfDevice(request.passed.get(), port.DevicePath())) {
                    s.Status = link::kStatusAccessDenied;
                    break;
                }
                // An open file another connection holds already (a child's, inherited) is the
                // same open: not on record again, and its rules stay.
                if (!port.serial.Attach(std::move(request.passed), owner)) {
                    // A tracer follows a whole tree of processes, and a watch names every
                    // opener: which process opened the port is said before its open.
                    const pid_t opener = speaker != 0 ? speaker : peer ? peer->pid : 0;
                    if (opener != 0 && (speaker != 0 || options_.name_openers) &&
                        room(kProcessReportSize + kStatusRecordSize, limit)) {
                        port.last_pid = 0;
                        port.ReportProcess(opener, speaker_name);
                    }
                    s = IoCallDriverAndWait(top, IRP_MJ_CREATE, data, 4, 0, 0, 0, record_minor());
                    if (s.Status != STATUS_SUCCESS) {
                        port.serial.Detach(owner);
                        break;
                    }
                    // The opener is the process of record: another one's first request (a
                    // child's, on the inherited open) is noted.
                    port.last_pid = speaker != 0 ? speaker : peer ? peer->pid : 0;
                }
                created = true;
                page = port.page.fd();
                ring_fd = offer_ring();
                requests.SetDeadline(std::nullopt);
                break;
            }
            case link::kClose:
                if (created) {
                    // The port is let go before the close is recorded: whoever reads "Close Com"
                    // finds the port no longer this program's. The open ends (is recorded and
                    // clears the rules) only with the last connection of its open file.
                    if (port.serial.Detach(owner) && !let_go) {
                        s = IoCallDriverAndWait(top, IRP_MJ_CLEANUP);
                        s = IoCallDriverAndWait(top, IRP_MJ_CLOSE, nullptr, 0, 0, 0, 0,
                                                record_minor());
                        port.last_pid = 0;
                    }
                    created = false;
                }
                break;
            case link::kAppAwaitClosed: {
                const uint32_t limit_ms =
                    in >= 4 ? std::min<uint32_t>(GetLe32(buffer.data()), 60000) : 0;
                std::unique_lock lock(port.apps_mutex);
                port.apps_changed.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] {
                    return port.app_connections <= 1 || port.stopping;  // 1: this one
                });
                s.Information = static_cast<uintptr_t>(port.app_connections - 1);
                break;
            }
            case link::kAppWrite:
            case link::kAppRead:
                if (Expired(request.code)) {
                    s.Status = link::kStatusExpired;
                    break;
                }
                if (unrecorded) {  // the bytes as the lower driver gives them back, unrecorded
                    missed = true;
                    s.Information = in;
                    reply_length = std::min(in, out);
                    break;
                }
                s = IoCallDriverAndWait(top, op == link::kAppRead ? IRP_MJ_READ : IRP_MJ_WRITE,
                                        data, in, 0, 0, 0, continues ? kMinorContinues : 0);
                reply_length = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                break;
            case link::kRead:
                if (unrecorded) {
                    missed = true;
                    s.Information = reply_length = out;
                    break;
                }
                s = IoCallDriverAndWait(top, IRP_MJ_READ, data, out);
                reply_length = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                break;
            case link::kAppAdopt:
                // The program's new image speaks for the same open: no new open on record.
                if (IsDescriptorOfDevice(request.passed.get(), port.DevicePath()) &&
                    port.serial.SameOpenFile(owner, request.passed.get())) {
                    page = port.page.fd();
                    ring_fd = offer_ring();
                } else {
                    s.Status = link::kStatusAccessDenied;
                }
                break;
            case link::kAppOnBehalf:
                // Only a client trusted with every port may name another process; once per
                // connection, before its open.
                if (!trusted || created || speaker != 0 || in != 4 ||
                    static_cast<int32_t>(GetLe32(buffer.data())) <= 0) {
                    s.Status = link::kStatusInvalidRequest;
                    break;
                }
                speaker = static_cast<pid_t>(GetLe32(buffer.data()));
                speaker_name = Port::ProcessName(speaker);  // stopped by its tracer now
                break;
            case link::kAppLetGo:
                if (!trusted || !created) {
                    s.Status = link::kStatusInvalidRequest;
                    break;
                }
                let_go = true;
                break;
            case link::kAppBypassed:
                if (unrecorded && in == kBypassReportSize) {  // told with the host's own count
                    dropped_requests += GetLe32(buffer.data() + 4);
                    dropped_bytes += GetLe32(buffer.data() + 8);
                    break;
                }
                s = IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, data, 0,
                                        IOCTL_SIEVRA_BYPASS_REPORT, in, 0);
                break;
            case link::kDeviceControl:
                if (request.code == IOCTL_SIEVRA_BYPASS_REPORT) {
                    s.Status = link::kStatusInvalidRequest;  // the host's own report only
                    break;
                }
                if (unrecorded) {  // as the lower driver answers a request carried out already
                    missed = true;
                    s.Information = reply_length = out;
                    break;
                }
                s = IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, data, 0, request.code, in, out,
                                        kMinorAlreadyCarriedOut);
                reply_length = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                break;
            default:
                s.Status = link::kStatusInvalidRequest;
                break;
        }
        if (missed) {
            ++dropped_requests;
            dropped_bytes += op == link::kAppWrite || op == link::kAppRead ? in : 0;
        }
        port.drain.TakeQueued();  // what the request recorded, for the control client
        if (op == link::kAppWrite || op == link::kAppRead || op == link::kClose)
            port.PublishRules();  // before the answer: the program's next call looks
        if (reply &&
            !SendResponse(fd, write_mutex, id, s.Status, static_cast<uint32_t>(s.Information),
                          buffer.data(), reply_length, page, ring_fd)) {
            break;
        }
        if (s.Status == link::kStatusAccessDenied || s.Status == link::kStatusInvalidRequest)
            break;  // a refused open ends the connection; the port's other sessions go on
    }
    unrecorded = !report_dropped(kCloseWaitLimit);
    const bool last = port.serial.Detach(owner);
    if (created && last && !let_go) {
        // The application went without closing (it exited or was killed): as at a process's
        // end, its open is cleaned up and closed, which ends its rules and is recorded.
        room(kStatusRecordSize, kCloseWaitLimit);
        IoCallDriverAndWait(top, IRP_MJ_CLEANUP);
        IoCallDriverAndWait(top, IRP_MJ_CLOSE, nullptr, 0, 0, 0, 0,
                            unrecorded ? kMinorUnrecorded : 0);
        dropped_requests += unrecorded ? 1 : 0;
        port.last_pid = 0;
        port.drain.TakeQueued();
    }
    // What this session could not report, the drain reports when the reader has room again.
    if (dropped_requests > 0)
        port.drain.CountUnreported(dropped_requests, dropped_bytes);
    port.CountConnection(-1);  // after the last record it makes
}

}  // namespace sievra
