#include "driver/trace/entry_transfer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/trace/tracee_memory.h"

namespace sievra::trace {
namespace {

// The largest transfer made at the entry: the tracer holds its bytes meanwhile.
constexpr uint64_t kMaxEntryTransfer = 1 << 20;
// How long the tracer waits for the bytes of a read that finds none, before the program's call
// waits for them itself: about a reply's time on a fast line, short beside a person's notice.
constexpr auto kReplyWait = std::chrono::milliseconds(1);

// Copies between the program's memory and the tracer's with the kernel's own checks of the
// program's pages (a debugger's way past them would make a call succeed that the kernel fails).
// Returns the bytes copied; -1 when the process's memory is closed to the tracer.
ssize_t CopyFromProgram(pid_t tid, uint64_t address, void* out, size_t n) {
    const iovec local{out, n};
    const iovec remote{reinterpret_cast<void*>(address), n};
    const ssize_t got = ::process_vm_readv(tid, &local, 1, &remote, 1, 0);
    return got >= 0 || errno == EFAULT ? std::max<ssize_t>(got, 0) : -1;
}

ssize_t CopyToProgram(pid_t tid, uint64_t address, const void* in, size_t n) {
    const iovec local{const_cast<void*>(in), n};
    const iovec remote{reinterpret_cast<void*>(address), n};
    const ssize_t put = ::process_vm_writev(tid, &local, 1, &remote, 1, 0);
    return put >= 0 || errno == EFAULT ? std::max<ssize_t>(put, 0) : -1;
}

// How many bytes a blocking read of count bytes returns with at once under the terminal line
// discipline's settings: a whole line (1: what waits is whole lines); in raw mode as many as
// VMIN asks, or any with a timer alone, or none without either. False for settings the tracer
// cannot judge.
bool Needed(int file, uint64_t count, uint64_t& needed, bool& timer) {
    termios settings{};
    if (::tcgetattr(file, &settings) != 0 || (settings.c_lflag & EXTPROC) != 0)
        return false;
    const uint64_t min = settings.c_cc[VMIN];
    timer = settings.c_cc[VTIME] > 0;
    if ((settings.c_lflag & ICANON) != 0)
        needed = 1;
    else
        needed = min > 0 ? std::min(min, count) : (timer ? 1 : 0);
    return true;
}

int64_t Waiting(int file) {
    int waiting = 0;
    return ::ioctl(file, FIONREAD, &waiting) == 0 ? waiting : -1;
}

}  // namespace

EntryTransfer::Made EntryTransfer::Write(pid_t tid, PortOpen& open, const uint64_t* args) {
    const uint64_t count = args[2];
    // The port's own open that never blocks makes the write as the program's open would,
    // unless that one blocks and the line has no room for all.
    const int file = open.NonblockingFile();
    if (count == 0 || count > kMaxEntryTransfer || file < 0)
        return Made::kNothing;
    bytes_.resize(static_cast<size_t>(count));
    // Bytes the program cannot give (a bad address) are the kernel's to refuse.
    if (CopyFromProgram(tid, args[1], bytes_.data(), bytes_.size()) != static_cast<ssize_t>(count))
        return Made::kNothing;
    ssize_t written = ::write(file, bytes_.data(), bytes_.size());
    if (static_cast<uint64_t>(written) == count) {
        result_ = written;
        done_ = count;
        return Made::kWhole;
    }
    const bool blocking = open.Blocks();
    if (written < 0 && blocking)
        return Made::kNothing;  // no room, or the line is busy: the program's call waits
    if (written < 0) {
        // Nothing was written: the program's own open gives the program's own result.
        written = ::write(open.file(), bytes_.data(), bytes_.size());
        result_ = written < 0 ? -errno : written;
        done_ = static_cast<uint64_t>(std::max<ssize_t>(written, 0));
        return Made::kWhole;
    }
    result_ = written;
    done_ = static_cast<uint64_t>(written);
    return blocking ? Made::kPart : Made::kWhole;
}

EntryTransfer::Made EntryTransfer::Read(pid_t tid, PortOpen& open, const uint64_t* args,
                                        bool may_wait) {
    const uint64_t count = args[2];
    const int file = open.NonblockingFile();
    uint64_t needed = 0;
    bool timer = false;
    if (count == 0 || count > kMaxEntryTransfer || file < 0 || !open.TerminalDiscipline() ||
        !Needed(file, count, needed, timer)) {
        return Made::kNothing;
    }
    if (scratch_size_ < count) {
        scratch_ = std::make_unique<uint8_t[]>(static_cast<size_t>(count));
        scratch_size_ = static_cast<size_t>(count);
    }
    // Once as many bytes wait as the settings ask for, a read that does not block returns what
    // a blocking one would: the same bytes, at once. One byte is always enough to try with.
    ssize_t got = -1;
    if (needed <= 1 || Waiting(file) >= static_cast<int64_t>(needed))
        got = ::read(file, scratch_.get(), static_cast<size_t>(count));
    if (got < 0 || (got == 0 && needed > 0)) {
        if (!open.Blocks()) {
            // The program's own open does not block: its read takes what there is.
            got = ::read(open.file(), scratch_.get(), static_cast<size_t>(count));
            if (got < 0) {
                result_ = -errno;
                return Made::kWhole;
            }
        } else if (!may_wait || (timer && needed > 1) ||
                   (got = AwaitBytes(file, count, needed)) <= 0) {
            return Made::kNothing;  // the program's call waits for them
        }
    }
    // As the kernel, which takes the bytes before it copies them: a buffer the program cannot
    // take them into loses them, with EFAULT when none went in.
    const auto size = static_cast<size_t>(got);
    ssize_t put = size == 0 ? 0 : CopyToProgram(tid, args[1], scratch_.get(), size);
    if (put < 0)  // a process that made itself undumpable meanwhile: as a debugger writes
        put = WriteTracee(tid, args[1], scratch_.get(), size) ? got : 0;
    bytes_.assign(scratch_.get(), scratch_.get() + put);
    done_ = static_cast<uint64_t>(put);
    result_ = put > 0 || got == 0 ? put : -EFAULT;
    // Fewer than the settings wait for (another reader took some meanwhile): the program's call
    // waits for the rest, as it would have.
    return put == got && done_ < needed && open.Blocks() ? Made::kPart : Made::kWhole;
}

ssize_t EntryTransfer::AwaitBytes(int file, uint64_t count, uint64_t needed) {
    // The line says it is readable once a read would return (with a timer alone, at its first
    // byte): within a short while, as a reply comes, the tracer reads it for the program.
    const auto until = std::chrono::steady_clock::now() + kReplyWait;
    for (;;) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero())
            return -1;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{0, static_cast<long>(ns)};
        pollfd readable{file, POLLIN, 0};
        const int ready = ::ppoll(&readable, 1, &timeout, nullptr);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        // Hung up, or readable with fewer bytes than the settings ask for: the program's call
        // says what it makes of that.
        if (ready < 0 || (readable.revents & POLLIN) == 0 ||
            (needed > 1 && Waiting(file) < static_cast<int64_t>(needed)))
            return -1;
        const ssize_t got = ::read(file, scratch_.get(), static_cast<size_t>(count));
        if (got != 0 && !(got < 0 && errno == EAGAIN))
            return got;  // bytes, or an error the program's call would meet
        if (got == 0)
            return -1;
    }
}

bool AnswerCall(pid_t tid, user_regs_struct& regs, int64_t result) {
    regs.orig_rax = static_cast<uint64_t>(-1);  // no call: the kernel leaves rax as set here
    regs.rax = static_cast<uint64_t>(result);
    return ::ptrace(PTRACE_SETREGS, tid, nullptr, &regs) == 0;
}

dev_t ControllingTerminal(pid_t pid) {
    char text[1024];
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* stat = std::fopen(path.c_str(), "re");
    if (stat == nullptr)
        return 0;
    const size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[n] = '\0';
    // The name in parentheses may hold anything: the fields follow its last ')'.
    const char* fields = std::strrchr(text, ')');
    int tty = 0;
    if (fields == nullptr || std::sscanf(fields + 1, " %*c %*d %*d %*d %d", &tty) != 1)
        return 0;
    const auto code = static_cast<unsigned>(tty);
    return makedev((code >> 8) & 0xfff, (code & 0xff) | ((code >> 12) & 0xfff00));
}

}  // namespace sievra::trace
