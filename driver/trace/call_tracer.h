#pragma once

// The system-call path: follows a program and every process and thread it starts with ptrace,
// and turns its calls on ports into the same requests the attachment sends, through the same
// host (its application sockets), so that every record and filter rule is the same. The tracer
// speaks to the host itself, for the program: the program's user does not matter, and it never
// sees the host's folder. x86-64 only; the 32-bit calls such a program can make (int 0x80, x32)
// are followed as their 64-bit twins, but for vectored transfers on a port, which are refused.
//
// Every call the kernel gets is on record: where a library function makes several (tcsetattr
// reads the settings before it sets them, stdio asks whether its stream is a terminal), each is
// shown, as the program made it; the attachment, which sees the function, shows one.
//
// A started program runs under a seccomp filter, so that only the calls that can touch a port
// stop. A running program (Attach) cannot be given one (a filter is never removed again): each
// of its system calls stops instead, and detaching leaves it exactly as it was.
// A read or write on a port of a started program that cannot wait stops once, at the filter:
// the tracer makes it for the program (see EntryTransfer); others stop at their entry and exit.
//
// The tracer waits for its programs with waitpid(-1): a child of the calling process that ends
// meanwhile is reaped by it (and otherwise ignored). All calls on one CallTracer come from one
// thread (the kernel's tracer is a thread).
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sievra::trace {

// A port of the host's map: its number n (SievrApp<n>), its device number and path.
struct TracedPort {
    uint32_t number = 0;
    dev_t device = 0;
    std::string path;
};

struct TraceSettings {
    std::string runtime_dir;  // the host's folder
    std::vector<TracedPort> ports;
    // Called for a terminal device a process uses that is none of ports (nor ignored): with its
    // device number, the path it was opened by (or the kernel's name of it) and the kernel's
    // name of it, returns the host's port for it, or nothing when it cannot be watched (asked
    // once per device). Unset: only ports are watched.
    std::function<std::optional<TracedPort>(dev_t device, const std::string& path,
                                            const std::string& device_path)>
        new_port;
    // Terminal devices never watched (the terminal the watch itself runs on).
    std::vector<dev_t> ignored_devices;
    int reply_timeout_ms = 2000;  // how long a call waits for the host
    // Told the started program's process id once it is followed, before it runs.
    std::function<void(pid_t)> started;
    // A descriptor whose hang-up (the reader of the records went away: | head) ends the
    // following as SIGTERM to the tracer does: a started program is sent SIGTERM, a running
    // one is let go of. -1: none.
    int hangup_fd = -1;
    // Told what the user should know of the following (a call that was refused); unset: said
    // on stderr.
    std::function<void(const std::string&)> notice;
};

// The exit status when the program could not be started.
inline constexpr int kCannotStart = 125;

// Whether this build can follow programs by their system calls; else why not.
bool TracingSupported(std::string& why);

class CallTracer {
  public:
    explicit CallTracer(TraceSettings settings);
    ~CallTracer();
    CallTracer(const CallTracer&) = delete;
    CallTracer& operator=(const CallTracer&) = delete;

    // Starts the program at path (argv, env) traced and follows it and its children until all
    // have ended. Signals read from stop_fd (a signalfd) are passed on to the program, but for
    // one the terminal already sent to the program's process group. Returns the program's exit
    // status (128 + signal when killed), or kCannotStart with error set.
    int Run(const std::string& path, const std::vector<std::string>& argv,
            const std::vector<std::string>& env, int stop_fd, std::string& error);

    // Follows the running process pid and all its threads and children, reporting the ports it
    // holds as opens, until it ends or stop_fd becomes readable; then lets go of every thread,
    // each where it was. 0, or -1 with error set (attaching refused, no such process).
    int Attach(pid_t pid, int stop_fd, std::string& error);

  private:
    class Session;
    TraceSettings settings_;
};

}  // namespace sievra::trace
