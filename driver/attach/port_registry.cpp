#include "driver/attach/port_registry.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "driver/link/host_link.h"
#include "driver/link/line_requests.h"
#include "driver/link/real_calls.h"

namespace sievra::attach {
using namespace sievra::link;  // the attachment speaks to the host through the link
namespace {

// Constant-initialised: usable from the first hook, before any constructor runs. Never
// destroyed either, so hooks and the unload at exit may use it after the exit handlers ran.
PortRegistry g_registry;
static_assert(std::is_trivially_destructible_v<PortRegistry>);

// The path of a file in the runtime folder, into out; false when it does not fit.
bool RuntimePath(const char* name, uint32_t number, char* out, size_t size) {
    const char* dir = LinkConfig().runtime_dir;
    size_t n = ::strnlen(dir, size);
    const size_t name_length = std::strlen(name);
    if (n + 1 + name_length + 12 >= size)
        return false;
    std::memcpy(out, dir, n);
    out[n++] = '/';
    std::memcpy(out + n, name, name_length);
    n += name_length;
    if (number != 0) {
        char digits[12];
        int d = 0;
        for (uint32_t v = number; v != 0; v /= 10)
            digits[d++] = static_cast<char>('0' + v % 10);
        while (d > 0)
            out[n++] = digits[--d];
    }
    out[n] = '\0';
    return true;
}

// Root's or this program's own user's: the files of a host the attachment may hand its
// descriptors to.
bool OwnedByHostUser(const struct stat& st) {
    return st.st_uid == 0 || st.st_uid == ::geteuid();
}

bool TrustedFile(const struct stat& st) {
    return S_ISREG(st.st_mode) && OwnedByHostUser(st);
}

// The runtime folder must be a folder (not a link) that only root or this user can change;
// in any other, whatever is there is ignored and the ports pass through.
bool RuntimeFolderTrusted() {
    struct stat st;
    return ::lstat(LinkConfig().runtime_dir, &st) == 0 && S_ISDIR(st.st_mode) &&
           OwnedByHostUser(st) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Parses an unsigned decimal number at p; advances p past it and one separator.
uint64_t Number(const char*& p, const char* end) {
    uint64_t v = 0;
    while (p < end && *p >= '0' && *p <= '9')
        v = v * 10 + static_cast<uint64_t>(*p++ - '0');
    if (p < end)
        ++p;
    return v;
}

}  // namespace

PortRegistry& Registry() {
    return g_registry;
}

bool PortRegistry::RefreshMap() {
    char path[160];
    if (!RuntimePath("SievrMap", 0, path, sizeof path))
        return true;
    struct stat st;
    errno = 0;
    if (!RuntimeFolderTrusted() || ::lstat(path, &st) != 0 || !TrustedFile(st)) {
        // A process that gave up its rights after it started cannot see the folder any more:
        // the map it read then stays, and its home link reaches the host.
        if (errno == EACCES && LinkConfig().home_link.load() >= 0)
            return true;
        map_count_.store(0);
        map_inode_.store(0);
        return true;
    }
    const long mtime = st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec;
    if (static_cast<long>(st.st_ino) == map_inode_.load() && mtime == map_mtime_ns_.load())
        return true;
    bool expected = false;
    if (!map_busy_.compare_exchange_strong(expected, true))
        return false;
    char text[4096];
    ssize_t length = -1;
    // Never a link, never a pipe to wait on: only the host's own regular file is read.
    const int fd = Real().open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat opened;
        if (::fstat(fd, &opened) == 0 && TrustedFile(opened))
            length = Real().read(fd, text, sizeof text);
        Real().close(fd);
    }
    int count = 0;
    const char* p = text;
    const char* end = text + (length > 0 ? length : 0);
    while (p < end && count < kMaxPorts) {
        MapEntry& e = map_[count];
        e.port = static_cast<uint32_t>(Number(p, end));
        const auto major_number = static_cast<unsigned>(Number(p, end));
        const auto minor_number = static_cast<unsigned>(Number(p, end));
        e.device = makedev(major_number, minor_number);
        size_t n = 0;
        while (p < end && *p != '\n' && n + 1 < sizeof e.path)
            e.path[n++] = *p++;
        e.path[n] = '\0';
        while (p < end && *p++ != '\n') {
        }
        if (e.port != 0)
            ++count;
    }
    map_count_.store(count);
    map_inode_.store(static_cast<long>(st.st_ino));
    map_mtime_ns_.store(mtime);
    map_busy_.store(false);
    return true;
}

uint32_t PortRegistry::PortOf(dev_t device) const {
    const int count = map_count_.load();
    for (int i = 0; i < count; ++i) {
        if (map_[i].device == device)
            return map_[i].port;
    }
    return 0;
}

void PortRegistry::NoteDescriptor(int fd) {
    int seen = highest_.load(std::memory_order_relaxed);
    while (fd > seen && !highest_.compare_exchange_weak(seen, fd)) {
    }
}

namespace {

// Keeps errno across a scope: the decision happens inside the program's calls.
class KeepErrno {
  public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }
    KeepErrno(const KeepErrno&) = delete;
    KeepErrno& operator=(const KeepErrno&) = delete;

  private:
    int saved_;
};

}  // namespace

OpenPort* PortRegistry::Detect(int fd) {
    const KeepErrno keep;
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return nullptr;  // not open: nothing to decide
    NoteDescriptor(fd);
    uint32_t port = 0;
    if (S_ISCHR(st.st_mode)) {
        if (!RefreshMap())
            return nullptr;  // decided on a later call
        port = PortOf(st.st_rdev);
    }
    if (port == 0) {
        slots_[fd].store(-1, std::memory_order_release);
        return nullptr;
    }
    for (int i = 0; i < kMaxOpens; ++i) {
        OpenPort& open = opens_[i];
        int expected = 0;
        if (!open.refs.compare_exchange_strong(expected, 1))
            continue;
        open.StartSession(port, st.st_rdev);
        if (!AdoptInherited(open, fd))
            ConnectAndCreate(open, fd, 0);
        const int socket = open.socket.load();
        if (socket >= 0 && socket < kMaxDescriptors) {
            slots_[socket].store(kOwnSocket);
            NoteDescriptor(socket);
        }
        int undecided = 0;
        if (!slots_[fd].compare_exchange_strong(undecided, i + 1)) {
            Release(open);  // another thread decided fd first: its open stands
            return Lookup(fd);
        }
        return &open;
    }
    return nullptr;  // every slot in use: this one is not watched
}

OpenPort* PortRegistry::Watched(int fd, uint32_t& state) {
    state = link::kUnwatched;
    OpenPort* open = Lookup(fd);
    if (open == nullptr)
        return nullptr;
    // An open whose host was slow to answer gets its page (and its watch) once the answer is in.
    if (open->page.load(std::memory_order_relaxed) == nullptr &&
        open->socket.load(std::memory_order_relaxed) >= 0) {
        const KeepErrno keep;
        CatchUp(*open);
    }
    const uint32_t watch = open->WatchState();
    if (watch == link::kUnwatched)
        return nullptr;  // a stale entry costs nothing, so it is not checked
    if (!(watch == link::kWatchedMonitor && CheckedLately(fd, *open)) && !StillRefersTo(fd, *open))
        return nullptr;
    state = watch;
    return open;
}

OpenPort* PortRegistry::WatchedBefore(int fd, uint32_t& state) {
    OpenPort* open = Lookup(fd);
    state = open != nullptr ? open->WatchState() : link::kUnwatched;
    if (state == link::kWatchedMonitor && open->page.load(std::memory_order_relaxed) != nullptr)
        return open;
    return Watched(fd, state);
}

namespace {

// The coarse monotonic clock in milliseconds (it moves in ticks of a few anyway), wrapping in 49
// days: a stamp's age is told modulo that.
uint32_t CoarseNowMs() {
    timespec t;
    Real().clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000u +
                                 static_cast<uint64_t>(t.tv_nsec) / 1000000u);
}

// A stamp: the number (16 bits), the low 16 bits of the count of number changes begun when the
// check started, and the clock. Never 0 for a number above 0; a stamp of 0 is never trusted.
uint64_t Stamp(int fd, uint64_t changes, uint32_t now_ms) {
    return static_cast<uint64_t>(fd) << 48 | ((changes >> 32) & 0xffff) << 32 | now_ms;
}

}  // namespace

bool PortRegistry::CheckedLately(int fd, const OpenPort& open) const {
    // Looked at before the stamp: a change that begins later finds the stamp's count old.
    const uint64_t changes = changes_.load();
    const uint64_t checked = open.checked.load(std::memory_order_relaxed);
    if (checked == 0 || (changes & (kChangeBegun - 1)) != 0 ||
        checked >> 32 != Stamp(fd, changes, 0) >> 32)
        return false;
    return CoarseNowMs() - static_cast<uint32_t>(checked) < kRecheckMs;
}

bool PortRegistry::StillRefersTo(int fd, OpenPort& open) {
    const KeepErrno keep;
    // Counted before the look: a stamp stands only for a check that started after every change
    // before it had ended.
    const uint64_t changes = changes_.load();
    // A vfork child looks at its own descriptors: what it finds is never the parent's to stamp
    // or to forget.
    const bool own = InOwner();
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == open.device) {
        if (own && (changes & (kChangeBegun - 1)) == 0)
            open.checked.store(Stamp(fd, changes, CoarseNowMs()), std::memory_order_relaxed);
        return true;
    }
    if (own)
        Forget(fd);
    return false;
}

void PortRegistry::Opened(int fd) {
    if (!enabled() || fd < 0 || fd >= kMaxDescriptors)
        return;
    Forget(fd);
    if (Detect(fd) == nullptr && slots_[fd].load(std::memory_order_acquire) == -1)
        TellUnlisted(fd);
}

void PortRegistry::TellUnlisted(int fd) {
    const KeepErrno keep;
    struct stat st;
    // Major 5 is /dev/tty, /dev/console and /dev/ptmx: the program's own terminal or a new
    // pseudo-terminal, never a port.
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) == 5)
        return;
    termios modes;
    if (Real().ioctl(fd, TCGETS, &modes) != 0)
        return;  // not a terminal device
    if (last_unlisted_.exchange(st.st_rdev) == st.st_rdev)
        return;
    char link[32] = "/proc/self/fd/";
    size_t n = std::strlen(link);
    char digits[12];
    int d = 0;
    for (unsigned v = static_cast<unsigned>(fd); d == 0 || v != 0; v /= 10)
        digits[d++] = static_cast<char>('0' + v % 10);
    while (d > 0)
        link[n++] = digits[--d];
    link[n] = '\0';
    // The device's path, then (after a NUL) the program's name: the host may find the process
    // gone by the time it reads the notice.
    char device[256 + 1 + 16];
    const ssize_t length = ::readlink(link, device, 256);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (length <= 0 || length >= 256 ||
        !RuntimePath("SievrUnlisted", 0, address.sun_path, sizeof address.sun_path) ||
        !RuntimeFolderTrusted())
        return;
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    // Never waited for: a host that is absent or behind loses the notice, not the program's time.
    size_t size = static_cast<size_t>(length);
    device[size++] = '\0';
    char name[17] = {};
    if (::prctl(PR_GET_NAME, name) == 0) {
        const size_t n = ::strnlen(name, 16);
        std::memcpy(device + size, name, n);
        size += n;
    }
    ::sendto(s, device, size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
             sizeof address);
    Real().close(s);
}

void PortRegistry::OpenFailed(const char* path, int error) {
    if (!enabled() || path == nullptr || path[0] != '/' || !RefreshMap())
        return;
    const int count = map_count_.load();
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(map_[i].path, path) != 0)
            continue;
        OpenPort failed;
        failed.port = map_[i].port;
        ConnectAndCreate(failed, -1, StatusOfOpenError(error));
        return;
    }
}

void PortRegistry::Release(OpenPort& open) {
    if (open.refs.fetch_sub(1) != 1)
        return;
    open.refs.store(-1);  // closing: not free for reuse yet
    const int socket = open.socket.load();
    CloseLink(open);
    if (socket >= 0 && socket < kMaxDescriptors) {
        int own = kOwnSocket;
        slots_[socket].compare_exchange_strong(own, 0);  // the number is free for anything
    }
    ReleaseMappings(open);
    open.refs.store(0);
}

void PortRegistry::Forget(int fd) {
    if (fd < 0 || fd >= kMaxDescriptors)
        return;
    const int slot = slots_[fd].exchange(0);
    if (slot > 0) {
        // The number is no longer known to be the port's, whatever it is made next.
        uint64_t checked = opens_[slot - 1].checked.load();
        if ((checked >> 48) == static_cast<uint64_t>(fd))
            opens_[slot - 1].checked.compare_exchange_strong(checked, 0);
        Release(opens_[slot - 1]);
    } else if (slot == kOwnSocket) {
        // The program closed or replaced one of the attachment's connections (a loop that
        // closes every descriptor, say): that open passes through from now on, and the number
        // is never written to again.
        for (OpenPort& open : opens_) {
            int expected = fd;
            open.socket.compare_exchange_strong(expected, -1);
        }
    }
}

void PortRegistry::Duplicated(int from, int to) {
    if (!enabled() || from < 0 || from >= kMaxDescriptors || to < 0 || to >= kMaxDescriptors)
        return;
    Forget(to);
    const int slot = slots_[from].load();
    if (slot > 0)
        opens_[slot - 1].refs.fetch_add(1);
    slots_[to].store(slot);
    NoteDescriptor(to);
}

void PortRegistry::KeepHomeLink() {
    const int fd = LinkConfig().home_link.load();
    if (fd < 0 || fd >= kMaxDescriptors)
        return;
    slots_[fd].store(kOwnSocket);
    NoteDescriptor(fd);
    RefreshMap();  // while the folder can still be read
}

bool PortRegistry::IsOwnSocket(int fd) const {
    if (fd < 0 || fd >= kMaxDescriptors || slots_[fd].load() != kOwnSocket)
        return false;
    if (IsHomeLink(fd))
        return true;
    // The mark outlives a connection the attachment has since closed itself.
    for (const OpenPort& open : opens_) {
        if (open.socket.load() == fd)
            return true;
    }
    return false;
}

void PortRegistry::ClearForProgram(int fd) {
    if (!IsOwnSocket(fd))
        return;
    if (IsHomeLink(fd)) {
        const KeepErrno keep;
        const int moved = MoveHomeLink();
        if (moved >= 0 && moved < kMaxDescriptors) {
            slots_[moved].store(kOwnSocket);
            NoteDescriptor(moved);
        }
        return;
    }
    for (OpenPort& open : opens_) {
        if (open.socket.load() != fd)
            continue;
        const KeepErrno keep;
        const int moved = MoveSocket(open);
        if (moved >= 0 && moved < kMaxDescriptors) {
            slots_[moved].store(kOwnSocket);
            NoteDescriptor(moved);
        }
    }
}

int PortRegistry::CloseRangeKeepingOwn(unsigned first, unsigned last, int flags) {
    // The attachment's own sockets are few: the range is closed around each, lowest first.
    unsigned from = first;
    for (;;) {
        unsigned own = ~0U;
        if (const int home = LinkConfig().home_link.load();
            home >= 0 && static_cast<unsigned>(home) >= from &&
            static_cast<unsigned>(home) <= last && IsOwnSocket(home)) {
            own = static_cast<unsigned>(home);
        }
        for (const OpenPort& open : opens_) {
            const int fd = open.socket.load();
            if (fd >= 0 && static_cast<unsigned>(fd) >= from && static_cast<unsigned>(fd) <= last &&
                static_cast<unsigned>(fd) < own && IsOwnSocket(fd)) {
                own = static_cast<unsigned>(fd);
            }
        }
        const unsigned to = own == ~0U ? last : own - 1;
        if (own != from && Real().close_range(from, to, flags) != 0)
            return -1;
        if (own == ~0U || own >= last)
            return 0;
        from = own + 1;
    }
}

void PortRegistry::ForgetRange(unsigned first, unsigned last) {
    const unsigned highest = static_cast<unsigned>(highest_.load());
    for (unsigned fd = first; fd <= last && fd <= highest; ++fd) {
        if (!IsOwnSocket(static_cast<int>(fd)))
            Forget(static_cast<int>(fd));
    }
}

void PortRegistry::CloseLinksAtExit() {
    if (owner_.load() != ::getpid())
        return;
    for (OpenPort& open : opens_) {
        if (open.refs.load() > 0 && open.socket.load() >= 0)
            CloseLink(open);  // the descriptors stay: the kernel closes them at the end
    }
}

bool PortRegistry::AdoptInherited(OpenPort& open, int fd) {
    const int count = inherited_count_.load();
    for (int i = 0; i < count; ++i) {
        const int socket = inherited_[i].load();
        if (socket < 0 || inherited_port_[i] != open.port)
            continue;
        int expected = socket;
        if (!inherited_[i].compare_exchange_strong(expected, -1))
            continue;  // another thread took it
        return Adopt(open, socket, fd);
    }
    return false;
}

namespace {

// Calls f(a, b) with each "a:b" pair of a comma-separated list.
template <class F>
void ForEachPair(const char* text, F f) {
    auto number = [](const char*& p) {
        int value = -1;
        for (; *p >= '0' && *p <= '9' && value < (1 << 20); ++p)
            value = (value < 0 ? 0 : value * 10) + (*p - '0');
        return value;
    };
    for (const char* p = text; p != nullptr && *p != '\0';) {
        const int a = number(p);
        const int b = *p == ':' ? number(++p) : -1;
        if (a >= 0 && b >= 0)
            f(a, b);
        while (*p != '\0' && *p != ',')
            ++p;
        if (*p == ',')
            ++p;
    }
}

}  // namespace

int PortRegistry::KeepLinksForExec(int* sockets, uint32_t* ports, int max) {
    // A child sharing this process's memory (vfork) execs with its own descriptors: the
    // connections are the parent's, and its new image makes its own.
    if (!InOwner())
        return 0;
    int count = 0;
    // Connections this image inherited and never took over go on to the next one (a wrapper
    // such as nice or env that execs the real program).
    const int inherited = inherited_count_.load();
    for (int i = 0; i < inherited && count < max; ++i) {
        const int socket = inherited_[i].load();
        if (socket >= 0 && Real().fcntl(socket, F_SETFD, 0) == 0) {
            ports[count] = inherited_port_[i];
            sockets[count++] = socket;
        }
    }
    // The home link goes on too: a program that gave up root and then runs another (setpriv,
    // runuser) can reach the host only through it.
    if (const int home = LinkConfig().home_link.load();
        home >= 0 && count < max && IsHomeLink(home) && Real().fcntl(home, F_SETFD, 0) == 0) {
        ports[count] = kHomePort;
        sockets[count++] = home;
    }
    const int highest = highest_.load();
    for (int fd = 0; fd <= highest && fd < kMaxDescriptors && count < max; ++fd) {
        const int slot = slots_[fd].load();
        if (slot <= 0)
            continue;
        const int socket = opens_[slot - 1].socket.load();
        const int flags = Real().fcntl(fd, F_GETFD);
        if (socket < 0 || flags < 0 || (flags & FD_CLOEXEC) != 0)
            continue;  // this descriptor goes with the exec
        bool listed = false;
        for (int i = 0; i < count; ++i)
            listed = listed || sockets[i] == socket;
        if (!listed && Real().fcntl(socket, F_SETFD, 0) == 0) {
            ports[count] = opens_[slot - 1].port;
            sockets[count++] = socket;
        }
    }
    return count;
}

void PortRegistry::RestoreLinksAfterFailedExec(const int* sockets, int count) {
    for (int i = 0; i < count; ++i)
        Real().fcntl(sockets[i], F_SETFD, FD_CLOEXEC);
}

void PortRegistry::TakeInheritedLinks(const char* text) {
    int count = 0;
    ForEachPair(text, [&](int socket, int port) {
        if (static_cast<uint32_t>(port) == kHomePort) {
            if (socket < kMaxDescriptors && AdoptHomeLink(socket)) {
                slots_[socket].store(kOwnSocket);
                NoteDescriptor(socket);
            }
            return;
        }
        if (count >= kMaxOpens || socket >= kMaxDescriptors ||
            !IsTrustedLink(socket, static_cast<uint32_t>(port)))
            return;  // not a connection of this attachment's: left alone
        Real().fcntl(socket, F_SETFD, FD_CLOEXEC);
        slots_[socket].store(kOwnSocket);
        NoteDescriptor(socket);
        inherited_port_[count] = static_cast<uint32_t>(port);
        inherited_[count++].store(socket);
    });
    inherited_count_.store(count);
}

void PortRegistry::WriteMapText(char* out, size_t size) const {
    size_t n = 0;
    auto put = [&](uint64_t value) {
        char digits[24];
        int d = 0;
        for (uint64_t v = value; d == 0 || v != 0; v /= 10)
            digits[d++] = static_cast<char>('0' + v % 10);
        while (d > 0 && n + 1 < size)
            out[n++] = digits[--d];
    };
    const int count = map_count_.load();
    for (int i = 0; i < count && n + 40 < size; ++i) {
        if (i > 0)
            out[n++] = ',';
        put(map_[i].port);
        out[n++] = ':';
        put(major(map_[i].device));
        out[n++] = ':';
        put(minor(map_[i].device));
    }
    if (size > 0)
        out[n < size ? n : size - 1] = '\0';
}

void PortRegistry::TakeInheritedMap(const char* text) {
    const char* p = text;
    const char* end = text + std::strlen(text);
    int count = 0;
    while (p < end && count < kMaxPorts) {
        MapEntry& e = map_[count];
        e.port = static_cast<uint32_t>(Number(p, end));
        const auto major_number = static_cast<unsigned>(Number(p, end));
        const auto minor_number = static_cast<unsigned>(Number(p, end));
        e.device = makedev(major_number, minor_number);
        e.path[0] = '\0';
        if (e.port != 0)
            ++count;
    }
    map_count_.store(count);
}

void PortRegistry::SettleRecords() {
    if (!enabled())
        return;
    // A vfork child about to exec shares the parent's memory: its new image's records must come
    // after the parent's too. Its descriptors are its own (it may have closed the parent's
    // sockets), so it only waits; a record that found the host asleep woke it.
    const bool own = InOwner();
    const KeepErrno keep;
    const long deadline = link::SettleDeadline();
    for (OpenPort& open : opens_) {
        if (open.refs.load() > 0 && open.socket.load() >= 0)
            link::SettleRecords(open, deadline, own);
    }
}

void PortRegistry::ResetAfterFork() {
    owner_.store(::getpid());
    // The parent's other threads, which may have been inside a change, do not exist here.
    changes_.store(changes_.load() & ~(kChangeBegun - 1));
    // Only the numbers ever decided: the rest of the table was never touched.
    const int highest = highest_.load();
    for (int fd = 0; fd <= highest && fd < kMaxDescriptors; ++fd)
        slots_[fd].store(0, std::memory_order_relaxed);
    for (OpenPort& open : opens_) {
        const int fd = open.socket.exchange(-1);
        if (fd >= 0)
            Real().close(fd);   // the parent's connection stays the parent's
        ReleaseMappings(open);  // the parent's ring and page stay the parent's
        open.lock_owner.store(0);
        open.writer.store(0);  // a thread of the parent, which does not exist here
        open.refs.store(0);
    }
    // The home link is shared with the parent: each request names the process that sends it.
    if (const int home = LinkConfig().home_link.load(); home >= 0 && home < kMaxDescriptors)
        slots_[home].store(kOwnSocket);
}

}  // namespace sievra::attach
