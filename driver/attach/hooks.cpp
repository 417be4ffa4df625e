// The entry points through which a program reaches a terminal, interposed with LD_PRELOAD. Each
// makes the real call first (or, for a filtered write, in place of the program's bytes) and keeps
// errno as the real call left it. Descriptors that are not watched ports, set-user-id programs
// and SIEVRA_DISABLE=1 see the real calls only.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <climits>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "driver/attach/port_calls.h"
#include "driver/attach/port_registry.h"
#include "driver/attach/program_memory.h"
#include "driver/link/control_reports.h"
#include "driver/link/host_link.h"
#include "driver/link/real_calls.h"
#include "driver/sievra_protocol.h"

#define SIEVRA_EXPORT extern "C" __attribute__((visibility("default")))

namespace sievra::attach {
using namespace sievra::link;  // the attachment speaks to the host through the link
namespace {

// Keeps errno across the attachment's own work.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    void Set(int value) { saved_ = value; }

  private:
    int saved_;
};

OpenPort* Monitored(int fd) {
    uint32_t state;
    OpenPort* port = Registry().Watched(fd, state);
    return state == link::kWatchedMonitor ? port : nullptr;
}

bool NeedsMode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

bool Blocking(int fd) {
    const int flags = Real().fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

// The program's own buffers that hold n bytes of a transfer from byte offset on, as at most
// kPieceParts parts (no copy, so that little stack is used even in a signal handler). Returns
// how many bytes the parts cover: n, or less when the span crosses more buffers than that or
// the program's array cannot be read any more.
constexpr int kPieceParts = 8;
size_t Piece(ProgramVector& vector, size_t offset, size_t n, iovec* parts, int& used) {
    used = 0;
    size_t covered = 0;
    iovec entry;
    for (int i = 0; covered < n && used < kPieceParts && vector.Get(i, entry); ++i) {
        if (offset >= entry.iov_len) {
            offset -= entry.iov_len;
            continue;
        }
        const size_t take = std::min(n - covered, entry.iov_len - offset);
        parts[used++] = {static_cast<uint8_t*>(entry.iov_base) + offset, take};
        covered += take;
        offset = 0;
    }
    return covered;
}

// Copies n bytes from a flat buffer into the program's buffers from byte offset on: false
// when they cannot all be written.
bool CopyIn(ProgramVector& vector, size_t offset, const uint8_t* in, size_t n) {
    while (n > 0) {
        iovec parts[kPieceParts];
        int used = 0;
        const size_t covered = Piece(vector, offset, n, parts, used);
        if (covered == 0)
            return false;
        for (int i = 0; i < used; ++i) {
            if (!CopyToProgram(in, parts[i].iov_base, parts[i].iov_len))
                return false;
            in += parts[i].iov_len;
        }
        offset += covered;
        n -= covered;
    }
    return true;
}

// Reports got bytes of a transfer as records of at most a record's data each, in order; an
// empty transfer (a read that returned nothing) is one empty record.
void RecordTransfer(OpenPort& port, uint8_t op, ProgramVector& vector, size_t got) {
    if (got == 0) {
        SendRecord(port, op, 0, nullptr, 0);
        return;
    }
    iovec parts[kPieceParts];
    for (size_t done = 0; done < got;) {
        int used = 0;
        const size_t n =
            Piece(vector, done, std::min<size_t>(sievra::kMaxRecordData, got - done), parts, used);
        if (n == 0)
            return;  // the program's array went meanwhile
        SendRecord(port, done == 0 ? op : op | link::kContinues, 0, parts, used);
        done += n;
    }
}

// Bytes that pass the rules with one exchange: small, so that the answer's buffer fits any
// stack the program calls from.
constexpr size_t kFilterPiece = 1024;

// Copies the bytes of parts of the program's buffers into out: false when they cannot be read.
bool CopyParts(const iovec* parts, int used, uint8_t* out) {
    for (int i = 0; i < used; out += parts[i++].iov_len) {
        if (!CopyFromProgram(parts[i].iov_base, out, parts[i].iov_len))
            return false;
    }
    return true;
}

// Passes got received bytes through the receive rules; they are compacted in place. Returns
// how many are left, or -1 (EFAULT) when the program's buffers went meanwhile (another
// thread's munmap) before any could be handed back.
ssize_t FilterReceived(OpenPort& port, ProgramVector& vector, size_t got) {
    uint8_t filtered[kFilterPiece];
    iovec parts[kPieceParts];
    size_t kept = 0;
    size_t done = 0;
    while (done < got) {
        int used = 0;
        const size_t n = Piece(vector, done, std::min(kFilterPiece, got - done), parts, used);
        if (n == 0)
            break;
        int m = Exchange(port, link::kAppRead, parts, used, filtered, static_cast<uint32_t>(n));
        if (m == kBadInput)
            break;
        bool placed = true;
        if (m < 0) {
            // The host did not answer: the bytes pass unchanged, where they are unless earlier
            // ones were deleted.
            m = static_cast<int>(n);
            if (kept != done)
                placed = CopyParts(parts, used, filtered) && CopyIn(vector, kept, filtered, n);
        } else {
            placed = CopyIn(vector, kept, filtered, static_cast<size_t>(m));
        }
        if (!placed)
            break;
        kept += static_cast<size_t>(m);
        done += n;
    }
    if (kept == 0 && done < got) {
        errno = EFAULT;
        return -1;
    }
    return static_cast<ssize_t>(kept);
}

// What a read of a port returned, after the driver saw it. Returns the program's result;
// kReadAgain when a blocking read's bytes were all deleted.
constexpr ssize_t kReadAgain = -2;
// The most bytes one call may pass without asking the host (as one count of a note).
constexpr size_t kMaxPassage = 1u << 30;

// The port a read's descriptor referred to before the read, when the caller looked. A read whose
// descriptor was made another file meanwhile (dup2 by another thread: the port found before is
// not the one found after) cannot tell which file it read: counted on the port it started on,
// not recorded.
struct PortBefore {
    bool looked = false;
    OpenPort* port = nullptr;
};
ssize_t AfterRead(int fd, ProgramVector& vector, ssize_t got, PortBefore before = {}) {
    if (got < 0)
        return got;
    uint32_t state;
    OpenPort* port = Registry().Watched(fd, state);
    if (before.looked && before.port != port) {
        if (before.port != nullptr)
            before.port->descriptor_changed.Count(static_cast<uint32_t>(got));
        return got;
    }
    if (port == nullptr)
        return got;
    ErrnoKeeper keep;
    if (state == link::kWatchedMonitor) {
        RecordTransfer(*port, link::kAppRead, vector, static_cast<size_t>(got));
        return got;
    }
    if (got == 0)
        return got;
    // Bytes no rule would act on are the program's as they came; the host counts them later.
    if (static_cast<size_t>(got) <= kMaxPassage &&
        ReservePassage(*port, false, static_cast<uint32_t>(got))) {
        NotePassage(*port, false, static_cast<uint32_t>(got), static_cast<uint32_t>(got));
        return got;
    }
    const ssize_t kept = FilterReceived(*port, vector, static_cast<size_t>(got));
    if (kept != 0) {
        if (kept < 0)
            keep.Set(errno);
        return kept;
    }
    // Everything was deleted. 0 would mean hang-up: a blocking read waits for more instead.
    if (Blocking(fd))
        return kReadAgain;
    keep.Set(EAGAIN);
    return -1;
}

// How a read on a filtered port asks the kernel. The kernel answers a buffer it cannot write
// with EFAULT only after it has taken the port's bytes, which are then lost; so the program's
// buffers are looked at first. When one is not writable, the read asks only for the whole
// buffers before it, or for the writable front of that buffer when it is the first; with none
// at all, the read fails with EFAULT and leaves the port's bytes for the next one.
struct ReadPlan {
    bool as_asked = true;  // the program's own call
    int entries = 0;       // else: the program's first entries, all writable,
    iovec front{};         // or (entries 0) the writable front of its first non-empty buffer
};
ReadPlan PlanRead(ProgramVector& vector) {
    ReadPlan plan;
    size_t looked = 0;
    iovec entry;
    for (int i = 0; i < vector.count() && looked < kWritableCheckLimit; ++i) {
        if (!vector.Get(i, entry))
            return plan;  // the real call refuses the array before it takes anything
        const size_t writable = WritablePrefix(entry.iov_base, entry.iov_len);
        if (writable < entry.iov_len) {
            plan.as_asked = false;
            if (looked > 0)
                plan.entries = i;
            else
                plan.front = {entry.iov_base, writable};
            return plan;
        }
        looked += std::min(entry.iov_len, kWritableCheckLimit);
    }
    return plan;
}

// A read (one buffer: single) or readv of the program's, and what the driver makes of it.
ssize_t Read(int fd, const iovec* iov, int count, bool single) {
    for (;;) {
        uint32_t state;
        const PortBefore before{true, Registry().WatchedBefore(fd, state)};
        ProgramVector vector(iov, count, single);
        ReadPlan plan;
        int error = 0;
        if (state == link::kWatchedFilter && count > 0) {
            ErrnoKeeper keep;
            plan = PlanRead(vector);
            if (!plan.as_asked)
                error = VectorError(iov, count, single);  // what the kernel refuses first
        }
        ssize_t got;
        if (plan.as_asked) {
            got = single ? Real().read(fd, iov->iov_base, iov->iov_len)
                         : Real().readv(fd, iov, count);
        } else if (error == 0 && plan.entries > 0) {
            vector = ProgramVector(iov, plan.entries, single);
            got = Real().readv(fd, iov, plan.entries);
        } else if (error == 0 && plan.front.iov_len > 0) {
            vector = ProgramVector(&plan.front, 1, true);
            got = Real().read(fd, plan.front.iov_base, plan.front.iov_len);
        } else {
            errno = error != 0 ? error : EFAULT;
            return -1;
        }
        const ssize_t r = AfterRead(fd, vector, got, before);
        if (r != kReadAgain)
            return r;
    }
}

// Writes what the port takes of the parts: everything on a blocking descriptor (waiting for
// room as the kernel would), what fits now on a non-blocking one. The bytes written, or -1 when
// nothing could be (errno set).
ssize_t WriteParts(int fd, iovec* parts, int count, bool blocking) {
    size_t written = 0;
    while (count > 0) {
        const ssize_t w = Real().writev(fd, parts, count);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN && blocking) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, -1);
                continue;
            }
            return written > 0 ? static_cast<ssize_t>(written) : -1;
        }
        written += static_cast<size_t>(w);
        size_t skip = static_cast<size_t>(w);
        while (count > 0 && skip >= parts->iov_len) {
            skip -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + skip;
            parts->iov_len -= skip;
        }
    }
    return static_cast<ssize_t>(written);
}

// One filtered write at a time per open: a write goes out in pieces, and another thread's
// pieces must not land between them, as the kernel keeps each write to a terminal whole. A
// signal handler that interrupts a filtered write on its own thread writes without waiting.
// Waiters sleep in the kernel (a futex on the writer's id) rather than spin: a write to a full
// port can take long, and spinning writers would starve the host that filters it.
class WriteLock {
  public:
    explicit WriteLock(OpenPort& port) : port_(port) {
        static_assert(sizeof(port.writer) == sizeof(int));
        const pid_t self = static_cast<pid_t>(::gettid());
        for (;;) {
            pid_t expected = 0;
            if (port_.writer.compare_exchange_strong(expected, self, std::memory_order_acquire))
                break;
            if (expected == self)
                return;
            ::syscall(SYS_futex, reinterpret_cast<int*>(&port_.writer), FUTEX_WAIT_PRIVATE,
                      expected, nullptr, nullptr, 0);
        }
        held_ = true;
    }
    ~WriteLock() {
        if (!held_)
            return;
        port_.writer.store(0, std::memory_order_release);
        ::syscall(SYS_futex, reinterpret_cast<int*>(&port_.writer), FUTEX_WAKE_PRIVATE, 1, nullptr,
                  nullptr, 0);
    }

  private:
    OpenPort& port_;
    bool held_ = false;
};

// A write while the filter runs: each piece passes the send rules, then goes out whole. A
// blocking write is done whole; a non-blocking one stops where the port has no room, as the
// kernel's would (EAGAIN when nothing went). The program's bytes reach the host through the
// kernel (which answers EFAULT for an unreadable buffer) and its array through checked copies.
ssize_t FilteredWrite(OpenPort& port, int fd, ProgramVector& vector, size_t total) {
    const WriteLock one_at_a_time(port);
    const bool blocking = Blocking(fd);
    uint8_t filtered[kFilterPiece];
    iovec parts[kPieceParts];
    size_t done = 0;
    while (done < total) {
        if (!blocking) {
            pollfd room{fd, POLLOUT, 0};
            if (::poll(&room, 1, 0) == 0) {
                errno = EAGAIN;
                break;
            }
        }
        int used = 0;
        const size_t n = Piece(vector, done, std::min(kFilterPiece, total - done), parts, used);
        const int m = n == 0 ? kBadInput
                             : Exchange(port, link::kAppWrite, parts, used, filtered,
                                        static_cast<uint32_t>(n));
        if (m == kBadInput) {
            errno = EFAULT;  // as the real write reports a buffer it cannot read
            break;
        }
        iovec out{filtered, m >= 0 ? static_cast<size_t>(m) : 0};
        const ssize_t w =
            m >= 0 ? WriteParts(fd, &out, 1, blocking) : WriteParts(fd, parts, used, blocking);
        if (w < 0)
            break;
        // A piece the port took only in part counts as far as it went (the rules keep each
        // byte's place, but for one deleted byte).
        const size_t went = m >= 0 && static_cast<size_t>(w) == out.iov_len
                                ? n
                                : std::min(static_cast<size_t>(w), n);
        done += went;
        if (went < n)
            break;
    }
    return done > 0 || total == 0 ? static_cast<ssize_t>(done) : -1;
}

// The bytes a write of vector carries, as the kernel counts them: every length, up to the most
// one call transfers.
size_t TransferLength(ProgramVector& vector) {
    const size_t most = static_cast<size_t>(INT_MAX) & ~(static_cast<size_t>(::getpagesize()) - 1);
    size_t total = 0;
    iovec entry;
    for (int i = 0; i < vector.count() && total < most && vector.Get(i, entry); ++i)
        total += std::min(entry.iov_len, most - total);
    return total;
}

// A write (one buffer: single) or writev of the program's, and what the driver makes of it.
ssize_t Write(int fd, const iovec* iov, int count, bool single) {
    uint32_t state;
    OpenPort* port = Registry().WatchedBefore(fd, state);
    ProgramVector vector(iov, count, single);
    if (state == link::kWatchedFilter) {
        ErrnoKeeper keep;
        // What the kernel refuses before writing anything, refused the same way.
        if (const int error = VectorError(iov, count, single); error != 0) {
            keep.Set(error);
            return -1;
        }
        const size_t total = TransferLength(vector);
        // A write no rule would act on goes as the program made it, whole, unless a filtered
        // write of another thread is under way (its pieces must not be parted).
        if (total <= kMaxPassage && port->writer.load() == 0 &&
            ReservePassage(*port, true, static_cast<uint32_t>(total))) {
            const ssize_t r = single ? Real().write(fd, iov->iov_base, iov->iov_len)
                                     : Real().writev(fd, iov, count);
            if (r < 0)
                keep.Set(errno);
            NotePassage(*port, true, static_cast<uint32_t>(total),
                        r > 0 ? static_cast<uint32_t>(r) : 0);
            return r;
        }
        const ssize_t r = FilteredWrite(*port, fd, vector, total);
        if (r < 0)
            keep.Set(errno);
        return r;
    }
    const ssize_t r =
        single ? Real().write(fd, iov->iov_base, iov->iov_len) : Real().writev(fd, iov, count);
    if (r > 0 && state == link::kWatchedMonitor) {
        ErrnoKeeper keep;
        uint32_t now;
        if (Registry().Watched(fd, now) != port)  // made another file meanwhile (see AfterRead)
            port->descriptor_changed.Count(static_cast<uint32_t>(r));
        else
            RecordTransfer(*port, link::kAppWrite, vector, static_cast<size_t>(r));
    }
    return r;
}

}  // namespace

bool IsWatchedPort(int fd) {
    uint32_t state;
    return Registry().Watched(fd, state) != nullptr;
}

ssize_t WriteToPort(int fd, const void* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const iovec rest{static_cast<uint8_t*>(const_cast<void*>(data)) + done, n - done};
        const ssize_t w = Write(fd, &rest, 1, true);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(done);
}

void WrittenAside(int fd, const void* data, size_t n) {
    uint32_t state;
    OpenPort* port = Registry().Watched(fd, state);
    if (port == nullptr || n == 0)
        return;
    ErrnoKeeper keep;
    if (state == link::kWatchedMonitor) {
        const iovec whole{const_cast<void*>(data), n};
        ProgramVector vector(&whole, 1, true);
        RecordTransfer(*port, link::kAppWrite, vector, n);
    } else {
        port->interrupted_sent.Count(static_cast<uint32_t>(n));
    }
}

void CountUnseen(int fd, uint32_t calls, size_t bytes) {
    uint32_t state;
    OpenPort* port = Registry().Watched(fd, state);
    if (port == nullptr || calls == 0)
        return;
    port->unseen.requests.fetch_add(calls, std::memory_order_relaxed);
    port->unseen.bytes.fetch_add(static_cast<uint32_t>(bytes), std::memory_order_relaxed);
}

ssize_t ReadAside(int fd, void* data, size_t got) {
    const iovec whole{data, got};
    ProgramVector vector(&whole, 1, true);
    const ssize_t r = AfterRead(fd, vector, static_cast<ssize_t>(got));
    if (r == kReadAgain) {
        errno = EAGAIN;
        return -1;
    }
    return r;
}

namespace {

LineState LineOf(int fd, const termios& t) {
    LineState line;
    line.iflag = t.c_iflag;
    line.cflag = t.c_cflag;
    line.lflag = t.c_lflag;
    TakeControlChars(t.c_cc, line);
    line.speed = PortSpeed(fd);
    return line;
}

int Opened(int fd, const char* path, int flags) {
    ErrnoKeeper keep;
    if (fd >= 0) {
        if ((flags & O_PATH) == 0)
            Registry().Opened(fd);
    } else {
        Registry().OpenFailed(path, errno);
    }
    return fd;
}

void AfterDuplicate(int from, int to) {
    if (to >= 0 && to != from && Registry().InOwner()) {
        ErrnoKeeper keep;
        Registry().Duplicated(from, to);
    }
}

bool IsDuplicate(int cmd) {
    return cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC;
}

// The environment of an exec that keeps links: the program's, without any earlier list, and the
// list of kept connections. Built in one anonymous mapping, not on the heap: exec is called from
// vfork children and signal handlers. Gone with the exec; undone when the exec fails.
class ExecEnvironment {
  public:
    static constexpr const char* kName = "SIEVRA_LINKS=";

    static constexpr const char* kMapName = "SIEVRA_MAP=";

    // with_map: the port map goes along too, for an image that may no longer read the folder
    // (the home link is among the links).
    ExecEnvironment(char* const* envp, const int* sockets, const uint32_t* ports, int count,
                    bool with_map) {
        size_t entries = 0;
        for (char* const* e = envp; e != nullptr && *e != nullptr; ++e)
            ++entries;
        constexpr size_t kListSize = 16 + PortRegistry::kMaxOpens * 24;
        constexpr size_t kMapSize = 16 + PortRegistry::kMaxPorts * 40;
        size_ = (entries + 3) * sizeof(char*) + kListSize + kMapSize;
        void* block =
            ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            return;
        block_ = block;
        auto** env = static_cast<char**>(block);
        char* list = reinterpret_cast<char*>(env + entries + 3);
        size_t used = 0;
        for (size_t i = 0; i < entries; ++i) {
            if (std::strncmp(envp[i], kName, std::strlen(kName)) != 0 &&
                std::strncmp(envp[i], kMapName, std::strlen(kMapName)) != 0)
                env[used++] = envp[i];
        }
        if (with_map) {
            char* map = list + kListSize;
            const size_t name = std::strlen(kMapName);
            std::memcpy(map, kMapName, name);
            Registry().WriteMapText(map + name, kMapSize - name);
            env[used++] = map;
        }
        size_t n = std::strlen(kName);
        std::memcpy(list, kName, n);
        auto put = [&](unsigned value) {
            char digits[12];
            int d = 0;
            for (unsigned v = value; d == 0 || v != 0; v /= 10)
                digits[d++] = static_cast<char>('0' + v % 10);
            while (d > 0)
                list[n++] = digits[--d];
        };
        for (int i = 0; i < count; ++i) {
            if (i > 0)
                list[n++] = ',';
            put(static_cast<unsigned>(sockets[i]));
            list[n++] = ':';
            put(ports[i]);
        }
        list[n] = '\0';
        env[used++] = list;
        env[used] = nullptr;
        env_ = env;
    }
    ~ExecEnvironment() {
        if (block_ != nullptr)
            ::munmap(block_, size_);
    }
    ExecEnvironment(const ExecEnvironment&) = delete;
    ExecEnvironment& operator=(const ExecEnvironment&) = delete;

    // The environment to pass; null when it could not be made (the links then close).
    char* const* get() const { return env_; }

  private:
    void* block_ = nullptr;
    size_t size_ = 0;
    char** env_ = nullptr;
};

// Runs exec(env) with the links of the opens that survive it kept open and named in env. An
// exec that returns failed: the links close on exec again, and errno is the exec's.
template <class Exec>
int ExecKeepingLinks(char* const* envp, Exec exec) {
    {
        ErrnoKeeper keep;
        TellHomeIfUnfollowed();
        Registry().SettleRecords();
    }
    int sockets[PortRegistry::kMaxOpens];
    uint32_t ports[PortRegistry::kMaxOpens];
    const int count = Registry().enabled()
                          ? Registry().KeepLinksForExec(sockets, ports, PortRegistry::kMaxOpens)
                          : 0;
    if (count == 0)
        return exec(envp);
    bool home = false;
    for (int i = 0; i < count; ++i)
        home = home || ports[i] == PortRegistry::kHomePort;
    const ExecEnvironment environment(envp, sockets, ports, count, home);
    if (environment.get() == nullptr) {
        PortRegistry::RestoreLinksAfterFailedExec(sockets, count);
        return exec(envp);
    }
    const int r = exec(environment.get());
    ErrnoKeeper keep;
    PortRegistry::RestoreLinksAfterFailedExec(sockets, count);
    return r;
}

// The arguments of execl and its siblings as an array, in an anonymous mapping (see above).
class ArgumentList {
  public:
    ArgumentList(const char* first, va_list args, char* const** envp) {
        va_list count_args;
        va_copy(count_args, args);
        size_t n = 1;
        while (va_arg(count_args, char*) != nullptr)
            ++n;
        va_end(count_args);
        size_ = (n + 1) * sizeof(char*);
        void* block =
            ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            return;
        argv_ = static_cast<char**>(block);
        argv_[0] = const_cast<char*>(first);
        for (size_t i = 1; i <= n; ++i)
            argv_[i] = va_arg(args, char*);
        if (envp != nullptr)
            *envp = va_arg(args, char* const*);
    }
    ~ArgumentList() {
        if (argv_ != nullptr)
            ::munmap(argv_, size_);
    }
    ArgumentList(const ArgumentList&) = delete;
    ArgumentList& operator=(const ArgumentList&) = delete;
    char* const* get() const { return argv_; }

  private:
    char** argv_ = nullptr;
    size_t size_ = 0;
};

__attribute__((constructor)) void Load() {
    ErrnoKeeper keep;
    ResolveRealCalls();
    if (::getauxval(AT_SECURE) != 0)
        return;  // set-user-id and similar: never touched
    const char* disable = std::getenv("SIEVRA_DISABLE");
    if (disable != nullptr && std::strcmp(disable, "1") == 0)
        return;
    HostLinkConfig& config = LinkConfig();
    const char* dir = std::getenv("SIEVRA_RUNTIME_DIR");
    if (dir == nullptr || *dir == '\0')
        dir = "/run/sievra";
    std::strncpy(config.runtime_dir, dir, sizeof config.runtime_dir - 1);
    if (const char* ms = std::getenv("SIEVRA_REPLY_MS"); ms != nullptr) {
        const long value = std::strtol(ms, nullptr, 10);
        if (value > 0 && value <= 60000)
            config.reply_timeout_ms = static_cast<int>(value);
    }
    ::pthread_atfork([] { Registry().SettleRecords(); }, nullptr,
                     [] { Registry().ResetAfterFork(); });
    if (const char* map = std::getenv("SIEVRA_MAP"); map != nullptr) {
        Registry().TakeInheritedMap(map);
        ::unsetenv("SIEVRA_MAP");
    }
    if (const char* links = std::getenv("SIEVRA_LINKS"); links != nullptr) {
        Registry().TakeInheritedLinks(links);
        ::unsetenv("SIEVRA_LINKS");  // the list is this image's, not its children's
    }
    Registry().Enable();
    Dl_info self{};
    if (::dladdr(reinterpret_cast<void*>(&Load), &self) != 0 && self.dli_fname != nullptr &&
        ::realpath(self.dli_fname, config.library) == nullptr)
        config.library[0] = '\0';
    if (LinkConfig().home_link.load() >= 0 || OpenHomeLink() >= 0)
        Registry().KeepHomeLink();
}

// A program that ends without closing its port leaves the close to the kernel, which the host
// learns of only when the connection drops, possibly after whoever waits for the program's
// records has stopped reading. This runs after the program's own exit handlers (though before
// the destructors of libraries loaded after the attachment); _exit and a kill skip it.
__attribute__((destructor)) void Unload() {
    ErrnoKeeper keep;
    if (Registry().enabled() && Registry().InOwner()) {
        FlushStreamsAtExit();
        Registry().CloseLinksAtExit();
    }
}

}  // namespace
}  // namespace sievra::attach

using namespace sievra::attach;

// --- opening -----------------------------------------------------------------------------

#define SIEVRA_MODE_ARG(flags)       \
    mode_t mode = 0;                 \
    if (NeedsMode(flags)) {          \
        va_list args;                \
        va_start(args, flags);       \
        mode = va_arg(args, mode_t); \
        va_end(args);                \
    }

SIEVRA_EXPORT int open(const char* path, int flags, ...) {
    SIEVRA_MODE_ARG(flags);
    return Opened(Real().open(path, flags, mode), path, flags);
}
SIEVRA_EXPORT int open64(const char* path, int flags, ...) {
    SIEVRA_MODE_ARG(flags);
    return Opened(Real().open64(path, flags, mode), path, flags);
}
SIEVRA_EXPORT int openat(int dir, const char* path, int flags, ...) {
    SIEVRA_MODE_ARG(flags);
    return Opened(Real().openat(dir, path, flags, mode), path, flags);
}
SIEVRA_EXPORT int openat64(int dir, const char* path, int flags, ...) {
    SIEVRA_MODE_ARG(flags);
    return Opened(Real().openat64(dir, path, flags, mode), path, flags);
}
SIEVRA_EXPORT int __open_2(const char* path, int flags) {
    return Opened(Real().open_2(path, flags), path, flags);
}
SIEVRA_EXPORT int __open64_2(const char* path, int flags) {
    return Opened(Real().open64_2(path, flags), path, flags);
}
SIEVRA_EXPORT int __openat_2(int dir, const char* path, int flags) {
    return Opened(Real().openat_2(dir, path, flags), path, flags);
}
SIEVRA_EXPORT int __openat64_2(int dir, const char* path, int flags) {
    return Opened(Real().openat64_2(dir, path, flags), path, flags);
}

// --- descriptors -------------------------------------------------------------------------

SIEVRA_EXPORT int close(int fd) {
    // The attachment's own connection stays open (a program closing every number it does not
    // know): its number must not go to the program's next socket.
    if (Registry().IsOwnSocket(fd))
        return 0;
    const NumberChange change(Registry());
    const int r = Real().close(fd);
    ErrnoKeeper keep;
    if ((r == 0 || errno != EBADF) && Registry().InOwner())
        Registry().Forget(fd);  // Linux frees the number even when close reports an error
    return r;
}
SIEVRA_EXPORT int close_range(unsigned first, unsigned last, int flags) {
    if (first > last || !Registry().enabled())
        return Real().close_range(first, last, flags);
    const NumberChange change(Registry());
    const int r = Registry().CloseRangeKeepingOwn(first, last, flags);
    if (r == 0 && (flags & CLOSE_RANGE_CLOEXEC) == 0 && Registry().InOwner()) {
        ErrnoKeeper keep;
        Registry().ForgetRange(first, last);
    }
    return r;
}
SIEVRA_EXPORT void closefrom(int first) {
    if (first < 0)
        first = 0;
    close_range(static_cast<unsigned>(first), ~0U, 0);
}
SIEVRA_EXPORT int dup(int fd) {
    const int r = Real().dup(fd);
    AfterDuplicate(fd, r);
    return r;
}
SIEVRA_EXPORT int dup2(int fd, int to) {
    Registry().ClearForProgram(to);
    const NumberChange change(Registry());
    const int r = Real().dup2(fd, to);
    AfterDuplicate(fd, r);
    return r;
}
SIEVRA_EXPORT int dup3(int fd, int to, int flags) {
    Registry().ClearForProgram(to);
    const NumberChange change(Registry());
    const int r = Real().dup3(fd, to, flags);
    AfterDuplicate(fd, r);
    return r;
}
// login_tty makes fd the standard descriptors and closes fd with the C library's own calls,
// which no hook sees: told to the registry as the program's dup2 and close are.
SIEVRA_EXPORT int login_tty(int fd) {
    if (Real().login_tty == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    for (int standard = 0; standard <= 2; ++standard)
        Registry().ClearForProgram(standard);
    const NumberChange change(Registry());
    const int r = Real().login_tty(fd);
    if (r == 0 && Registry().InOwner()) {
        ErrnoKeeper keep;
        for (int standard = 0; standard <= 2; ++standard) {
            if (standard != fd)
                Registry().Duplicated(fd, standard);
        }
        if (fd > 2)
            Registry().Forget(fd);
    }
    return r;
}
SIEVRA_EXPORT int fcntl(int fd, int cmd, ...) {
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int r = Real().fcntl(fd, cmd, arg);
    if (IsDuplicate(cmd))
        AfterDuplicate(fd, r);
    return r;
}
SIEVRA_EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int r = Real().fcntl64(fd, cmd, arg);
    if (IsDuplicate(cmd))
        AfterDuplicate(fd, r);
    return r;
}

// --- program images ----------------------------------------------------------------------

// --- ending ------------------------------------------------------------------------------

// _exit skips the exit-time close (Unload): a child that writes on its parent's port and ends
// with _exit (a shell's subshell, os._exit after fork) would leave its last records to be served
// after the parent's later ones. Its connections are closed first here, as at exit; a vfork
// child, which is not the registry's owner, closes nothing of its parent's.
namespace {
[[noreturn]] void EndProcess(int status) {
    {
        ErrnoKeeper keep;
        if (Registry().enabled())
            Registry().CloseLinksAtExit();
    }
    for (;;)
        ::syscall(SYS_exit_group, status);
}
}  // namespace

SIEVRA_EXPORT void _exit(int status) {
    EndProcess(status);
}
SIEVRA_EXPORT void _Exit(int status) {
    EndProcess(status);
}

SIEVRA_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) {
    return ExecKeepingLinks(envp, [&](char* const* env) { return Real().execve(path, argv, env); });
}
SIEVRA_EXPORT int execv(const char* path, char* const argv[]) {
    return ExecKeepingLinks(environ,
                            [&](char* const* env) { return Real().execve(path, argv, env); });
}
SIEVRA_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) {
    return ExecKeepingLinks(envp,
                            [&](char* const* env) { return Real().execvpe(file, argv, env); });
}
SIEVRA_EXPORT int execvp(const char* file, char* const argv[]) {
    return ExecKeepingLinks(environ,
                            [&](char* const* env) { return Real().execvpe(file, argv, env); });
}
SIEVRA_EXPORT int fexecve(int fd, char* const argv[], char* const envp[]) {
    return ExecKeepingLinks(envp, [&](char* const* env) { return Real().fexecve(fd, argv, env); });
}
SIEVRA_EXPORT int execl(const char* path, const char* arg, ...) {
    va_list args;
    va_start(args, arg);
    const ArgumentList argv(arg, args, nullptr);
    va_end(args);
    return argv.get() == nullptr ? (errno = ENOMEM, -1) : execv(path, argv.get());
}
SIEVRA_EXPORT int execlp(const char* file, const char* arg, ...) {
    va_list args;
    va_start(args, arg);
    const ArgumentList argv(arg, args, nullptr);
    va_end(args);
    return argv.get() == nullptr ? (errno = ENOMEM, -1) : execvp(file, argv.get());
}
SIEVRA_EXPORT int execle(const char* path, const char* arg, ...) {
    va_list args;
    va_start(args, arg);
    char* const* envp = nullptr;
    const ArgumentList argv(arg, args, &envp);
    va_end(args);
    return argv.get() == nullptr ? (errno = ENOMEM, -1) : execve(path, argv.get(), envp);
}

// --- data --------------------------------------------------------------------------------

SIEVRA_EXPORT ssize_t read(int fd, void* buffer, size_t n) {
    const iovec whole{buffer, n};
    return Read(fd, &whole, 1, true);
}
SIEVRA_EXPORT ssize_t __read_chk(int fd, void* buffer, size_t n, size_t size) {
    if (n > size)
        return Real().read_chk(fd, buffer, n, size);  // reports the overflow as it would
    return read(fd, buffer, n);
}
SIEVRA_EXPORT ssize_t readv(int fd, const iovec* iov, int count) {
    return Read(fd, iov, count, false);
}
// Terminals cannot seek: these fail on a port as they would anyway, and pass through.
SIEVRA_EXPORT ssize_t pread64(int fd, void* buffer, size_t n, off_t offset) {
    return Real().pread64(fd, buffer, n, offset);
}
SIEVRA_EXPORT ssize_t pwrite64(int fd, const void* buffer, size_t n, off_t offset) {
    return Real().pwrite64(fd, buffer, n, offset);
}
SIEVRA_EXPORT ssize_t write(int fd, const void* buffer, size_t n) {
    const iovec whole{const_cast<void*>(buffer), n};
    return Write(fd, &whole, 1, true);
}
SIEVRA_EXPORT ssize_t writev(int fd, const iovec* iov, int count) {
    return Write(fd, iov, count, false);
}

// --- terminal and modem calls -------------------------------------------------------------

SIEVRA_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    OpenPort* port = Monitored(fd);
    ModemCounters before;
    TerminalFlags flags_before;
    if (port != nullptr && IsModemWait(request)) {
        ErrnoKeeper keep;
        ReadModemCounters(fd, before);
    }
    if (port != nullptr && SetsTerminalFlags(request)) {
        ErrnoKeeper keep;
        flags_before = ReadTerminalFlags(fd);
    }
    const int r = Real().ioctl(fd, request, arg);
    if (port != nullptr && r >= 0) {
        ErrnoKeeper keep;
        ReportIoctl(*port, fd, request, arg, before);
        bool exclusive = false;
        if (SetsTerminalFlags(request))
            ReportTerminalFlags(*port, flags_before, ReadTerminalFlags(fd));
        else if (ChangesExclusiveUse(request, exclusive))
            ReportExclusive(*port, exclusive);
    } else if (port != nullptr) {
        // A refused request is reported too, marked failed: what a change asked (the kernel may
        // refuse before reading the argument, so it is copied without trusting the pointer; a
        // bad one is not reported), a value as it was, a query's zeros.
        const int error = errno;
        ErrnoKeeper keep;
        alignas(8) unsigned char copy[128] = {};
        const void* argument = copy;
        if (request == TCFLSH || request == TCSBRK || request == TCXONC || request == TIOCMIWAIT)
            argument = arg;
        else if (ArgumentIsInput(request) && !CopyFromProgram(arg, copy, ArgumentBytes(request)))
            return r;
        MarkFailure(error);
        ReportIoctl(*port, fd, request, argument, before);
        ClearFailure();
    }
    return r;
}
SIEVRA_EXPORT int tcsetattr(int fd, int action, const termios* t) {
    OpenPort* port = Monitored(fd);
    TerminalFlags before;
    if (port != nullptr) {
        ErrnoKeeper keep;
        before = ReadTerminalFlags(fd);
    }
    const int r = Real().tcsetattr(fd, action, t);
    if (r == 0 && t != nullptr && port != nullptr) {
        ErrnoKeeper keep;
        ReportSetLine(*port, LineOf(fd, *t), action == TCSAFLUSH);
        ReportTerminalFlags(*port, before, ReadTerminalFlags(fd));
    }
    return r;
}
SIEVRA_EXPORT int tcgetattr(int fd, termios* t) {
    const int r = Real().tcgetattr(fd, t);
    if (r == 0) {
        if (OpenPort* port = Monitored(fd)) {
            ErrnoKeeper keep;
            ReportGetLine(*port, LineOf(fd, *t));
        }
    }
    return r;
}
SIEVRA_EXPORT int tcflush(int fd, int queue) {
    const int r = Real().tcflush(fd, queue);
    if (r == 0) {
        if (OpenPort* port = Monitored(fd)) {
            ErrnoKeeper keep;
            ReportPurge(*port, PurgeFlagsOf(queue));
        }
    }
    return r;
}
// Waiting for the output to drain has no serial control request of its own: nothing is
// reported (as for TCSBRK with a non-zero argument).
SIEVRA_EXPORT int tcdrain(int fd) {
    return Real().tcdrain(fd);
}
SIEVRA_EXPORT int tcsendbreak(int fd, int duration) {
    const int r = Real().tcsendbreak(fd, duration);
    if (r == 0) {
        if (OpenPort* port = Monitored(fd)) {
            ErrnoKeeper keep;
            ReportControl(*port, comm::IOCTL_SERIAL_SET_BREAK_ON);
            ReportControl(*port, comm::IOCTL_SERIAL_SET_BREAK_OFF);
        }
    }
    return r;
}
SIEVRA_EXPORT int tcflow(int fd, int action) {
    const int r = Real().tcflow(fd, action);
    if (r == 0) {
        if (OpenPort* port = Monitored(fd)) {
            ErrnoKeeper keep;
            ReportIoctl(*port, fd, TCXONC, reinterpret_cast<void*>(static_cast<intptr_t>(action)),
                        ModemCounters{});
        }
    }
    return r;
}
