#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "driver/link/open_port.h"

namespace sievra::attach {
using link::OpenPort;

// Which descriptors of this process are ports, decided lazily on first use and kept per
// descriptor number: a descriptor is a port when it is a character device whose device number
// the host's port map lists. Lookups are lock-free and allocation-free; the map is read from the
// runtime folder when it changes.
class PortRegistry {
  public:
    static constexpr int kMaxDescriptors = 1 << 16;  // higher numbers are never watched
    static constexpr int kMaxOpens = 128;
    static constexpr int kMaxPorts = 64;
    // The port number that names the home link among the links kept across exec.
    static constexpr uint32_t kHomePort = 0;

    // Enables the registry (after the configuration is read); until then nothing is a port.
    void Enable() {
        owner_.store(::getpid());
        enabled_.store(true);
    }
    bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

    // The open that fd refers to, or nullptr when fd is not a watched port.
    OpenPort* Lookup(int fd) {
        if (fd < 0 || fd >= kMaxDescriptors || !enabled())
            return nullptr;
        const int slot = slots_[fd].load(std::memory_order_acquire);
        if (slot > 0)
            return &opens_[slot - 1];
        if (slot < 0)
            return nullptr;
        return Detect(fd);
    }

    // The open fd refers to while someone watches it (its state in state), else nullptr with
    // state kUnwatched. A watched descriptor is checked against the port's device: a number the
    // program closed where the attachment could not see it (a raw system call), which may name
    // a pipe or a socket now, is forgotten once found, and then never recorded or filtered as
    // the port. While rules run (they change the call's bytes) every call is checked; a
    // monitored descriptor at most every kRecheckMs, since a check is a system call and costs
    // more than the record itself: what a raw system call put at the number within that time may
    // be recorded as the port's. What the program does through the C library (close, dup2, open,
    // fclose, freopen, login_tty...) reaches the registry at once either way, and while such a
    // change is under way every call is checked.
    OpenPort* Watched(int fd, uint32_t& state);
    static constexpr uint32_t kRecheckMs = 10;
    // As Watched, before a call: checked against the device only while rules run (they act on
    // the call's bytes); a monitored call is checked after it, as Watched does, before it is
    // recorded.
    OpenPort* WatchedBefore(int fd, uint32_t& state);
    // A descriptor the program just opened: decided at once, so the open is reported.
    void Opened(int fd);
    // A failed open of path: reported when path names a port.
    void OpenFailed(const char* path, int error);
    // fd no longer refers to what it did (closed, or about to be replaced).
    void Forget(int fd);
    // Around a call of the program's that may give a number another file (close, dup2,
    // freopen...): from its start until the registry has been told, another thread may already
    // use the number for something new, so every monitored descriptor is checked again (see
    // Watched) until the change has ended and a check has been made after it began.
    void BeginNumberChange() { changes_.fetch_add(kChangeBegun | 1); }
    void EndNumberChange() { changes_.fetch_sub(1); }
    // to is a copy of from.
    void Duplicated(int from, int to);
    // Forgets every descriptor in [first, last].
    void ForgetRange(unsigned first, unsigned last);
    // Marks the home link (see OpenHomeLink) as the attachment's own and reads the map while the
    // folder can still be reached.
    void KeepHomeLink();
    // True when fd is one of the attachment's own connections to the host.
    bool IsOwnSocket(int fd) const;
    // The program is about to put something else at number fd (dup2): a connection of the
    // attachment there moves to another number first, so its open keeps its session.
    void ClearForProgram(int fd);
    // close_range for the program, leaving the attachment's own connections open: their numbers
    // must never go to the program's next socket while the attachment still writes to them.
    int CloseRangeKeepingOwn(unsigned first, unsigned last, int flags);
    // False in a child that shares this process's memory without being its own process yet
    // (vfork): what it closes is its own, and the parent's opens stay the parent's.
    bool InOwner() const { return owner_.load(std::memory_order_relaxed) == ::getpid(); }
    // The process that loaded the attachment (or the child that reset it after fork) is ending:
    // every open it still holds is closed on record, confirmed by the host. A child that shares
    // the parent's connections without the reset (vfork, a raw clone) leaves them alone.
    void CloseLinksAtExit();
    // Before a fork or an exec (a vfork child's too): waits until the host has put every record
    // of this process's opens on record, so that none comes after what the child or the new
    // image does.
    void SettleRecords();
    // In a child after fork: the parent's connections are the parent's; everything is decided
    // again (and reported as the child's own opens) when the child uses it.
    void ResetAfterFork();

    // Before exec: the connections of opens whose descriptors survive the exec are kept open
    // across it, so that the new image speaks for the same open (one open, one close on record,
    // rules kept). Their numbers go to sockets (at most max); Restore undoes it when exec fails.
    int KeepLinksForExec(int* sockets, uint32_t* ports, int max);
    static void RestoreLinksAfterFailedExec(const int* sockets, int count);
    // At load: the connections the previous image kept ("socket:port" pairs separated by
    // commas), waiting for the descriptors they belong to; kept closed on exec again.
    // A kHomePort entry is the home link, taken as this image's own when it is one.
    void TakeInheritedLinks(const char* text);
    // The map as "port:major:minor" entries separated by commas, into out (always terminated),
    // for the next image; and the map the previous image passed, for an image that may not read
    // the folder.
    void WriteMapText(char* out, size_t size) const;
    void TakeInheritedMap(const char* text);

  private:
    struct MapEntry {
        uint32_t port;
        dev_t device;
        char path[108];
    };
    OpenPort* Detect(int fd);
    // fd, just opened, is no port: when it is a terminal device (not the process's own terminal
    // by its generic names), the host is told, so that a watcher learns why nothing is recorded.
    void TellUnlisted(int fd);
    // Takes over an inherited connection for open's port when the host agrees it is fd's.
    bool AdoptInherited(OpenPort& open, int fd);
    // True when fd is still the character device of open (then stamped as checked); forgets fd
    // when not.
    bool StillRefersTo(int fd, OpenPort& open);
    // True when fd was found to be open's device less than kRecheckMs ago, and no number
    // change has begun since.
    bool CheckedLately(int fd, const OpenPort& open) const;
    // Reads the map file again when it changed; false when another thread is reading it.
    bool RefreshMap();
    uint32_t PortOf(dev_t device) const;
    void Release(OpenPort& open);
    void NoteDescriptor(int fd);

    std::atomic<bool> enabled_{false};
    std::atomic<pid_t> owner_{0};  // the process whose connections the opens are
    // Per descriptor: 0 undecided, -1 not a port, kOwnSocket one of the attachment's host
    // connections, n > 0 the open at index n - 1.
    static constexpr int kOwnSocket = -2;
    std::atomic<int> slots_[kMaxDescriptors] = {};
    std::atomic<int> highest_{0};  // highest descriptor with a decision
    OpenPort opens_[kMaxOpens];
    // Connections kept across exec by the previous image and not taken over yet (-1: none).
    std::atomic<int> inherited_[kMaxOpens] = {};
    uint32_t inherited_port_[kMaxOpens] = {};  // written before inherited_count_
    std::atomic<int> inherited_count_{0};
    std::atomic<bool> map_busy_{false};  // a thread is reading the map
    std::atomic<int> map_count_{0};
    MapEntry map_[kMaxPorts] = {};
    // The map file read last, to notice a new one.
    std::atomic<long> map_inode_{0};
    std::atomic<long> map_mtime_ns_{0};
    std::atomic<dev_t> last_unlisted_{0};  // the device told last, not told again at once
    // Number changes through the hooks: those begun in the high 32 bits, those under way in
    // the low 32.
    static constexpr uint64_t kChangeBegun = uint64_t{1} << 32;
    std::atomic<uint64_t> changes_{0};
};

// Tells the registry of a number change for as long as it lives (see BeginNumberChange).
class NumberChange {
  public:
    explicit NumberChange(PortRegistry& registry) : registry_(registry) {
        registry_.BeginNumberChange();
    }
    ~NumberChange() { registry_.EndNumberChange(); }
    NumberChange(const NumberChange&) = delete;
    NumberChange& operator=(const NumberChange&) = delete;

  private:
    PortRegistry& registry_;
};

PortRegistry& Registry();

}  // namespace sievra::attach
