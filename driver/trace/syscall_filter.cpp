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

// The same calls in the other two ABIs a 64-bit x86 kernel takes: an x32 call (its number has
// kX32Bit set; its vectored transfers and ioctl have numbers of their own) and an i386 call (int
// 0x80 from any program, or a 32-bit program's), each with its 64-bit number.
struct OtherCall {
    long nr;
    long native;
};
constexpr OtherCall kX32Calls[] = {
    {0, SYS_read},
    {1, SYS_write},
    {2, SYS_open},
    {3, SYS_close},
    {32, SYS_dup},
    {33, SYS_dup2},
    {40, SYS_sendfile},
    {72, SYS_fcntl},
    {85, SYS_creat},
    {257, SYS_openat},
    {275, SYS_splice},
    {292, SYS_dup3},
    {425, SYS_io_uring_setup},
    {436, SYS_close_range},
    {437, SYS_openat2},
    {514, SYS_ioctl},
    {515, SYS_readv},
    {516, SYS_writev},
    {543, SYS_io_setup},
    {546, SYS_preadv2},
    {547, SYS_pwritev2},
};
constexpr OtherCall kI386Calls[] = {
    {3, SYS_read},          {4, SYS_write},      {5, SYS_open},
    {6, SYS_close},         {8, SYS_creat},      {41, SYS_dup},
    {54, SYS_ioctl},        {55, SYS_fcntl},     {63, SYS_dup2},
    {145, SYS_readv},       {146, SYS_writev},   {187, SYS_sendfile},
    {221, SYS_fcntl},       {239, SYS_sendfile}, {245, SYS_io_setup},
    {295, SYS_openat},      {313, SYS_splice},   {330, SYS_dup3},
    {378, SYS_preadv2},     {379, SYS_pwritev2}, {425, SYS_io_uring_setup},
    {436, SYS_close_range}, {437, SYS_openat2},
};

sock_filter Load(uint32_t offset) {
    return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}

sock_filter Return(uint32_t value) {
    return BPF_STMT(BPF_RET | BPF_K, value);
}

// Builds a program of forward jumps to labels placed later.
class Program {
  public:
    enum Label { kAllow, kTrace, kNative, kX32, kI386, kLabels };
    void Add(sock_filter s) { code_.push_back(s); }
    // if (A op k) goto on_true else goto on_false; a label of -1 falls through.
    void Jump(uint16_t op, uint32_t k, int on_true, int on_false) {
        if (on_true >= 0)
            patches_.push_back({code_.size(), on_true, true});
        if (on_false >= 0)
            patches_.push_back({code_.size(), on_false, false});
        code_.push_back(BPF_JUMP(BPF_JMP | op | BPF_K, k, 0, 0));
    }
    void Place(Label label) { at_[label] = code_.size(); }
    std::vector<sock_filter> Done() {
        for (const Patch& p : patches_) {
            const auto distance = static_cast<uint8_t>(at_[p.label] - p.at - 1);
            (p.on_true ? code_[p.at].jt : code_[p.at].jf) = distance;
        }
        return std::move(code_);
    }

  private:
    struct Patch {
        size_t at;
        int label;
        bool on_true;
    };
    std::vector<sock_filter> code_;
    std::vector<Patch> patches_;
    size_t at_[kLabels] = {};
};

bool Listed(const OtherCall* begin, const OtherCall* end, long nr, long& native) {
    const auto found = std::find_if(begin, end, [nr](const OtherCall& c) { return c.nr == nr; });
    if (found == end)
        return false;
    native = found->native;
    return true;
}

}  // namespace

std::vector<sock_filter> SyscallFilterProgram() {
    Program p;
    p.Add(Load(offsetof(seccomp_data, arch)));
    p.Jump(BPF_JEQ, AUDIT_ARCH_X86_64, Program::kNative, -1);
    p.Jump(BPF_JEQ, AUDIT_ARCH_I386, Program::kI386, Program::kAllow);

    p.Place(Program::kNative);
    p.Add(Load(offsetof(seccomp_data, nr)));
    p.Jump(BPF_JGE, kX32Bit, Program::kX32, -1);
    for (long nr : kStoppedCalls)
        p.Jump(BPF_JEQ, static_cast<uint32_t>(nr), Program::kTrace, -1);
    p.Jump(BPF_JEQ, SYS_fcntl, -1, Program::kAllow);
    p.Add(Load(offsetof(seccomp_data, args) + sizeof(uint64_t)));
    for (uint32_t command : {F_DUPFD, F_DUPFD_CLOEXEC})
        p.Jump(BPF_JEQ, command, Program::kTrace, -1);
    p.Add(Return(SECCOMP_RET_ALLOW));

    // Calls of the other ABIs stop whatever their arguments: the tracer sorts them out.
    p.Place(Program::kX32);
    for (const OtherCall& c : kX32Calls)
        p.Jump(BPF_JEQ, kX32Bit | static_cast<uint32_t>(c.nr), Program::kTrace, -1);
    p.Add(Return(SECCOMP_RET_ALLOW));
    p.Place(Program::kI386);
    p.Add(Load(offsetof(seccomp_data, nr)));
    for (const OtherCall& c : kI386Calls)
        p.Jump(BPF_JEQ, static_cast<uint32_t>(c.nr), Program::kTrace, -1);

    p.Place(Program::kAllow);
    p.Add(Return(SECCOMP_RET_ALLOW));
    p.Place(Program::kTrace);
    p.Add(Return(SECCOMP_RET_TRACE));
    return p.Done();
}

bool StopsFor(long nr, long second_argument) {
    if (nr == SYS_fcntl)
        return second_argument == F_DUPFD || second_argument == F_DUPFD_CLOEXEC;
    return std::find(std::begin(kStoppedCalls), std::end(kStoppedCalls), nr) !=
           std::end(kStoppedCalls);
}

long NativeCall(uint32_t arch, long nr, bool& other_abi) {
    other_abi = false;
    if (arch == AUDIT_ARCH_X86_64 && (nr & kX32Bit) == 0)
        return nr;
    other_abi = true;
    long native = -1;
    if (arch == AUDIT_ARCH_X86_64)
        Listed(std::begin(kX32Calls), std::end(kX32Calls), nr & ~static_cast<long>(kX32Bit),
               native);
    else if (arch == AUDIT_ARCH_I386)
        Listed(std::begin(kI386Calls), std::end(kI386Calls), nr, native);
    return native;
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
