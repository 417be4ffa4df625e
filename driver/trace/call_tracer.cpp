#include "driver/trace/call_tracer.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <linux/openat2.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "driver/link/control_reports.h"
#include "driver/link/host_link.h"
#include "driver/link/line_requests.h"
#include "driver/link/real_calls.h"
#include "driver/trace/entry_transfer.h"
#include "driver/trace/port_calls.h"
#include "driver/trace/program_image.h"
#include "driver/trace/record_sender.h"
#include "driver/trace/syscall_filter.h"
#include "driver/trace/tracee_memory.h"

namespace sievra::trace {

bool TracingSupported(std::string& why) {
#if defined(__x86_64__)
    why.clear();
    return true;
#else
    why = "following system calls is built for 64-bit x86 only";
    return false;
#endif
}

namespace {

constexpr unsigned kFollowOptions = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK |
                                    PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC;
// The kernel's codes for a call to be restarted after a signal (never seen by the program).
constexpr int64_t kRestartFirst = -516, kRestartLast = -512;
constexpr size_t kMaxPath = 4096;

pid_t TgidOf(pid_t tid) {
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Tgid:", 0) == 0)
            return static_cast<pid_t>(std::strtol(line.c_str() + 5, nullptr, 10));
    }
    return tid;
}

bool SameFile(pid_t process, int fd, int own) {
    return ::syscall(SYS_kcmp, process, ::getpid(), KCMP_FILE, fd, own) == 0;
}

std::vector<int> NumbersIn(const std::string& folder) {
    std::vector<int> numbers;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            char* end = nullptr;
            const long n = std::strtol(e->d_name, &end, 10);
            if (end != e->d_name && *end == '\0' && n >= 0 && n <= INT32_MAX)
                numbers.push_back(static_cast<int>(n));
        }
        ::closedir(dir);
    }
    return numbers;
}

// A field of /proc/PID/status (empty when the process or the field is not there).
std::string StatusField(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            const size_t value = line.find_first_not_of(" \t", name.size() + 1);
            return value == std::string::npos ? std::string() : line.substr(value);
        }
    }
    return {};
}

// Why the kernel refuses to let the calling process follow pid, where it is not another user's
// process or the system's ptrace setting.
std::string WhyNotFollowed(pid_t pid) {
    const std::string id = "process " + std::to_string(pid);
    if (TgidOf(pid) == ::getpid())
        return id + " is this watch itself";
    if (StatusField(pid, "State").rfind("Z", 0) == 0)
        return id + " has ended (its parent has not collected its status yet)";
    const std::string tracer = StatusField(pid, "TracerPid");
    if (!tracer.empty() && tracer != "0")
        return id + " is followed already, by process " + tracer;
    return {};
}

int ExitStatusOf(int status) {
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Whether a character device is a terminal: a pseudo-terminal's slave side (no sysfs entry of
// its own), or a device of the kernel's tty class. /dev/tty, the console and the pseudo-terminal
// multiplexer are not ports of anyone's.
bool IsTerminalDevice(dev_t device) {
    const unsigned major_number = major(device), minor_number = minor(device);
    if (major_number >= 136 && major_number <= 143)
        return true;
    if (major_number == 5 && minor_number <= 2)
        return false;
    char target[PATH_MAX];
    const std::string link =
        "/sys/dev/char/" + std::to_string(major_number) + ":" + std::to_string(minor_number);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    return std::strstr(target, "/tty/") != nullptr;
}

bool IsGroupStopSignal(int sig) {
    return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// Takes stop requests (the signals a signalfd reads, and a hang-up of hangup_fd, taken as a
// SIGTERM sent by a user) on a thread of its own while the tracer waits in waitpid, which only
// a child's change wakes: each request is woken for by a child process that ends at once.
// Without either descriptor it does nothing.
class StopRelay {
  public:
    StopRelay(int stop_fd, int hangup_fd) {
        int wake[2];
        if ((stop_fd < 0 && hangup_fd < 0) || ::pipe2(wake, O_CLOEXEC) != 0)
            return;
        wake_read_.Reset(wake[0]);
        wake_write_.Reset(wake[1]);
        thread_ = std::thread([this, stop_fd, hangup_fd] {
            // A hang-up stays: it is polled for until it has been seen once.
            pollfd p[3] = {{stop_fd, POLLIN, 0}, {wake_read_.get(), POLLIN, 0}, {hangup_fd, 0, 0}};
            for (;;) {
                if (::poll(p, 3, -1) < 0 && errno != EINTR)
                    return;
                if (p[1].revents != 0)
                    return;
                signalfd_siginfo info{};
                if ((p[2].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                    p[2].fd = -1;
                    info.ssi_signo = SIGTERM;
                    info.ssi_code = SI_USER;
                } else if (p[0].revents == 0 ||
                           ::read(stop_fd, &info, sizeof info) != sizeof info) {
                    continue;
                }
                {
                    const std::lock_guard lock(mutex_);
                    pending_.push_back(info);
                }
                if (::fork() == 0)
                    ::_exit(0);
            }
        });
    }
    ~StopRelay() {
        if (!thread_.joinable())
            return;
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), &byte, 1);
        thread_.join();
    }
    StopRelay(const StopRelay&) = delete;
    StopRelay& operator=(const StopRelay&) = delete;

    std::vector<signalfd_siginfo> Take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(pending_, {});
    }

  private:
    comm::UniqueFd wake_read_;
    comm::UniqueFd wake_write_;
    std::mutex mutex_;  // guards pending_
    std::vector<signalfd_siginfo> pending_;
    std::thread thread_;
};

}  // namespace

// One following: the processes and threads, their ports, and the calls in progress.
class CallTracer::Session {
  public:
    Session(const TraceSettings& settings, bool filtered)
        : settings_(settings),
          seccomp_(filtered),
          own_terminal_(ControllingTerminal(::getpid())),
          ports_(settings.ports) {}

    int Run(const std::string& path, const std::vector<std::string>& argv,
            const std::vector<std::string>& env, int stop_fd, std::string& error);
    int Attach(pid_t pid, int stop_fd, std::string& error);

  private:
    struct Process {
        pid_t tgid = 0;
        comm::UniqueFd pidfd;
        std::map<int, std::shared_ptr<PortOpen>> ports;  // descriptor: its open of a port
        std::set<int> plain;                             // descriptors known not to be ports
        int threads = 0;
        // Shares its descriptor table with another process (clone with CLONE_FILES): numbers
        // may change under it by calls the other makes, so a number known not to be a port is
        // looked at again on each call.
        bool shared_table = false;
        bool told_hidden = false;  // said that its descriptors cannot be looked at
        dev_t terminal = 0;        // its controlling terminal (0: none)
        // Per descriptor number: calls under way that may make it another file (dup2, dup3 and
        // close of it), and how many such calls ended. A transfer during which either moved
        // cannot tell which file it reached.
        std::map<int, uint32_t> changing;
        std::map<int, uint64_t> generation;
        bool Unsettled(int fd) const {
            const auto found = changing.find(fd);
            return found != changing.end() && found->second > 0;
        }
        uint64_t GenerationOf(int fd) const {
            const auto found = generation.find(fd);
            return found == generation.end() ? 0 : found->second;
        }
    };
    struct Call {
        bool active = false;  // between an entry this side took up and its exit
        long nr = 0;
        uint64_t args[6] = {};
        std::shared_ptr<PortOpen> open;
        link::ModemCounters before;
        link::TerminalFlags flags_before;  // the settings before a change of them
        uint64_t generation = 0;           // its descriptor's number of changes at the entry
        bool unsettled = false;            // its descriptor was being changed at the entry
        int changes = -1;        // the descriptor this call makes another file (dup2, close)
        bool other_abi = false;  // an x32 or i386 call: 32-bit arguments
        std::unique_ptr<FilteredWrite> write;
        std::unique_ptr<WrittenBytes> written;  // a monitored write's bytes, from its entry
        uint64_t done_at_entry = 0;  // bytes the tracer moved at the entry; the call moves the rest
    };
    struct Thread {
        pid_t tgid = 0;
        Call call;
    };

    Thread& Register(pid_t tid);
    // let_go: the thread was let go of, not ended (its process keeps its ports).
    void Forget(pid_t tid, bool let_go = false);
    Process& ProcessOf(const Thread& t) { return *processes_.at(t.tgid); }
    // opened: the path the descriptor was just opened by, when known.
    std::shared_ptr<PortOpen> Detect(Process& p, int fd, const std::string* opened = nullptr);
    void ForgetDescriptor(Process& p, int fd);
    void CopyDescriptor(Process& p, int from, int to);
    const TracedPort* PortOfDevice(dev_t device) const;
    // Whether a descriptor of this device may be a port: one of the ports, or a terminal device
    // that may become one.
    bool MayBePort(dev_t device);
    // The port of the device, made one (named by path) when it is a terminal device not yet
    // watched; null when it is none.
    const TracedPort* PortFor(dev_t device, const std::string& path,
                              const std::string& device_path);

    void Handle(pid_t tid, int status);
    void Resume(pid_t tid, Thread& t, int sig);
    // The entry of a call: true when its exit is wanted.
    // regs: the thread's registers, where they were read at the filter's stop.
    bool Enter(pid_t tid, Thread& t, long nr, const uint64_t* args, bool other_abi,
               user_regs_struct* regs = nullptr);
    // Makes a read or write on a port at its entry, for the program, where it cannot wait (see
    // EntryTransfer).
    enum class Answered { kNo, kWhole, kPart };
    Answered AnswerAtEntry(pid_t tid, const Process& p, Call& call, uint32_t state,
                           user_regs_struct* regs);
    // The end of a call made in part at its entry: the program's registers as it gave them, and
    // the result of the whole.
    int64_t FinishPart(pid_t tid, const Call& call, int64_t result);
    // Says once per following that a 32-bit call on a port was refused.
    void NoteRefused(pid_t tid, const PortOpen& open);
    void Exit(pid_t tid, Thread& t, int64_t result);
    void Exec(pid_t tid);
    void NoteUserChange(pid_t tid);
    // Tells the user what they should know of the following.
    void Notice(const std::string& note) const;
    void OpenEnded(pid_t tid, Thread& t, int64_t result);
    void Detach(pid_t tid, int sig);
    // Waits for the next report of a traced thread (or the wake of a stop request) and handles
    // it.
    void WaitOnce();

    const TraceSettings& settings_;
    const bool seccomp_;             // a filtered program: calls stop at the filter, others never
    const dev_t own_terminal_;       // the tracer's controlling terminal
    EntryTransfer transfer_;         // the calls made at their entry
    std::vector<TracedPort> ports_;  // the settings' ports, then those made on demand
    std::map<dev_t, bool> may_be_port_;  // decided terminal devices: whether they may be ports
    // Monitor records of transfers; declared before the processes, so that their opens close
    // only after their last records.
    RecordSender sender_;
    bool told_refused_ = false;
    bool told_unexpected_ = false;
    // Copies of descriptors that turned out not to be ports: closed when the session ends (see
    // Detect), after everything else.
    std::vector<comm::UniqueFd> unexpected_;
    std::vector<comm::UniqueFd> refused_;  // likewise, of terminal devices that cannot be watched
    std::map<pid_t, std::unique_ptr<Process>> processes_;
    std::map<pid_t, Thread> threads_;
    pid_t program_ = 0;
    int program_status_ = -1;
    bool detaching_ = false;
};

CallTracer::CallTracer(TraceSettings settings) : settings_(std::move(settings)) {
    link::HostLinkConfig& config = link::LinkConfig();
    std::strncpy(config.runtime_dir, settings_.runtime_dir.c_str(), sizeof config.runtime_dir - 1);
    config.reply_timeout_ms = settings_.reply_timeout_ms;
    link::ResolveRealCalls();
}

CallTracer::~CallTracer() = default;

int CallTracer::Run(const std::string& path, const std::vector<std::string>& argv,
                    const std::vector<std::string>& env, int stop_fd, std::string& error) {
    if (!TracingSupported(error))
        return kCannotStart;
    Session session(settings_, true);
    return session.Run(path, argv, env, stop_fd, error);
}

int CallTracer::Attach(pid_t pid, int stop_fd, std::string& error) {
    if (!TracingSupported(error))
        return -1;
    Session session(settings_, false);
    return session.Attach(pid, stop_fd, error);
}

// --- processes and descriptors -----------------------------------------------------------

CallTracer::Session::Thread& CallTracer::Session::Register(pid_t tid) {
    auto found = threads_.find(tid);
    if (found != threads_.end())
        return found->second;
    const pid_t tgid = TgidOf(tid);
    auto& process = processes_[tgid];
    if (!process) {
        process = std::make_unique<Process>();
        process->tgid = tgid;
        process->pidfd.Reset(static_cast<int>(::syscall(SYS_pidfd_open, tgid, 0)));
        process->terminal = ControllingTerminal(tgid);
    }
    ++process->threads;
    Thread& t = threads_[tid];
    t.tgid = tgid;
    return t;
}

void CallTracer::Session::Forget(pid_t tid, bool let_go) {
    auto found = threads_.find(tid);
    if (found == threads_.end())
        return;
    const pid_t tgid = found->second.tgid;
    threads_.erase(found);
    auto process = processes_.find(tgid);
    if (process == processes_.end() || --process->second->threads > 0)
        return;
    // The last thread gone: the process's connections end; its ports are closed on record
    // unless it lives on with them.
    if (!process->second->ports.empty())
        sender_.Flush();  // their records before their closes
    if (let_go) {
        std::set<PortOpen*> told;
        for (const auto& [number, open] : process->second->ports) {
            if (told.insert(open.get()).second)
                open->LetGo();
        }
    }
    processes_.erase(process);
}

const TracedPort* CallTracer::Session::PortOfDevice(dev_t device) const {
    for (const TracedPort& port : ports_) {
        if (port.device == device)
            return &port;
    }
    return nullptr;
}

bool CallTracer::Session::MayBePort(dev_t device) {
    if (PortOfDevice(device) != nullptr)
        return true;
    if (!settings_.new_port)
        return false;
    auto [decided, added] = may_be_port_.try_emplace(device, false);
    if (added) {
        const auto& ignored = settings_.ignored_devices;
        decided->second = IsTerminalDevice(device) &&
                          std::find(ignored.begin(), ignored.end(), device) == ignored.end();
    }
    return decided->second;
}

const TracedPort* CallTracer::Session::PortFor(dev_t device, const std::string& path,
                                               const std::string& device_path) {
    if (const TracedPort* port = PortOfDevice(device))
        return port;
    if (!MayBePort(device))
        return nullptr;
    may_be_port_[device] = false;  // asked once: a device that cannot be watched stays so
    sender_.Flush();
    const std::optional<TracedPort> made = settings_.new_port(device, path, device_path);
    if (!made)
        return nullptr;
    ports_.push_back(*made);
    ports_.back().device = device;
    return &ports_.back();
}

// The character device a descriptor of process refers to, from the kernel's cached attributes
// only: a file whose attributes come from a user-space file system (possibly served by the very
// program that is stopped now) must never make the tracer wait.
bool CharacterDeviceOf(const std::string& path, int dir, dev_t& device) {
    struct statx sx {};
    const int flags = AT_STATX_DONT_SYNC | (path.empty() ? AT_EMPTY_PATH : 0);
    if (::statx(dir, path.c_str(), flags, STATX_TYPE, &sx) != 0 || !S_ISCHR(sx.stx_mode))
        return false;
    device = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
    return true;
}

// The character device path names, when path stays under /dev however it is resolved: a
// name given by the program may lead out through ".." or a link (from /dev/shm, which anyone
// may write) to a file system served by a user, which could hold the tracer for good.
bool DeviceUnderDev(const std::string& path, dev_t& device) {
    const comm::UniqueFd dev(::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC));
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const comm::UniqueFd node(
        static_cast<int>(::syscall(SYS_openat2, dev.get(), path.c_str() + 5, &how, sizeof how)));
    return dev.valid() && node.valid() && CharacterDeviceOf("", node.get(), device);
}

// Decides once per number whether a descriptor of the process is a port: by its device first,
// then through the tracer's own copy of it (the host takes the open with that copy, and the
// same open file under another number of the process shares its connection).
std::shared_ptr<PortOpen> CallTracer::Session::Detect(Process& p, int fd,
                                                      const std::string* opened) {
    if (auto found = p.ports.find(fd); found != p.ports.end()) {
        // The number may have been closed and reused where the tracer did not see it (a process
        // sharing the table): a call on whatever is there now is no call on the port. A table
        // of its own changes only by calls the tracer sees.
        if (!p.shared_table || SameFile(p.tgid, fd, found->second->file()))
            return found->second;
        ForgetDescriptor(p, fd);
    }
    if (fd < 0 || (p.plain.count(fd) != 0 && !p.shared_table) || !p.pidfd.valid())
        return nullptr;
    dev_t device = 0;
    const std::string link = "/proc/" + std::to_string(p.tgid) + "/fd/" + std::to_string(fd);
    if (!CharacterDeviceOf(link, AT_FDCWD, device) || !MayBePort(device)) {
        struct stat number;  // the link itself: whether the number is open at all
        if (::lstat(link.c_str(), &number) == 0) {
            p.plain.insert(fd);
        } else if ((errno == EACCES || errno == EPERM) && !std::exchange(p.told_hidden, true)) {
            // A process that is not dumpable (it said so, or runs an image it may not read)
            // keeps its descriptors even from its tracer, unless the tracer is root.
            Notice("process " + std::to_string(p.tgid) + " (" + StatusField(p.tgid, "Name") +
                   ") hides its descriptors (it is not dumpable): its ports are not watched; "
                   "watch as root follows it");
        }
        return nullptr;  // not a port (or not open: decided when it is)
    }
    // A program that keeps swapping its descriptors under the tracer gets no more copies taken
    // than the tracer can hold.
    constexpr size_t kMaxUnexpected = 256;
    if (unexpected_.size() >= kMaxUnexpected) {
        if (!std::exchange(told_unexpected_, true))
            Notice("process " + std::to_string(p.tgid) +
                   " keeps changing its descriptors under the tracer: its further opens are "
                   "not watched");
        return nullptr;
    }
    comm::UniqueFd copy(static_cast<int>(::syscall(SYS_pidfd_getfd, p.pidfd.get(), fd, 0)));
    if (!copy.valid())
        return nullptr;  // closed meanwhile, or the process may not be reached
    // Another thread may have put something else at the number meanwhile.
    const int flags = ::fcntl(copy.get(), F_GETFL);
    const TracedPort* port = nullptr;
    bool refused = false;  // a terminal device that cannot be watched
    if (CharacterDeviceOf("", copy.get(), device) && flags >= 0 && (flags & O_PATH) == 0) {
        // The kernel's name of the device (the program's path may be a link it changes).
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        const std::string device_path(target, n > 0 ? static_cast<size_t>(n) : 0);
        const bool new_device = PortOfDevice(device) == nullptr;
        port = PortFor(device, opened != nullptr ? *opened : device_path, device_path);
        refused = port == nullptr && new_device;
    }
    if (port == nullptr) {
        // Closing it could wait for whatever serves it: it is let go once nobody is stopped. A
        // refused device is asked about once, so its copies are as many as the devices. A
        // path-only open (O_PATH) is no open of the device: its copy closes at once.
        if (flags < 0 || (flags & O_PATH) == 0)
            (refused ? refused_ : unexpected_).push_back(std::move(copy));
        p.plain.insert(fd);
        return nullptr;
    }
    for (const auto& [number, open] : p.ports) {
        if (::syscall(SYS_kcmp, ::getpid(), ::getpid(), KCMP_FILE, copy.get(), open->file()) == 0) {
            p.ports[fd] = open;
            return open;
        }
    }
    sender_.Flush();  // a new open is on record after the records before it
    auto open = std::make_shared<PortOpen>(port->number, device, std::move(copy), p.tgid);
    p.ports[fd] = open;
    if (!open->connected()) {
        // The host took no connection for it (it serves so many already): said, not missed.
        Notice("process " + std::to_string(p.tgid) + "'s open of " + port->path +
               " cannot be watched: the driver host takes no more connections");
    }
    return open;
}

void CallTracer::Session::Notice(const std::string& note) const {
    if (settings_.notice)
        settings_.notice(note);
    else
        std::fprintf(stderr, "%s\n", note.c_str());
}

void CallTracer::Session::ForgetDescriptor(Process& p, int fd) {
    if (p.ports.count(fd) != 0)
        sender_.Flush();  // its records before its close
    p.plain.erase(fd);
    p.ports.erase(fd);  // the last number of an open closes its connection
}

void CallTracer::Session::CopyDescriptor(Process& p, int from, int to) {
    ForgetDescriptor(p, to);
    if (auto found = p.ports.find(from); found != p.ports.end())
        p.ports[to] = found->second;
    else if (p.plain.count(from) != 0)
        p.plain.insert(to);
}

// --- calls -------------------------------------------------------------------------------

// Fails the call tid is entering with error, without the kernel making it.
void Refuse(pid_t tid, int error) {
    user_regs_struct regs;
    if (::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) != 0)
        return;
    regs.orig_rax = static_cast<uint64_t>(-1);  // no call: the kernel leaves rax as set here
    regs.rax = static_cast<uint64_t>(-error);
    ::ptrace(PTRACE_SETREGS, tid, nullptr, &regs);
}

// Sets a transfer's count (rdx), keeping the upper half that a 32-bit call leaves to the
// program.
void SetCount(user_regs_struct& regs, uint64_t count, bool other_abi) {
    regs.rdx = other_abi ? (regs.rdx & ~uint64_t{0xffffffff}) | (count & 0xffffffff) : count;
}

void CallTracer::Session::NoteRefused(pid_t tid, const PortOpen& open) {
    if (std::exchange(told_refused_, true))
        return;
    std::string port;
    for (const TracedPort& traced : ports_) {
        if (traced.number == open.port_number())
            port = traced.path;
    }
    const std::string note = "process " + std::to_string(tid) +
                             " made a 32-bit vectored transfer (readv or writev) on " + port +
                             ", which cannot be watched: it was refused";
    if (settings_.notice)
        settings_.notice(note);
    else
        std::fprintf(stderr, "%s\n", note.c_str());
}

bool CallTracer::Session::Enter(pid_t tid, Thread& t, long nr, const uint64_t* args, bool other_abi,
                                user_regs_struct* regs) {
    if (!StopsFor(nr, static_cast<long>(args[1])))
        return false;
    Process& p = ProcessOf(t);
    Call& call = t.call;
    call = Call{};
    call.nr = nr;
    call.other_abi = other_abi;
    std::memcpy(call.args, args, sizeof call.args);
    const int fd = static_cast<int>(args[0]);
    switch (nr) {
        case SYS_sendfile:
        case SYS_splice:
            // The kernel moves these bytes between files without the program's memory, where
            // nobody could record or filter them: a port at either end refuses them, and the
            // program writes or reads its bytes itself (as it does where a file cannot take them).
            if (!Detect(p, fd) && !Detect(p, static_cast<int>(args[nr == SYS_splice ? 2 : 1])))
                return false;
            Refuse(tid, EINVAL);
            return false;
        case SYS_io_uring_setup:
        case SYS_io_setup:
            // A ring's or an asynchronous context's reads and writes on a port would pass with
            // no call the tracer sees: a program is told there are none (as where they are
            // turned off) and makes its calls.
            Refuse(tid, ENOSYS);
            return false;
        case SYS_readv:
        case SYS_preadv2:
        case SYS_writev:
        case SYS_pwritev2:
            // A 32-bit call's iovec array has another layout: on a port it is refused, as a call
            // the port does not take, rather than passed unseen.
            if (other_abi) {
                if (const std::shared_ptr<PortOpen> open = Detect(p, fd)) {
                    Refuse(tid, ENOSYS);
                    NoteRefused(tid, *open);
                }
                return false;
            }
            [[fallthrough]];
        case SYS_read:
        case SYS_write:
        case SYS_ioctl: {
            call.open = Detect(p, fd);
            if (!call.open)
                return false;
            call.generation = p.GenerationOf(fd);
            call.unsettled = p.Unsettled(fd);
            // What a read returns is seen by whoever watches when it returns (a read may wait
            // long), as the attachment sees it after the real call.
            const uint32_t state = call.open->WatchState();
            const bool reading = nr == SYS_read || nr == SYS_readv || nr == SYS_preadv2;
            if (state == link::kUnwatched && !(reading && call.open->connected()))
                return false;
            const Answered answered = AnswerAtEntry(tid, p, call, state, regs);
            if (answered == Answered::kWhole)
                return false;
            if (answered == Answered::kPart)
                break;
            if (!reading && nr != SYS_ioctl && state == link::kWatchedMonitor) {
                call.written = std::make_unique<WrittenBytes>();
                if (!call.written->Take(tid, nr, args))
                    call.written.reset();
            }
            if (!reading && nr != SYS_ioctl && state == link::kWatchedFilter) {
                sender_.Flush(call.open.get());
                call.write = std::make_unique<FilteredWrite>();
                if (!call.write->Prepare(tid, nr, args, *call.open))
                    return false;  // nothing changed: the write goes as it is
                if (call.write->count_changed()) {
                    user_regs_struct regs;
                    if (::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0) {
                        SetCount(regs, call.write->new_count(), other_abi);
                        ::ptrace(PTRACE_SETREGS, tid, nullptr, &regs);
                    }
                }
            }
            if (nr == SYS_ioctl && link::IsModemWait(static_cast<uint32_t>(args[1])))
                link::ReadModemCounters(call.open->file(), call.before);
            if (nr == SYS_ioctl && link::SetsTerminalFlags(static_cast<uint32_t>(args[1])))
                call.flags_before = link::ReadTerminalFlags(call.open->file());
            break;
        }
        case SYS_close:
            p.plain.erase(fd);
            if (p.ports.count(fd) == 0)
                return false;
            call.changes = fd;
            ++p.changing[fd];
            break;
        case SYS_dup2:
        case SYS_dup3:
            call.changes = static_cast<int>(args[1]);
            ++p.changing[call.changes];
            break;
        default:  // opens, copies, close_range: their results decide
            break;
    }
    call.active = true;
    return true;
}

CallTracer::Session::Answered CallTracer::Session::AnswerAtEntry(pid_t tid, const Process& p,
                                                                 Call& call, uint32_t state,
                                                                 user_regs_struct* regs) {
    // Without the filter every call stops at its exit as well: nothing to save. A call on the
    // program's (or the tracer's) controlling terminal is judged by job control, which would
    // judge the tracer's call by the tracer's process group.
    const bool reading = call.nr == SYS_read;
    if (regs == nullptr || (!reading && call.nr != SYS_write) || call.unsettled ||
        (reading ? state == link::kWatchedFilter : state != link::kWatchedMonitor) ||
        call.open->device() == p.terminal || call.open->device() == own_terminal_) {
        return Answered::kNo;
    }
    // A read may wait a little for its bytes where no other thread could need the tracer.
    const EntryTransfer::Made made =
        reading ? transfer_.Read(tid, *call.open, call.args, threads_.size() == 1)
                : transfer_.Write(tid, *call.open, call.args);
    if (made == EntryTransfer::Made::kNothing)
        return Answered::kNo;
    if (made == EntryTransfer::Made::kPart) {
        // The program's call moves the rest: from past the bytes moved, as many fewer.
        call.done_at_entry = transfer_.done();
        if (!reading) {
            call.written = std::make_unique<WrittenBytes>();
            call.written->Hold(std::move(transfer_.bytes()));
        }
        regs->rsi = call.args[1] + call.done_at_entry;
        SetCount(*regs, call.args[2] - call.done_at_entry, false);
        ::ptrace(PTRACE_SETREGS, tid, nullptr, regs);
        return Answered::kPart;
    }
    int64_t result = transfer_.result();
    std::vector<uint8_t>& bytes = transfer_.bytes();
    if (!reading && result > 0) {
        bytes.resize(static_cast<size_t>(result));
        sender_.Push(call.open, link::kAppWrite, std::move(bytes));
    } else if (reading && result >= 0) {
        // Whoever watches when the read returns sees it, as at a read's exit.
        const uint32_t now = call.open->WatchState();
        if (now == link::kWatchedMonitor) {
            sender_.Push(call.open, link::kAppRead, std::move(bytes));
        } else if (now == link::kWatchedFilter && result > 0) {
            sender_.Flush(call.open.get());
            TraceeBuffers buffers;
            if (buffers.Take(tid, SYS_read, call.args)) {
                const uint64_t kept =
                    FilterReceived(*call.open, buffers, static_cast<uint64_t>(result));
                // Every byte deleted: a blocking read waits for more, in the program's call.
                if (kept == 0 && call.open->Blocks())
                    return Answered::kNo;
                result = kept > 0 ? static_cast<int64_t>(kept) : -EAGAIN;
            }
        }
    }
    AnswerCall(tid, *regs, result);
    return Answered::kWhole;
}

int64_t CallTracer::Session::FinishPart(pid_t tid, const Call& call, int64_t result) {
    // A call that ends in an error (a signal while it waits) after bytes moved returns them.
    const int64_t whole = static_cast<int64_t>(call.done_at_entry) + std::max<int64_t>(result, 0);
    user_regs_struct regs;
    if (::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0) {
        regs.rsi = call.args[1];
        SetCount(regs, call.args[2], false);
        regs.rax = static_cast<uint64_t>(whole);
        ::ptrace(PTRACE_SETREGS, tid, nullptr, &regs);
    }
    return whole;
}

void CallTracer::Session::OpenEnded(pid_t tid, Thread& t, int64_t result) {
    Process& p = ProcessOf(t);
    const Call& call = t.call;
    const bool at = call.nr == SYS_openat || call.nr == SYS_openat2;
    std::string path;
    const bool named = ReadTraceeString(tid, call.args[at ? 1 : 0], kMaxPath, path) &&
                       !path.empty() && path[0] == '/';
    if (result >= 0) {
        p.terminal = ControllingTerminal(p.tgid);  // a session leader's open may make it one
        ++p.generation[static_cast<int>(result)];
        ForgetDescriptor(p, static_cast<int>(result));
        Detect(p, static_cast<int>(result), named ? &path : nullptr);
        return;
    }
    // A failed open of a port's own path is reported, as the attachment does; so is one of a
    // terminal device under /dev (a port held by another program), whose attributes never
    // come from a user's file system.
    if (!named)
        return;
    const TracedPort* port = nullptr;
    for (const TracedPort& known : ports_) {
        if (known.path == path)
            port = &known;
    }
    dev_t device = 0;
    if (port == nullptr && path.rfind("/dev/", 0) == 0 && DeviceUnderDev(path, device))
        port = PortFor(device, path, path);
    if (port == nullptr)
        return;
    sender_.Flush();
    link::OpenPort failed;
    failed.port = port->number;
    link::ConnectAndCreate(failed, -1, link::StatusOfOpenError(static_cast<int>(-result)), p.tgid);
}

void CallTracer::Session::Exit(pid_t tid, Thread& t, int64_t result) {
    Call call = std::move(t.call);
    t.call = Call{};
    Process& p = ProcessOf(t);
    if (call.done_at_entry > 0)
        result = FinishPart(tid, call, result);
    const bool restarting = result >= kRestartFirst && result <= kRestartLast;
    const int fd = static_cast<int>(call.args[0]);
    if (call.changes >= 0) {
        --p.changing[call.changes];
        ++p.generation[call.changes];
    }
    // A transfer whose descriptor was made another file while it ran may have reached either:
    // it is not recorded as the port's, but counted as such.
    if (call.open && result >= 0 &&
        (call.unsettled || p.Unsettled(fd) || p.GenerationOf(fd) != call.generation ||
         (p.shared_table && !SameFile(p.tgid, fd, call.open->file())))) {
        const bool transfer = call.nr != SYS_ioctl;
        call.open->link().descriptor_changed.Count(transfer ? static_cast<uint32_t>(result) : 0);
        if (call.write) {
            const int64_t shown = call.write->Undo(tid, result);
            user_regs_struct regs;
            if (::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0) {
                SetCount(regs, call.args[2], call.other_abi);
                regs.rax = static_cast<uint64_t>(shown);
                ::ptrace(PTRACE_SETREGS, tid, nullptr, &regs);
            }
        }
        return;
    }
    switch (call.nr) {
        case SYS_open:
        case SYS_openat:
        case SYS_openat2:
        case SYS_creat:
            t.call = std::move(call);
            OpenEnded(tid, t, result);
            t.call = Call{};
            break;
        case SYS_write:
        case SYS_writev:
        case SYS_pwritev2:
            if (call.write) {
                const int64_t shown = call.write->Undo(tid, result);
                user_regs_struct regs;
                if (::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0) {
                    SetCount(regs, call.args[2], call.other_abi);
                    if (!restarting)
                        regs.rax = static_cast<uint64_t>(shown);
                    ::ptrace(PTRACE_SETREGS, tid, nullptr, &regs);
                }
            } else if (result > 0 && call.written) {
                sender_.Push(call.open, link::kAppWrite,
                             call.written->Release(static_cast<uint64_t>(result)));
            } else if (result > 0) {
                sender_.Flush(call.open.get());
                TraceeBuffers buffers;
                if (buffers.Take(tid, call.nr, call.args))
                    RecordTransfer(*call.open, link::kAppWrite, buffers,
                                   static_cast<uint64_t>(result));
            }
            break;
        case SYS_read:
        case SYS_readv:
        case SYS_preadv2: {
            TraceeBuffers buffers;
            if (result < 0 || !buffers.Take(tid, call.nr, call.args))
                break;
            const uint32_t state = call.open->WatchState();
            if (state == link::kWatchedMonitor) {
                std::vector<uint8_t> got(static_cast<size_t>(result));
                if (buffers.Read(0, got.data(), got.size()))
                    sender_.Push(call.open, link::kAppRead, std::move(got));
            } else if (state == link::kWatchedFilter && result > 0) {
                sender_.Flush(call.open.get());
                const uint64_t kept =
                    FilterReceived(*call.open, buffers, static_cast<uint64_t>(result));
                if (kept == static_cast<uint64_t>(result))
                    break;
                user_regs_struct regs;
                if (::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) != 0)
                    break;
                const int flags = ::fcntl(call.open->file(), F_GETFL);
                if (kept > 0) {
                    regs.rax = kept;
                } else if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
                    // Every byte was deleted; 0 would mean hang-up: a blocking read waits for
                    // more instead, by making the call again.
                    regs.rax = regs.orig_rax;
                    regs.rip -= 2;
                } else {
                    regs.rax = static_cast<uint64_t>(-EAGAIN);
                }
                ::ptrace(PTRACE_SETREGS, tid, nullptr, &regs);
            }
            break;
        }
        case SYS_ioctl:
            sender_.Flush(call.open.get());
            if (!restarting) {
                const auto request = static_cast<uint32_t>(call.args[1]);
                ReportTracedIoctl(*call.open, tid, request, call.args[2],
                                  result >= 0 ? 0 : static_cast<int>(-result), call.before);
                bool exclusive = false;
                if (result >= 0 && link::SetsTerminalFlags(request)) {
                    link::ReportTerminalFlags(call.open->link(), call.flags_before,
                                              link::ReadTerminalFlags(call.open->file()));
                } else if (result >= 0 && link::ChangesExclusiveUse(request, exclusive)) {
                    link::ReportExclusive(call.open->link(), exclusive);
                }
                if (result >= 0 && (request == TIOCSCTTY || request == TIOCNOTTY))
                    p.terminal = ControllingTerminal(p.tgid);
                if (request == TIOCSETD)
                    call.open->ForgetDiscipline();
            }
            break;
        case SYS_close:
            // Linux frees the number even when close reports an error.
            if (result != -EBADF)
                ForgetDescriptor(p, fd);
            break;
        case SYS_close_range:
            if (result == 0 && (call.args[2] & CLOSE_RANGE_CLOEXEC) == 0) {
                const uint64_t first = call.args[0], last = call.args[1];
                std::vector<int> gone;
                for (const auto& [number, open] : p.ports) {
                    if (static_cast<uint64_t>(number) >= first &&
                        static_cast<uint64_t>(number) <= last)
                        gone.push_back(number);
                }
                for (int number : p.plain) {
                    if (static_cast<uint64_t>(number) >= first &&
                        static_cast<uint64_t>(number) <= last)
                        gone.push_back(number);
                }
                for (int number : gone)
                    ForgetDescriptor(p, number);
            }
            break;
        case SYS_dup:
        case SYS_dup2:
        case SYS_dup3:
        case SYS_fcntl:
            if (result >= 0 && result != fd)
                CopyDescriptor(p, fd, static_cast<int>(result));
            break;
        default:
            break;
    }
}

// The kernel does not give a followed program the rights of its set-user-id or set-group-id bit
// unless its tracer has them already: said for each such image a process runs.
void CallTracer::Session::NoteUserChange(pid_t tid) {
    if (::geteuid() == 0)
        return;
    char image[PATH_MAX];
    const std::string exe = "/proc/" + std::to_string(tid) + "/exe";
    const ssize_t n = ::readlink(exe.c_str(), image, sizeof image - 1);
    if (n <= 0)
        return;
    image[n] = '\0';
    if (!ChangesUser(image))
        return;
    const std::string note = "process " + std::to_string(tid) + " runs " + image +
                             " without the rights of its set-user-id or set-group-id bit, as "
                             "under any tracer";
    if (settings_.notice)
        settings_.notice(note);
    else
        std::fprintf(stderr, "%s\n", note.c_str());
}

// A new program image: descriptors closed on exec are gone, the others keep their opens (one
// open, one close on record, as across the attachment's exec).
void CallTracer::Session::Exec(pid_t tid) {
    unsigned long former = 0;
    ::ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &former);
    if (static_cast<pid_t>(former) != tid)
        Forget(static_cast<pid_t>(former));  // the thread that called exec took the leader's id
    Thread& t = Register(tid);
    t.call = Call{};
    Process& p = ProcessOf(t);
    NoteUserChange(tid);
    p.terminal = ControllingTerminal(p.tgid);
    p.plain.clear();
    p.shared_table = false;  // a new image has a table of its own
    std::vector<int> gone;
    for (const auto& [number, open] : p.ports) {
        if (!SameFile(p.tgid, number, open->file()))
            gone.push_back(number);
    }
    for (int number : gone)
        ForgetDescriptor(p, number);
}

// --- stops -------------------------------------------------------------------------------

void CallTracer::Session::Resume(pid_t tid, Thread& t, int sig) {
    const auto request = !seccomp_ || t.call.active ? PTRACE_SYSCALL : PTRACE_CONT;
    ::ptrace(request, tid, nullptr, sig);
}

void CallTracer::Session::Detach(pid_t tid, int sig) {
    sender_.Flush();  // the records come before the host hears the program is let go of
    ::ptrace(PTRACE_DETACH, tid, nullptr, sig);
    Forget(tid, true);
}

void CallTracer::Session::Handle(pid_t tid, int status) {
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
        if (tid == program_)
            program_status_ = ExitStatusOf(status);
        Forget(tid);
        return;
    }
    if (!WIFSTOPPED(status))
        return;
    Thread& t = Register(tid);
    const int sig = WSTOPSIG(status);
    const int event = status >> 16;
    if (sig == (SIGTRAP | 0x80) || event == PTRACE_EVENT_SECCOMP) {
        // At the filter's stop a native read or write is known from its registers alone (the
        // filter stops no call of another ABI numbered 0 or 1), and answered with them: the
        // calls made most take the fewest requests.
        user_regs_struct regs;
        if (event == PTRACE_EVENT_SECCOMP && !detaching_ &&
            ::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0 &&
            (regs.orig_rax == SYS_read || regs.orig_rax == SYS_write)) {
            const uint64_t args[6] = {regs.rdi, regs.rsi, regs.rdx, regs.r10, regs.r8, regs.r9};
            if (!Enter(tid, t, static_cast<long>(regs.orig_rax), args, false, &regs))
                t.call = Call{};
            return Resume(tid, t, 0);
        }
        __ptrace_syscall_info info{};
        if (::ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info) <= 0) {
            Resume(tid, t, 0);
            return;
        }
        if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
            if (t.call.active)
                Exit(tid, t, info.exit.rval);
        } else if (!detaching_) {
            const bool entry = info.op == PTRACE_SYSCALL_INFO_ENTRY;
            bool other_abi = false;
            const long nr = NativeCall(
                info.arch, static_cast<long>(entry ? info.entry.nr : info.seccomp.nr), other_abi);
            const uint64_t* args = entry ? info.entry.args : info.seccomp.args;
            uint64_t copy[6];
            std::memcpy(copy, args, sizeof copy);
            if (other_abi) {
                for (uint64_t& a : copy)
                    a &= 0xffffffffu;  // 32-bit arguments: the kernel ignores the upper half
            }
            if (nr < 0 || !Enter(tid, t, nr, copy, other_abi))
                t.call = Call{};
        }
        if (detaching_ && !t.call.active)
            return Detach(tid, 0);
        return Resume(tid, t, 0);
    }
    switch (event) {
        case PTRACE_EVENT_FORK:
        case PTRACE_EVENT_VFORK:
        case PTRACE_EVENT_CLONE: {
            unsigned long child = 0;
            if (::ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &child) == 0) {
                Thread& started = Register(static_cast<pid_t>(child));
                Process& parent = ProcessOf(threads_.at(tid));
                if (started.tgid != parent.tgid &&
                    ::syscall(SYS_kcmp, parent.tgid, started.tgid, KCMP_FILES, 0, 0) == 0) {
                    parent.shared_table = true;
                    ProcessOf(started).shared_table = true;
                }
            }
            break;
        }
        case PTRACE_EVENT_EXEC:
            Exec(tid);
            break;
        case PTRACE_EVENT_STOP:
            if (IsGroupStopSignal(sig) && !detaching_) {
                // Stopped by a stop signal: it stays stopped until it is continued.
                ::ptrace(PTRACE_LISTEN, tid, nullptr, 0);
                return;
            }
            break;
        case 0:
            // A signal on its way to the program: it gets it as it would have.
            if (detaching_ && !t.call.active)
                return Detach(tid, sig);
            return Resume(tid, threads_.at(tid), sig);
        default:
            break;
    }
    if (!threads_.count(tid))
        return;
    if (detaching_ && !threads_.at(tid).call.active)
        return Detach(tid, 0);
    Resume(tid, threads_.at(tid), 0);
}

void CallTracer::Session::WaitOnce() {
    int status = 0;
    const pid_t tid = ::waitpid(-1, &status, __WALL);
    if (tid > 0) {
        Handle(tid, status);
    } else if (errno == ECHILD) {
        // Nothing is traced any more (the kernel let go of every thread): nothing to wait for.
        threads_.clear();
        processes_.clear();
    }
}

int CallTracer::Session::Run(const std::string& path, const std::vector<std::string>& argv,
                             const std::vector<std::string>& env, int stop_fd, std::string& error) {
    // Everything the child needs is made before it is forked: between fork and exec it may
    // only make system calls.
    std::vector<std::string> args = argv, environment = env;
    std::vector<char*> arg_pointers, env_pointers;
    for (std::string& a : args)
        arg_pointers.push_back(a.data());
    arg_pointers.push_back(nullptr);
    for (std::string& e : environment)
        env_pointers.push_back(e.data());
    env_pointers.push_back(nullptr);
    std::vector<sock_filter> code = SyscallFilterProgram();
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    int go[2];
    if (::pipe2(go, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return kCannotStart;
    }
    comm::UniqueFd go_read(go[0]), go_write(go[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        error = std::strerror(errno);
        return kCannotStart;
    }
    if (child == 0) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGCHLD})
            ::sigaction(sig, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::close(go[1]);
        char ready = 0;
        // Followed from here on: the filter's stops need their tracer.
        while (::read(go[0], &ready, 1) < 0 && errno == EINTR) {
        }
        if (ready != 1 || !InstallSyscallFilter(program))
            ::_exit(kCannotStart);
        ::execve(path.c_str(), arg_pointers.data(), env_pointers.data());
        static constexpr char kFailed[] = "porvane-cli: cannot run the program\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kFailed, sizeof kFailed - 1);
        ::_exit(kCannotStart);
    }
    go_read.Reset();
    program_ = child;
    if (::ptrace(PTRACE_SEIZE, child, nullptr,
                 kFollowOptions | PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL) != 0) {
        error = std::string("cannot follow the program: ") + std::strerror(errno);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return kCannotStart;
    }
    Register(child);
    if (settings_.started)
        settings_.started(child);
    const char ready = 1;
    if (::write(go_write.get(), &ready, 1) != 1) {
        error = std::strerror(errno);
        ::kill(child, SIGKILL);
    }
    go_write.Reset();
    StopRelay relay(stop_fd, settings_.hangup_fd);
    while (!threads_.empty()) {
        WaitOnce();
        for (const signalfd_siginfo& info : relay.Take()) {
            // A signal the terminal sent reached the program's process group, watch's own,
            // already.
            const bool from_terminal =
                info.ssi_code == SI_KERNEL && ::getpgid(child) == ::getpgrp();
            if (!from_terminal)
                ::kill(child, static_cast<int>(info.ssi_signo));
        }
    }
    sender_.Flush();
    return program_status_ >= 0 ? program_status_ : kCannotStart;
}

int CallTracer::Session::Attach(pid_t pid, int stop_fd, std::string& error) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) {
        error = "no process " + std::to_string(pid);
        return -1;
    }
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    if (InspectImage(exe) == ImageKind::kOther) {
        error = "process " + std::to_string(pid) + " is not a 64-bit x86 program";
        return -1;
    }
    // Every thread, including those started while the others are being seized.
    for (bool more = true; more;) {
        more = false;
        for (int tid : NumbersIn("/proc/" + std::to_string(pid) + "/task")) {
            if (threads_.count(tid))
                continue;
            if (::ptrace(PTRACE_SEIZE, tid, nullptr, kFollowOptions) != 0) {
                if (errno == ESRCH)
                    continue;  // ended meanwhile
                const int cause = errno;
                const std::string why = WhyNotFollowed(tid);
                error = !why.empty()
                            ? "may not follow " + why
                            : "may not follow process " + std::to_string(pid) + ": " +
                                  std::strerror(cause) +
                                  (cause == EPERM
                                       ? " (the kernel's ptrace rules refuse it: another user's "
                                         "process, or /proc/sys/kernel/yama/ptrace_scope)"
                                       : "");
                detaching_ = true;
                for (auto& [seized, thread] : threads_)
                    ::ptrace(PTRACE_INTERRUPT, seized, nullptr, nullptr);
                while (!threads_.empty())
                    WaitOnce();
                return -1;
            }
            Register(tid);
            ::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
            more = true;
        }
    }
    // The ports it holds already are its opens from now on. A process that ran untraced may
    // share its descriptor table with one that is not followed: its numbers are checked on
    // each call.
    if (auto found = processes_.find(pid); found != processes_.end()) {
        found->second->shared_table = true;
        for (int fd : NumbersIn("/proc/" + std::to_string(pid) + "/fd"))
            Detect(*found->second, fd);
    }
    {
        StopRelay relay(stop_fd, settings_.hangup_fd);
        while (!threads_.empty() && relay.Take().empty())
            WaitOnce();
    }
    // Lets go of every thread where it stops next, a call under way finished first.
    detaching_ = true;
    for (auto& [tid, thread] : threads_)
        ::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
    while (!threads_.empty())
        WaitOnce();
    sender_.Flush();
    processes_.clear();
    return 0;
}

}  // namespace sievra::trace
