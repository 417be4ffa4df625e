// What the attachment costs a program: a pseudo-terminal ping-pong of 1-byte and 4096-byte
// writes and reads, run without the attachment, with it and nobody watching, in monitor mode and
// in filter mode (a count rule armed that never fires), against a real sievrad, in one run.
// Beside them the system-call path in monitor mode (this binary as the tracer, in its --tracer
// role) and, where strace is installed, `strace -f` on the same exchange.
// The program under test is this binary itself in its --child role; the far end echoes here.
// Arguments, when given, name the modes to run (unwatched monitor filter traced "strace -f").
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/host/testing/host_ready.h"
#include "driver/link/link_protocol.h"
#include "driver/sievra_protocol.h"
#include "driver/trace/call_tracer.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "porvane/monitor/driver_link.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The program's side: raw port, `rounds` times write `size` bytes and (when the far end echoes)
// read them back whole, with wait first waiting for them in poll as a terminal program does.
// Prints the nanoseconds per round and the read and write calls made.
int Child(const char* path, long rounds, size_t size, bool echo, bool wait) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0)
        return 2;
    termios t;
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    std::vector<char> out(size, 'x');
    std::vector<char> in(size);
    long calls = 0;
    const auto start = Clock::now();
    for (long r = 0; r < rounds; ++r) {
        if (::write(fd, out.data(), size) != static_cast<ssize_t>(size))
            return 3;
        ++calls;
        for (size_t got = 0; echo && got < size;) {
            pollfd ready{fd, POLLIN, 0};
            if (wait && ::poll(&ready, 1, -1) != 1)
                return 5;
            const ssize_t n = ::read(fd, in.data() + got, size - got);
            if (n <= 0)
                return 4;
            got += static_cast<size_t>(n);
            ++calls;
        }
    }
    const double ns =
        std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
    std::printf("%.1f %ld\n", ns, calls);
    ::close(fd);
    return 0;
}

struct Result {
    double ns_per_round = 0;      // wall clock, as the program sees it
    double cpu_ns_per_round = 0;  // the program's own processor time (user and system)
    double calls_per_round = 0;
    double switches_per_round = 0;  // the program's context switches, waited and preempted
};

// The tracer's role: runs argv (this binary's --child role) on the system-call path against the
// host in runtime, with slave as the host's port 1.
int Tracer(const std::string& runtime, const std::string& slave, std::vector<std::string> argv) {
    struct stat st;
    if (::stat(slave.c_str(), &st) != 0)
        return 2;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    sievra::trace::TraceSettings settings;
    settings.runtime_dir = runtime;
    settings.ports = {{1, st.st_rdev, slave}};
    settings.reply_timeout_ms = 10000;
    sievra::trace::CallTracer tracer(std::move(settings));
    std::string error;
    const int status = tracer.Run(argv[0], argv, env, -1, error);
    if (!error.empty())
        std::fprintf(stderr, "bench_attachment: %s\n", error.c_str());
    return status;
}

// Runs the child (behind the wrapper's arguments, when there are any) under env and echoes on
// the master until it ends.
Result RunOnce(const std::string& self, const std::string& slave, int master, long rounds,
               size_t size, bool echo, bool wait, const std::vector<std::string>& env,
               const std::vector<std::string>& wrapper) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {};
    std::vector<std::string> args = wrapper;
    for (const std::string& a :
         {self, std::string("--child"), slave, std::to_string(rounds), std::to_string(size),
          std::string(wait   ? "wait"
                      : echo ? "echo"
                             : "drain")})
        args.push_back(a);
    std::vector<std::string> envs = env;
    for (char** e = environ; *e != nullptr; ++e)
        envs.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::vector<char> buffer(65536);
    pollfd fds[2] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
    std::string text;
    for (;;) {
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master, buffer.data(), buffer.size());
            for (ssize_t done = 0; echo && n > 0 && done < n;) {
                const ssize_t w = ::write(master, buffer.data() + done, n - done);
                if (w <= 0)
                    break;
                done += w;
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char c[256];
            const ssize_t n = ::read(out[0], c, sizeof c);
            if (n <= 0)
                break;
            text.append(c, static_cast<size_t>(n));
        }
    }
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Result r;
    r.cpu_ns_per_round = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e9 +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e3;
    r.cpu_ns_per_round /= static_cast<double>(rounds);
    r.switches_per_round = static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw) / rounds;
    long calls = 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        std::sscanf(text.c_str(), "%lf %ld", &r.ns_per_round, &calls) == 2) {
        r.calls_per_round = static_cast<double>(calls) / rounds;
    } else {
        std::fprintf(stderr, "bench_attachment: the child failed (status %d)\n", status);
        std::exit(1);
    }
    return r;
}

std::string Directory(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "--child") == 0) {
        return Child(argv[2], std::atol(argv[3]), static_cast<size_t>(std::atol(argv[4])),
                     std::strcmp(argv[5], "drain") != 0, std::strcmp(argv[5], "wait") == 0);
    }
    if (argc > 4 && std::strcmp(argv[1], "--tracer") == 0)
        return Tracer(argv[2], argv[3], std::vector<std::string>(argv + 4, argv + argc));
    signal(SIGPIPE, SIG_IGN);
    // Each size's figures as soon as they are measured, also into a pipe or a file: the whole
    // run takes minutes.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';
    const std::string bin = Directory(self);
    const std::string library = Directory(bin) + "/lib/libsievra.so";
    setenv("PORVANE_BIN_DIR", bin.c_str(), 1);

    comm::testing::PtyPair pty;
    comm::testing::TempDir dir;
    const std::string runtime = dir.path() + "/run";
    const std::string map = dir.path() + "/map";
    std::ofstream(map) << "ttyS0=" << pty.slave_path() << "\n";
    setenv("PORVANE_DEVICE_MAP", map.c_str(), 1);
    // Timed and attributed records, as watch's own host makes them.
    comm::testing::ChildProcess host(
        "sievrad", {"--runtime-dir", runtime, "--time-records", "--name-openers"});
    unsetenv("PORVANE_DEVICE_MAP");
    if (!sievra::testing::WaitUntilServing(host)) {
        std::fprintf(stderr, "bench_attachment: sievrad did not start\n");
        return 1;
    }
    const std::vector<std::string> none;
    // A late answer must not turn filter mode into pass-through half way: that would flatter it.
    const std::vector<std::string> attached = {
        "LD_PRELOAD=" + library, "SIEVRA_RUNTIME_DIR=" + runtime, "SIEVRA_REPLY_MS=10000"};

    // Each way to run the program: its environment, the command in front of it, and the link
    // mode of a reader of its records (-1: nobody reads).
    struct Mode {
        const char* name;
        const std::vector<std::string>* env;
        std::vector<std::string> wrapper;
        int link_mode;
        bool filter_rule;
    };
    std::vector<Mode> modes = {
        {"without", &none, {}, -1, false},
        {"unwatched", &attached, {}, -1, false},
        {"monitor", &attached, {}, static_cast<int>(sievra::kLinkModeMonitor), false},
        {"filter", &attached, {}, static_cast<int>(sievra::kLinkModeFilter), true},
        {"traced",
         &none,
         {self, "--tracer", runtime, pty.slave_path()},
         static_cast<int>(sievra::kLinkModeMonitor),
         false},
    };
    if (::access("/usr/bin/strace", X_OK) == 0)
        modes.push_back(
            {"strace -f", &none, {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null"}, -1, false});
    // Named modes only, when any are given (the run without the attachment always: the others
    // are measured against it).
    if (argc > 1) {
        std::vector<Mode> chosen = {modes[0]};
        for (const Mode& m : modes) {
            if (std::find(argv + 1, argv + argc, std::string(m.name)) != argv + argc &&
                m.name != modes[0].name)
                chosen.push_back(m);
        }
        modes = chosen;
    }
    struct Size {
        size_t bytes;
        long rounds;
        bool echo;  // ping-pong; otherwise writes only, drained at the far end
        bool wait;  // a poll before each read
    };
    const Size sizes[] = {{1, 20000, true, false},
                          {4096, 4000, true, false},
                          {1, 100000, false, false},
                          {1, 20000, true, true}};
    std::printf(
        "pty ping-pong, best of 5 runs. Wall: the round trip as the program sees it (on a busy\n"
        "machine mostly scheduling); CPU: the program's own processor time (and its tracer's).\n"
        "Added: per read or write call, beside the run without the attachment. traced: the\n"
        "system-call path in monitor mode.\n");
    for (const Size& size : sizes) {
        // Alternating runs, best of each, so a busy moment of the machine hits all alike.
        std::vector<Result> best(modes.size());
        for (Result& r : best)
            r.ns_per_round = 1e18;
        for (int run = 0; run < 5; ++run) {
            for (size_t mode = 0; mode < modes.size(); ++mode) {
                const Mode& m = modes[mode];
                std::unique_ptr<porvane::monitor::DriverLink> link;
                std::thread drain;
                if (m.link_mode >= 0) {
                    link = std::make_unique<porvane::monitor::DriverLink>(runtime);
                    if (!link->Open(0))
                        return 1;
                    link->SetMode(static_cast<uint32_t>(m.link_mode));
                    if (m.filter_rule) {
                        link->LoadRule(
                            sievra::IOCTL_FILTER_SEND_COUNT_RULE,
                            sievra::FilterRule{sievra::kFlip, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0x01, 0});
                    }
                    // Reads as `watch` does: many records per round trip.
                    drain = std::thread([&link] {
                        std::vector<uint8_t> records(sievra::link::kMaxRecordRead);
                        while (link->Read(records.data(), static_cast<uint32_t>(records.size())) >
                               0) {
                        }
                    });
                }
                const Result r = RunOnce(self, pty.slave_path(), pty.master(), size.rounds,
                                         size.bytes, size.echo, size.wait, *m.env, m.wrapper);
                if (r.ns_per_round < best[mode].ns_per_round)
                    best[mode].ns_per_round = r.ns_per_round;
                if (r.cpu_ns_per_round < best[mode].cpu_ns_per_round || run == 0) {
                    best[mode].cpu_ns_per_round = r.cpu_ns_per_round;
                    best[mode].switches_per_round = r.switches_per_round;
                }
                best[mode].calls_per_round = r.calls_per_round;
                if (link != nullptr) {
                    link->Close();
                    drain.join();
                }
            }
        }
        std::printf("%4zu-byte writes%s:\n", size.bytes,
                    size.wait   ? " and reads, each read waited for in poll (ping-pong)"
                    : size.echo ? " and reads (ping-pong)"
                                : " only (one way, drained)");
        for (size_t mode = 0; mode < modes.size(); ++mode) {
            const Result& r = best[mode];
            const double calls = r.calls_per_round;
            std::printf(
                "  %-9s wall %8.2f us/round trip, throughput %.3f of without, added "
                "%+6.2f us/call | CPU %6.2f us/round trip, %.3f of without, added %+6.2f "
                "us/call, %.2f switches/round trip\n",
                modes[mode].name, r.ns_per_round / 1000.0, best[0].ns_per_round / r.ns_per_round,
                (r.ns_per_round - best[0].ns_per_round) / calls / 1000.0,
                r.cpu_ns_per_round / 1000.0, best[0].cpu_ns_per_round / r.cpu_ns_per_round,
                (r.cpu_ns_per_round - best[0].cpu_ns_per_round) / calls / 1000.0,
                r.switches_per_round);
        }
    }
    host.Signal(SIGTERM);
    host.Wait(10000);
    return 0;
}
