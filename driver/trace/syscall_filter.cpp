#include "driver/trace/syscall_filter.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <iterator>

namespace sievra::trace {
namespace {

// The calls that open a file (a port among them), move data (between memory and a file, or
// between files), set a terminal, copy or close a descriptor, or make a ring or context that would
// move data without any further call.
constexpr long kStoppedCalls[] = {
    SYS_open,        SYS_openat,   SYS_openat2, SYS_creat,          SYS_read,
    SYS_readv,       SYS_preadv2,  SYS_write,   SYS_writev,         SYS_pwritev2,
    SYS_ioctl,       SYS_close,    SYS_dup,     SYS_dup2,           SYS_dup3,
    SYS_close_range, SYS_sendfile, SYS_splice,  SYS_io_uring_setup, SYS_io_setup,
};

constexpr uint32_t kX32Bit = 0x40000000;

sock_filter Load(uint32_t offset) {
    return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}

sock_filter Return(uint32_t value) {
    return BPF_STMT(BPF_RET | BPF_K, value);
}

}  // namespace

std::vector<sock_filter> SyscallFilterProgram() {
    // Jumps are relative and forward: each test jumps to one of the two returns at the end.
    std::vector<sock_filter> code;
    std::vector<size_t> to_allow, to_trace;  // tests whose jt/jf are patched below
    code.push_back(Load(offsetof(seccomp_data, arch)));
    to_allow.push_back(code.size());
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 0));  // jf: allow
    code.push_back(Load(offsetof(seccomp_data, nr)));
    to_allow.push_back(code.size());
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 0, 0));  // jt: allow
    for (long nr : kStoppedCalls) {
        to_trace.push_back(code.size());
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 0));
    }
    to_allow.push_back(code.size());
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fcntl, 0, 0));  // jf: allow
    code.push_back(Load(offsetof(seccomp_data, args) + sizeof(uint64_t)));
    for (uint32_t command : {F_DUPFD, F_DUPFD_CLOEXEC}) {
        to_trace.push_back(code.size());
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, command, 0, 0));
    }
    const size_t allow = code.size();
    code.push_back(Return(SECCOMP_RET_ALLOW));
    const size_t trace = code.size();
    code.push_back(Return(SECCOMP_RET_TRACE));
    for (size_t at : to_trace)
        code[at].jt = static_cast<uint8_t>(trace - at - 1);
    for (size_t at : to_allow) {
        const auto distance = static_cast<uint8_t>(allow - at - 1);
        if (BPF_OP(code[at].code) == BPF_JGE)
            code[at].jt = distance;
        else
            code[at].jf = distance;
    }
    return code;
}

bool StopsFor(long nr, long second_argument) {
    if (nr == SYS_fcntl)
        return second_argument == F_DUPFD || second_argument == F_DUPFD_CLOEXEC;
    return std::find(std::begin(kStoppedCalls), std::end(kStoppedCalls), nr) !=
           std::end(kStoppedCalls);
}

bool InstallSyscallFilter(const sock_fprog& program) {
    if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0)
        return true;
    if (errno != EACCES)
        return false;
    // Without the right to change its privileges, the kernel takes a filter only from a
    // process that can gain none.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

}  // namespace sievra::trace
