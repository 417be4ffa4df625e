#include "porvane/cli/watch_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"
#include "driver/sievra_protocol.h"
#include "driver/trace/call_tracer.h"
#include "driver/trace/program_image.h"
#include "platform/comm/serial_device.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/comm/unique_fd.h"
#include "platform/devicemap/device_map.h"
#include "platform/devicemap/listed_ports.h"
#include "porvane/cli/capture_file.h"
#include "porvane/cli/on_demand_ports.h"
#include "porvane/cli/output_file.h"
#include "porvane/cli/output_watch.h"
#include "porvane/cli/record_output.h"
#include "porvane/monitor/driver_link.h"
#include "porvane/monitor/monitor_record.h"

extern char** environ;

namespace porvane::cli {
namespace {

namespace fs = std::filesystem;
namespace trace = sievra::trace;

// The records' file, created or emptied as fopen's "w" does; null with errno on failure.
std::FILE* OpenRecordsFile(const std::string& path) {
    comm::UniqueFd fd = OpenOutputFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    std::FILE* file = fd.valid() ? ::fdopen(fd.get(), "w") : nullptr;
    if (file != nullptr)
        fd.Release();
    return file;
}

// The exit status watch gives when it cannot run the program at all (as env and nice do).
constexpr int kCannotRun = 125;

// A request that no program issues through the attachment's tty calls and that changes nothing:
// watch sends it on the port's application socket after the program has ended, and its record
// marks the end of the port's stream.
constexpr uint32_t kEndMarkerCode = comm::IOCTL_SERIAL_GET_DTRRTS;
// How long the attachment waits for the private host's answers (its own default is 20 ms).
constexpr char kWatchReplyMs[] = "1000";
// How long the end waits for the host to finish with the program's connections.
constexpr uint32_t kAwaitClosedMs = 5000;
// How long a host told to end may take before it is killed.
constexpr int kHostEndMs = 5000;

fs::path ProgramFolder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path(".") : self.parent_path();
}

// Spawns argv with env; the child starts with default signal handling and an empty mask, and
// stdout_fd (when not -1) as its standard output. With own_group it leads a process group of its
// own, out of reach of the signals the terminal sends to watch's group (Ctrl-C).
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            int stdout_fd, bool search_path, bool own_group, std::string& error) {
    std::vector<char*> argv;
    std::vector<std::string> args_copy = args;
    for (std::string& a : args_copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_copy = env;
    std::vector<char*> envp;
    for (std::string& e : env_copy)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        (own_group ? POSIX_SPAWN_SETPGROUP : 0));
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
    pid_t pid = -1;
    const int result =
        search_path ? ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data())
                    : ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (result != 0) {
        error = std::strerror(result);
        return -1;
    }
    return pid;
}

int WaitStatus(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return kCannotRun;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// The private runtime folder: under $XDG_RUNTIME_DIR when set, else a temporary one.
std::string MakeRuntimeDir() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    std::string base = xdg != nullptr && *xdg != '\0' && fs::is_directory(xdg)
                           ? std::string(xdg)
                           : fs::temp_directory_path().string();
    std::string dir = base + "/porvane-watch-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr)
        return {};
    return dir;
}

// Sends the end marker on a port's application socket, once the host has served every other
// application connection of the port to its end (a program that ended without closing leaves
// the close to the host, which learns of it from the dropped connection) or a few seconds have
// passed (a child of the program may still hold the port).
// The end marker's secret: a program that reaches the host (it runs as the same user) cannot
// end its own record early by sending a marker of its own.
using MarkerSecret = std::array<uint8_t, 16>;

bool IsEndMarker(const monitor::MonitorRecord& r, const MarkerSecret& secret) {
    return r.kind == sievra::kKindDeviceControl && r.code == kEndMarkerCode && r.length >= 20 &&
           std::memcmp(r.data + 4, secret.data(), secret.size()) == 0;
}

bool SendEndMarker(const std::string& runtime_dir, int port_number, const MarkerSecret& secret) {
    comm::UniqueFd fd(sievra::link::ConnectTo(
        runtime_dir + "/SievrApp" + std::to_string(port_number), SOCK_SEQPACKET));
    if (!fd.valid())
        return false;
    // A host that stopped answering (stopped by a signal) does not hold watch's end for good.
    const timeval limit{static_cast<time_t>(kAwaitClosedMs / 1000 + 5), 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    uint8_t reply[sievra::link::kResponseHeaderSize];
    uint8_t await[sievra::link::kRequestHeaderSize + 4] = {};
    sievra::PutLe32(await, 1);
    await[4] = sievra::link::kAppAwaitClosed;
    sievra::PutLe32(await + 9, 4);
    sievra::PutLe32(await + sievra::link::kRequestHeaderSize, kAwaitClosedMs);
    if (::send(fd.get(), await, sizeof await, MSG_NOSIGNAL) != sizeof await ||
        !sievra::link::ReadFully(fd.get(), reply, sizeof reply)) {
        return false;
    }
    // The request's answer takes the first 4 bytes; the secret stays behind them.
    uint8_t request[sievra::link::kRequestHeaderSize + 20] = {};
    sievra::PutLe32(request, 2);
    request[4] = sievra::link::kDeviceControl;
    sievra::PutLe32(request + 5, kEndMarkerCode);
    sievra::PutLe32(request + 9, 20);
    sievra::PutLe32(request + 13, 4);
    std::memcpy(request + sievra::link::kRequestHeaderSize + 4, secret.data(), secret.size());
    if (::send(fd.get(), request, sizeof request, MSG_NOSIGNAL) != sizeof request)
        return false;
    return sievra::link::ReadFully(fd.get(), reply, sizeof reply);
}

// Passes the signals watch is sent on to the program, as they are (SIGINT stays SIGINT), until
// destroyed. A signal the terminal sent (Ctrl-C) reached the program's process group, which is
// watch's own, already: that one is not sent twice. When the reader of watch's output goes away
// the program is sent SIGTERM, so that the watch ends.
class SignalForwarder {
  public:
    SignalForwarder(int signal_fd, pid_t program, int output_fd) {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            wake_read_.Reset(fds[0]);
            wake_write_.Reset(fds[1]);
        }
        thread_ = std::thread([this, signal_fd, program, output_fd] {
            pollfd p[3] = {{signal_fd, POLLIN, 0},
                           {wake_read_.get(), POLLIN, 0},
                           OutputClosedPollFd(output_fd)};
            for (;;) {
                if (::poll(p, 3, -1) < 0 && errno != EINTR)
                    return;
                if (p[1].revents != 0)
                    return;
                if (OutputClosedIn(p[2])) {
                    ::kill(program, SIGTERM);
                    p[2].fd = -1;  // said once
                }
                signalfd_siginfo info;
                if (p[0].revents == 0 || ::read(signal_fd, &info, sizeof info) != sizeof info)
                    continue;
                const bool from_terminal =
                    info.ssi_code == SI_KERNEL && ::getpgid(program) == ::getpgrp();
                if (!from_terminal)
                    ::kill(program, static_cast<int>(info.ssi_signo));
            }
        });
    }
    ~SignalForwarder() {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_write_.get(), &byte, 1);
        thread_.join();
    }
    SignalForwarder(const SignalForwarder&) = delete;
    SignalForwarder& operator=(const SignalForwarder&) = delete;

  private:
    comm::UniqueFd wake_read_;
    comm::UniqueFd wake_write_;
    std::thread thread_;
};

// One watched port: its link in monitor mode and the thread printing its records until the
// end marker arrives or the link closes.
struct WatchedPort {
    std::string name;
    int number = 0;  // the host's port number n (Sievr<n>)
    monitor::DriverLink link;
    std::thread reader;
    explicit WatchedPort(const std::string& runtime_dir) : link(runtime_dir) {}
};

enum class WatchPath { kPreload, kTrace, kAttach };

// Chooses how to see the program's calls: its system calls, unless the attachment is asked for
// or the program is none this machine's tracer follows; false (with the reason said) when it
// cannot be watched.
bool ChoosePath(const WatchOptions& options, const std::string& program, WatchPath& path,
                std::FILE* err) {
    if (options.preload) {
        path = WatchPath::kPreload;
        return true;
    }
    path = options.pid != 0 ? WatchPath::kAttach : WatchPath::kTrace;
    std::string why;
    const bool supported = trace::TracingSupported(why);
    const trace::ImageKind kind =
        options.pid != 0 ? trace::ImageKind::kDynamic64 : trace::InspectImage(program);
    if (!supported || kind == trace::ImageKind::kOther) {
        if (options.trace || options.pid != 0) {
            std::fprintf(err, "porvane-cli: %s\n",
                         supported ? ("--trace follows 64-bit x86 programs only, and " + program +
                                      " is not one")
                                         .c_str()
                                   : why.c_str());
            return false;
        }
        std::fprintf(err,
                     "porvane-cli: %s: its system calls cannot be followed here: preloading the "
                     "attachment, which sees only the ports of the device map\n",
                     program.c_str());
        path = WatchPath::kPreload;
        return true;
    }
    return true;
}

// The device numbers of the terminals watch works on: its controlling terminal and the terminals
// of its standard streams. Their traffic is never a port's.
std::vector<dev_t> TerminalsOf(pid_t pid) {
    std::vector<dev_t> devices;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name (which may hold blanks): state, ppid, pgrp, session,
    // tty_nr.
    if (const size_t close = text.rfind(')'); close != std::string::npos) {
        std::istringstream fields(text.substr(close + 1));
        std::string state;
        long long parent = 0, group = 0, session = 0, tty = 0;
        if (fields >> state >> parent >> group >> session >> tty && tty != 0) {
            const auto nr = static_cast<unsigned long long>(tty);
            devices.push_back(makedev((nr >> 8) & 0xfff, (nr & 0xff) | ((nr >> 12) & 0xfff00)));
        }
    }
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st;
        if (::isatty(fd) && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode))
            devices.push_back(st.st_rdev);
    }
    return devices;
}

// Whether the attachment is loaded into every program (installed system-wide), so that a
// traced program must be told to keep it out.
bool SystemWideAttachment() {
    std::ifstream preload("/etc/ld.so.preload");
    const std::string text((std::istreambuf_iterator<char>(preload)),
                           std::istreambuf_iterator<char>());
    return text.find("sievra") != std::string::npos;
}

// The ports asked for on the command line, as the host's map names them: absolute paths.
std::vector<devicemap::DeviceMapEntry> AskedPorts(const std::vector<std::string>& paths) {
    std::vector<devicemap::DeviceMapEntry> entries;
    for (const std::string& path : paths) {
        std::error_code ec;
        const fs::path absolute = fs::absolute(path, ec).lexically_normal();
        entries.push_back({"port" + std::to_string(entries.size() + 1), absolute.string()});
    }
    return entries;
}

// The ports of the host, numbered as the host numbers them, with their device numbers.
std::vector<trace::TracedPort> TracedPorts(const std::vector<devicemap::DeviceMapEntry>& ports) {
    std::vector<trace::TracedPort> traced;
    for (size_t i = 0; i < ports.size(); ++i) {
        struct stat st;
        if (::stat(comm::DevicePathForPort(ports[i].port).c_str(), &st) == 0 && S_ISCHR(st.st_mode))
            traced.push_back({static_cast<uint32_t>(i + 1), st.st_rdev, ports[i].port});
    }
    return traced;
}

// The command name of a running process, as /proc tells it ("" when it cannot be read).
std::string ProcessName(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

// The attachment of the build (lib/ beside bin/) or of the installation the program is part of.
std::string AttachmentPath() {
    const fs::path above = ProgramFolder().parent_path();
    const fs::path built = (above / "lib" / "libsievra.so").lexically_normal();
    std::error_code ec;
    if (fs::exists(built, ec))
        return built.string();
    return (above / PORVANE_INSTALLED_ATTACHMENT).lexically_normal().string();
}

int RunWatchCommand(const WatchOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    if (options.command.empty() == (options.pid == 0) || (options.trace && options.preload)) {
        std::fprintf(err,
                     "porvane-cli: watch needs a program: watch [--trace|--preload] [--port PATH] "
                     "[--] PROGRAM ARGS..., or watch --pid PID\n");
        return 2;
    }
    // The records' file is checked before anything starts: a run whose records are lost is
    // not worth starting.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> output_file(
        options.output.empty() ? nullptr : OpenRecordsFile(options.output), std::fclose);
    if (!options.output.empty() && !output_file) {
        std::fprintf(err, "porvane-cli: cannot write the records to %s: %s\n",
                     options.output.c_str(), std::strerror(errno));
        return kOutputNotWritable;
    }
    const std::unique_ptr<capture::SerialCaptureWriter> capture_file =
        options.capture.empty() ? nullptr
                                : OpenCaptureFile(options.capture, "porvane-cli watch", err);
    if (!options.capture.empty() && !capture_file)
        return kOutputNotWritable;
    // A capture alone is written as tcpdump -w writes: no record lines, the summary on err.
    const bool print = options.capture.empty() || options.print || output_file;
    std::FILE* const records_out = output_file ? output_file.get() : print ? out : err;
    // The program's own output shares the stream: a line written whole in one write is never
    // cut by it.
    if (!output_file)
        std::setvbuf(out, nullptr, _IOLBF, BUFSIZ);
    const std::string program =
        options.command.empty() ? std::string() : trace::FindProgram(options.command[0]);
    WatchPath path = WatchPath::kPreload;
    const std::string shown =
        !program.empty() || options.command.empty() ? program : options.command[0];
    if (!ChoosePath(options, shown, path, err))
        return kCannotRun;
    const std::string library = AttachmentPath();
    if (path == WatchPath::kPreload && ::access(library.c_str(), R_OK) != 0) {
        std::fprintf(err, "porvane-cli: the attachment %s is missing (build the sievra target)\n",
                     library.c_str());
        return kCannotRun;
    }
    const std::string sievrad = (ProgramFolder() / "sievrad").string();
    if (::access(sievrad.c_str(), X_OK) != 0) {
        std::fprintf(err, "porvane-cli: the driver host %s is missing\n", sievrad.c_str());
        return kCannotRun;
    }
    for (const std::string& port : options.ports) {
        struct stat st;
        if (::stat(port.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            std::fprintf(err, "porvane-cli: --port %s: %s\n", port.c_str(),
                         errno == ENOENT ? "no such device" : "not a terminal device");
            return 2;
        }
    }
    // Which ports: those asked for; else, for the attachment, the device map's; else every
    // terminal device the program opens, as the tracer meets them.
    const bool on_demand = path != WatchPath::kPreload && options.ports.empty();
    std::vector<devicemap::DeviceMapEntry> initial = AskedPorts(options.ports);
    const auto machine_map = devicemap::ReadDeviceMap();
    std::string map_source = "the command line";
    if (path == WatchPath::kPreload && options.ports.empty()) {
        if (const std::string problem = devicemap::DeviceMapFileProblem(); !problem.empty()) {
            std::fprintf(err, "porvane-cli: %s: no port can be watched\n", problem.c_str());
            return kCannotRun;
        }
        if (!machine_map || machine_map->entries.empty()) {
            std::fprintf(err, "porvane-cli: the serial device map%s holds no port to watch\n",
                         machine_map ? (" (" + machine_map->source + ")").c_str() : "");
            return kCannotRun;
        }
        initial = devicemap::HostPortOrder(*machine_map);
        map_source = "the device map in " + machine_map->source;
    }
    const std::string runtime_dir = MakeRuntimeDir();
    const std::string map_dir = MakeRuntimeDir();
    if (runtime_dir.empty() || map_dir.empty()) {
        std::fprintf(err, "porvane-cli: cannot create a runtime folder: %s\n",
                     std::strerror(errno));
        return kCannotRun;
    }
    // Removes the private folders on every way out.
    const auto remove_folder = [](const std::string* dir) {
        std::error_code ec;
        fs::remove_all(*dir, ec);
    };
    const std::unique_ptr<const std::string, decltype(remove_folder)> folder(&runtime_dir,
                                                                             remove_folder);
    const std::unique_ptr<const std::string, decltype(remove_folder)> map_folder(&map_dir,
                                                                                 remove_folder);
    const std::string map_path = map_dir + "/ports.map";

    // The program's environment is its own; the attachment, when it is loaded, is told the
    // private host's folder (the host gets its map besides).
    std::vector<std::string> env;
    std::string preload = library;  // the attachment first, then whatever was preloaded already
    bool preloaded = false;         // LD_PRELOAD was set already
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) == 0) {
            preloaded = true;
            if (entry.size() > 11)
                preload += ":" + entry.substr(11);
        } else if (path != WatchPath::kPreload || entry.rfind("SIEVRA_RUNTIME_DIR=", 0) != 0) {
            env.push_back(entry);
        }
    }
    std::vector<std::string> host_env;
    for (const std::string& entry : env) {
        if (entry.rfind("PORVANE_DEVICE_MAP=", 0) != 0 &&
            entry.rfind("SIEVRA_RUNTIME_DIR=", 0) != 0) {
            host_env.push_back(entry);
        }
    }
    host_env.push_back("PORVANE_DEVICE_MAP=" + map_path);
    if (path == WatchPath::kPreload) {
        env.push_back("SIEVRA_RUNTIME_DIR=" + runtime_dir);
        // The private host serves this program alone: its answers are worth waiting for longer
        // than a shared host's, so that a busy machine does not let the first calls after an
        // open pass unrecorded.
        if (std::getenv("SIEVRA_REPLY_MS") == nullptr)
            env.push_back(std::string("SIEVRA_REPLY_MS=") + kWatchReplyMs);
    }

    // The host says on its standard output when its sockets are ready, and each port it adds.
    int ready_pipe[2];
    if (::pipe2(ready_pipe, O_CLOEXEC) != 0) {
        std::fprintf(err, "porvane-cli: pipe: %s\n", std::strerror(errno));
        return kCannotRun;
    }
    comm::UniqueFd ready_read(ready_pipe[0]);
    OnDemandPorts host_map(map_path, ready_read.get());
    if (!host_map.Start(initial)) {
        std::fprintf(err, "porvane-cli: cannot write %s: %s\n", map_path.c_str(),
                     std::strerror(errno));
        ::close(ready_pipe[1]);
        return kCannotRun;
    }
    std::string error;
    std::vector<std::string> host_args = {sievrad,          "--runtime-dir",  runtime_dir,
                                          "--name-openers", "--time-records", "--end-with-parent"};
    if (on_demand)
        host_args.push_back("--ports-on-demand");
    // Following the system calls, watch makes every request itself: nobody else is heard.
    if (path != WatchPath::kPreload)
        host_args.insert(host_args.end(), {"--only-client", std::to_string(::getpid())});
    const pid_t host = Spawn(host_args, host_env, ready_pipe[1], false, true, error);
    ::close(ready_pipe[1]);
    if (host < 0) {
        std::fprintf(err, "porvane-cli: cannot start %s: %s\n", sievrad.c_str(), error.c_str());
        return kCannotRun;
    }
    // A host stopped by a signal (the watched program may send it one) is woken to end, and one
    // that does not end in time is killed: watch never waits for it for good.
    auto stop_host = [host] {
        const comm::UniqueFd ended(static_cast<int>(::syscall(SYS_pidfd_open, host, 0)));
        ::kill(host, SIGTERM);
        ::kill(host, SIGCONT);
        pollfd p{ended.get(), POLLIN, 0};
        while (ended.valid() && ::poll(&p, 1, kHostEndMs) < 0 && errno == EINTR) {
        }
        if (!ended.valid() || (p.revents & POLLIN) == 0)
            ::kill(host, SIGKILL);
        return WaitStatus(host);
    };
    std::string greeting;
    char c;
    while (greeting.find('\n') == std::string::npos && ::read(ready_read.get(), &c, 1) == 1)
        greeting += c;
    if (greeting.rfind("sievrad:", 0) != 0) {
        std::fprintf(err, "porvane-cli: the driver host did not start\n");
        stop_host();
        return kCannotRun;
    }

    std::vector<std::unique_ptr<WatchedPort>> ports;
    MarkerSecret secret{};
    if (::getrandom(secret.data(), secret.size(), 0) != static_cast<ssize_t>(secret.size())) {
        std::fprintf(err, "porvane-cli: getrandom: %s\n", std::strerror(errno));
        stop_host();
        return kCannotRun;
    }
    RecordOutput records(records_out, {options.hex, options.data_only, options.stamp,
                                       options.json ? RecordFormat::kJson : RecordFormat::kText,
                                       true, print, options.decoder, true});
    records.SetCapture(capture_file.get());
    records.ExpectDefaultProcess();
    records.StartTimer();
    // Puts the host's port number in monitor mode and prints its records from a thread.
    const auto watch_port = [&](const std::string& name, int number) {
        auto port = std::make_unique<WatchedPort>(runtime_dir);
        port->name = name;
        port->number = number;
        if (!port->link.Open(number - 1)) {
            std::fprintf(err, "porvane-cli: cannot open the control device of %s\n", name.c_str());
            return false;
        }
        port->link.SetMode(sievra::kLinkModeMonitor);
        WatchedPort* p = port.get();
        p->reader = std::thread([p, &records, &secret] {
            // Large reads: a busy program's records come many at a time, so it never waits for
            // this thread's round trips.
            std::vector<uint8_t> buffer(sievra::link::kMaxRecordRead);
            bool end = false;
            while (!end) {
                const uint32_t n =
                    p->link.Read(buffer.data(), static_cast<uint32_t>(buffer.size()));
                if (n == 0 && !p->link.IsOpen())
                    break;
                // Print up to the end marker.
                size_t printed = 0;
                monitor::WalkRecords(buffer.data(), n, [&](const monitor::MonitorRecord& r) {
                    const size_t at =
                        static_cast<size_t>(r.data - buffer.data()) - sievra::kRecordHeaderSize;
                    if (!end && IsEndMarker(r, secret)) {
                        end = true;
                        printed = at;
                    }
                });
                records.Write(p->name, buffer.data(), end ? printed : n);
            }
        });
        ports.push_back(std::move(port));
        return true;
    };
    for (size_t i = 0; i < initial.size(); ++i)
        watch_port(initial[i].port, static_cast<int>(i) + 1);

    std::string watched;
    for (const auto& port : ports)
        watched += (watched.empty() ? "" : ", ") + port->name;
    if (on_demand) {
        std::fprintf(err,
                     "porvane-cli: watching every terminal device the program opens, but this "
                     "terminal\n");
    } else {
        std::fprintf(err, "porvane-cli: watching %s (%s)\n", watched.c_str(), map_source.c_str());
    }
    std::fflush(err);

    int status = kCannotRun;
    const std::string program_name = options.command.empty()
                                         ? ProcessName(options.pid)
                                         : fs::path(options.command[0]).filename().string();
    if (path == WatchPath::kPreload) {
        env.push_back("LD_PRELOAD=" + preload);
        const pid_t child = Spawn(options.command, env, -1, true, false, error);
        records.SetDefaultProcess(child < 0 ? RecordProcess{} : RecordProcess{child, program_name});
        if (child < 0) {
            std::fprintf(err, "porvane-cli: cannot run %s: %s\n", options.command[0].c_str(),
                         error.c_str());
        } else {
            // A signal to watch goes on to the program; its end ends the watch.
            const SignalForwarder forwarder(stop_fd, child, fileno(out));
            status = WaitStatus(child);
        }
    } else {
        // The tracer speaks to the host for the program; an attachment loaded all the same (a
        // system-wide preload) stays out of it.
        if (preloaded) {
            env.push_back("LD_PRELOAD=" + (preload == library
                                               ? std::string()
                                               : preload.substr(library.size() + 1)));
        }
        if (SystemWideAttachment())
            env.push_back("SIEVRA_DISABLE=1");
        trace::TraceSettings settings;
        settings.runtime_dir = runtime_dir;
        settings.ports = TracedPorts(initial);
        if (on_demand) {
            // A device the machine's map names keeps that name; any other is named by the path
            // the program opened it by.
            std::vector<std::pair<dev_t, std::string>> known;
            if (machine_map) {
                for (const auto& entry : machine_map->entries) {
                    struct stat st;
                    if (::stat(comm::DevicePathForPort(entry.port).c_str(), &st) == 0)
                        known.emplace_back(st.st_rdev, entry.port);
                }
            }
            settings.ignored_devices = TerminalsOf(::getpid());
            // The host knows a device by the kernel's name (or the map's), which the program
            // cannot change; the records name it as the program opened it.
            settings.new_port =
                [&, known](dev_t device, const std::string& opened,
                           const std::string& device_path) -> std::optional<trace::TracedPort> {
                std::string host_name = device_path;
                std::string name = EscapeControls(opened);  // one line per record, whatever it is
                for (const auto& [number, mapped] : known) {
                    if (number == device)
                        host_name = name = mapped;
                }
                for (const auto& port : ports) {
                    if (port->name == name)
                        name += " (" + device_path + ")";  // another device had the name
                }
                const uint32_t number = host_map.Add(host_name);
                if (number == 0 || !watch_port(name, static_cast<int>(number))) {
                    std::fprintf(err, "porvane-cli: %s cannot be watched\n", name.c_str());
                    return std::nullopt;
                }
                std::fprintf(err, "porvane-cli: watching %s\n", name.c_str());
                std::fflush(err);
                return trace::TracedPort{number, device, name};
            };
        }
        settings.hangup_fd = fileno(out);
        settings.started = [&records, &program_name](pid_t pid) {
            records.SetDefaultProcess({pid, program_name});
        };
        settings.notice = [err](const std::string& note) {
            // Notes name paths and processes the program chose: one line each, no controls.
            std::fprintf(err, "porvane-cli: %s\n", EscapeControls(note).c_str());
        };
        trace::CallTracer tracer(std::move(settings));
        if (path == WatchPath::kAttach) {
            records.SetDefaultProcess({options.pid, program_name});
            status = tracer.Attach(options.pid, stop_fd, error) == 0 ? 0 : kCannotRun;
        } else if (program.empty()) {
            error = "no such program";
        } else {
            status = tracer.Run(program, options.command, env, stop_fd, error);
        }
        if (status == kCannotRun && !error.empty()) {
            std::fprintf(err, "porvane-cli: %s: %s\n",
                         path == WatchPath::kAttach ? "--pid" : options.command[0].c_str(),
                         error.c_str());
        }
    }
    // Records never wait for a process that was not started.
    records.SetDefaultProcessIfPending({});
    // A host that ended (or stopped answering) before the program did took the records since
    // with it: said, never left for a silence to tell.
    int host_status = 0;
    const bool host_ended = ::waitpid(host, &host_status, WNOHANG) == host;
    std::vector<std::string> unanswered;
    for (auto& port : ports) {
        if (!host_ended && SendEndMarker(runtime_dir, port->number, secret))
            continue;
        port->link.Close();
        unanswered.push_back(port->name);
    }
    for (auto& port : ports) {
        port->reader.join();
        port->link.Close();
    }
    if (!host_ended)
        stop_host();
    records.WriteSummary();
    if (host_ended) {
        std::fprintf(err,
                     "porvane-cli: the driver host ended before the program (%s): the "
                     "records may be incomplete\n",
                     WIFSIGNALED(host_status)
                         ? ("killed by signal " + std::to_string(WTERMSIG(host_status))).c_str()
                         : ("status " + std::to_string(WEXITSTATUS(host_status))).c_str());
    } else {
        for (const std::string& name : unanswered) {
            std::fprintf(err,
                         "porvane-cli: %s: the driver host did not answer at the end: the "
                         "records may be incomplete\n",
                         EscapeControls(name).c_str());
        }
    }
    const bool capture_failed = ReportCaptureError(options.capture, records.CaptureError(), err);
    // A reader that went away (| head) ends the watch quietly: nothing more is said.
    if (options.output.empty() && OutputClosed(fileno(out)))
        return capture_failed ? kOutputNotWritable : status;
    for (const auto& [port, calls] : records.UnseenCalls()) {
        std::fprintf(err,
                     "porvane-cli: %s: %llu calls went through the C library where the attachment "
                     "cannot see them (a stream's reads, aio never collected); --trace sees them\n",
                     port.c_str(), static_cast<unsigned long long>(calls));
    }
    if (records.PortsWithRecords() == 0 && status != kCannotRun) {
        if (on_demand) {
            std::fprintf(err,
                         "porvane-cli: the program used no terminal device (this terminal is "
                         "never watched)\n");
        } else {
            std::fprintf(err, "porvane-cli: the program used none of the watched ports (%s)\n",
                         watched.c_str());
        }
    }
    // Records lost are a failure, whatever the program's status.
    if (records.failed() && !options.output.empty()) {
        std::fprintf(err, "porvane-cli: writing the records to %s failed\n",
                     options.output.c_str());
        return kOutputNotWritable;
    }
    if (records.failed())
        std::fprintf(err, "porvane-cli: writing the records to the output failed\n");
    return capture_failed ? kOutputNotWritable : status;
}

}  // namespace porvane::cli
