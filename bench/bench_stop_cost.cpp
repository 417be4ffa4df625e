// What it costs this machine to stop a program at a system call and answer the call from
// another process: the floor under any system-call path, whatever it does at the stop. A child
// writes 1 byte to /dev/null 100000 times: without any stop; stopped by seccomp for ptrace, the
// tracer reading the byte, writing it itself and skipping the call (one stop per call, as the
// tracer's writes answered at their entry); and stopped by a seccomp user notification, the
// supervisor doing the same and answering (the other way to stop once per call). strace stops
// twice per call (entry and exit), so a path that stops once cannot cost much less than half of
// what strace adds.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/comm/unique_fd.h"

namespace {

constexpr int kCalls = 100000;
constexpr int kTarget = 3;  // the descriptor whose writes stop

// A filter that gives action to write(kTarget, ...) and lets everything else through.
int InstallFilter(uint32_t action, unsigned flags) {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kTarget, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, action),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    return static_cast<int>(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &program));
}

// The child's loop; exits 0 when every write returned 1.
[[noreturn]] void Writes() {
    for (int i = 0; i < kCalls; ++i) {
        if (::write(kTarget, "x", 1) != 1)
            ::_exit(3);
    }
    ::_exit(0);
}

bool SendDescriptor(int socket, int fd) {
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return ::sendmsg(socket, &message, 0) == 1;
}

int ReceiveDescriptor(int socket) {
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(socket, &message, MSG_CMSG_CLOEXEC) != 1 || CMSG_FIRSTHDR(&message) == nullptr)
        return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof fd);
    return fd;
}

// Reads the program's bytes at address and writes them to out, as a tracer answering a write.
ssize_t WriteFor(pid_t pid, uint64_t address, uint64_t count, int out) {
    char bytes[64];
    const iovec local{bytes, count < sizeof bytes ? count : sizeof bytes};
    const iovec remote{reinterpret_cast<void*>(address), local.iov_len};
    const ssize_t got = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
    return got < 0 ? -errno : ::write(out, bytes, static_cast<size_t>(got));
}

void ServePtrace(pid_t child, int out) {
    int status = 0;
    ::waitpid(child, &status, 0);  // its SIGSTOP
    ::ptrace(PTRACE_SETOPTIONS, child, 0, PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL);
    ::ptrace(PTRACE_CONT, child, 0, 0);
    while (::waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
        if (status >> 8 != (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8))) {
            ::ptrace(PTRACE_CONT, child, 0, WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status));
            continue;
        }
        user_regs_struct regs{};
        ::ptrace(PTRACE_GETREGS, child, 0, &regs);
        regs.rax = static_cast<uint64_t>(WriteFor(child, regs.rsi, regs.rdx, out));
        regs.orig_rax = static_cast<uint64_t>(-1);  // skipped: rax is its result
        ::ptrace(PTRACE_SETREGS, child, 0, &regs);
        ::ptrace(PTRACE_CONT, child, 0, 0);
    }
}

void ServeNotifications(int listener, int out) {
    for (;;) {
        seccomp_notif request{};
        if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0)
            return;  // the child has ended
        seccomp_notif_resp response{};
        response.id = request.id;
        const ssize_t r = WriteFor(static_cast<pid_t>(request.pid), request.data.args[1],
                                   request.data.args[2], out);
        if (r < 0)
            response.error = static_cast<int32_t>(r);
        else
            response.val = r;
        ::ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
}

enum class Stop { kNone, kPtrace, kNotification };

struct Figures {
    double wall_us = 0;  // per call, as the child sees it
    double cpu_us = 0;   // per call, the child's and whoever answers it
};

bool Run(Stop stop, Figures& figures) {
    comm::UniqueFd out(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    int pair[2];
    if (!out.valid() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    comm::UniqueFd mine(pair[0]), theirs(pair[1]);
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::dup2(out.get(), kTarget) != kTarget)
            ::_exit(2);
        if (stop == Stop::kPtrace) {
            ::ptrace(PTRACE_TRACEME, 0, 0, 0);
            if (InstallFilter(SECCOMP_RET_TRACE, 0) != 0)
                ::_exit(2);
            ::raise(SIGSTOP);
        } else if (stop == Stop::kNotification) {
            const int listener =
                InstallFilter(SECCOMP_RET_USER_NOTIF, SECCOMP_FILTER_FLAG_NEW_LISTENER |
                                                          SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV);
            if (listener < 0 || !SendDescriptor(theirs.get(), listener))
                ::_exit(2);
            ::close(listener);
        }
        Writes();
    }
    if (child < 0)
        return false;
    theirs.Reset();
    if (stop == Stop::kPtrace) {
        ServePtrace(child, out.get());
    } else if (stop == Stop::kNotification) {
        const comm::UniqueFd listener(ReceiveDescriptor(mine.get()));
        if (listener.valid())
            ServeNotifications(listener.get(), out.get());
    }
    int status = 0;
    rusage child_usage{};
    if (::wait4(child, &status, 0, &child_usage) != child && !WIFEXITED(status))
        return false;
    const double wall =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    auto us = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
    const double cpu = us(child_usage.ru_utime) + us(child_usage.ru_stime) + us(after.ru_utime) -
                       us(before.ru_utime) + us(after.ru_stime) - us(before.ru_stime);
    figures = {wall / kCalls, cpu / kCalls};
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main() {
    struct Mode {
        Stop stop;
        const char* name;
        Figures best{1e18, 1e18};
    };
    Mode modes[] = {{Stop::kNone, "no stop"},
                    {Stop::kPtrace, "ptrace stop"},
                    {Stop::kNotification, "seccomp notification"}};
    // Alternating runs, best of each, so a busy moment of the machine hits all alike.
    for (int run = 0; run < 5; ++run) {
        for (Mode& mode : modes) {
            Figures figures;
            if (!Run(mode.stop, figures)) {
                std::fprintf(stderr, "bench_stop_cost: the %s run failed\n", mode.name);
                return 1;
            }
            mode.best.wall_us = std::min(mode.best.wall_us, figures.wall_us);
            mode.best.cpu_us = std::min(mode.best.cpu_us, figures.cpu_us);
        }
    }
    std::printf("1-byte writes to /dev/null, each answered from another process; best of 5:\n");
    for (const Mode& mode : modes) {
        std::printf("  %-21s wall %6.2f us/call, added %+6.2f | CPU %6.2f us/call, added %+6.2f\n",
                    mode.name, mode.best.wall_us, mode.best.wall_us - modes[0].best.wall_us,
                    mode.best.cpu_us, mode.best.cpu_us - modes[0].best.cpu_us);
    }
    return 0;
}
