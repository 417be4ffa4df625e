// Includes the kernel's terminal definitions: an ioctl's argument is the kernel's record.
#include "driver/trace/port_calls.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string>

#include "driver/link/host_link.h"
#include "driver/sievra_protocol.h"
#include "driver/trace/tracee_memory.h"

namespace sievra::trace {
namespace {

// Bytes that pass the rules with one exchange, as the attachment sends them.
constexpr size_t kFilterPiece = 1024;
// A filtered write larger than this goes out unfiltered (and is reported so): the tracer holds
// the program's bytes and what the rules made of them while the kernel writes.
constexpr uint64_t kMaxFilteredWrite = 1 << 20;

void CountUnfiltered(link::OpenPort& link, uint64_t bytes) {
    ++link.sent_unfiltered.requests;
    link.sent_unfiltered.bytes += static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX));
}

// Whether any of the segments lies in a shared mapping of tid's process: its bytes there are a
// file's or another process's too, and must never hold what the rules made of them, not even
// while the kernel writes (nor for good, should the tracer end mid-call).
bool InSharedMapping(pid_t tid, const std::vector<TraceeBuffers::Segment>& segments) {
    std::ifstream maps("/proc/" + std::to_string(tid) + "/maps");
    if (!maps)
        return true;  // unknown: taken as shared
    for (std::string line; std::getline(maps, line);) {
        unsigned long long start = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %4s", &start, &end, perms) != 3 || perms[3] != 's')
            continue;
        for (const TraceeBuffers::Segment& s : segments) {
            if (s.length > 0 && s.address < end && s.address + s.length > start)
                return true;
        }
    }
    return false;
}

bool PassesValue(uint32_t request) {
    return request == TCFLSH || request == TCSBRK || request == TCXONC || request == TIOCMIWAIT;
}

}  // namespace

bool TraceeBuffers::Take(pid_t tid, long nr, const uint64_t* args) {
    tid_ = tid;
    segments_.clear();
    total_ = 0;
    if (nr == SYS_read || nr == SYS_write) {
        segments_.push_back({args[1], args[2]});
        total_ = args[2];
        return true;
    }
    const uint64_t count = args[2];
    if (count > IOV_MAX)
        return false;
    std::vector<iovec> iov(count);
    if (!ReadTracee(tid, args[1], iov.data(), count * sizeof(iovec)))
        return false;
    for (const iovec& v : iov) {
        if (v.iov_len > static_cast<size_t>(SSIZE_MAX) - total_)
            return false;
        segments_.push_back({reinterpret_cast<uint64_t>(v.iov_base), v.iov_len});
        total_ += v.iov_len;
    }
    return true;
}

template <typename Copy>
bool TraceeBuffers::ForEachPiece(uint64_t offset, size_t n, Copy copy) const {
    size_t at = 0;
    for (const Segment& s : segments_) {
        if (n == 0)
            break;
        if (offset >= s.length) {
            offset -= s.length;
            continue;
        }
        const size_t take = static_cast<size_t>(std::min<uint64_t>(n, s.length - offset));
        if (!copy(s.address + offset, at, take))
            return false;
        at += take;
        n -= take;
        offset = 0;
    }
    return n == 0;
}

bool TraceeBuffers::Read(uint64_t offset, void* out, size_t n) const {
    auto* to = static_cast<uint8_t*>(out);
    return ForEachPiece(offset, n, [&](uint64_t address, size_t at, size_t length) {
        return ReadTracee(tid_, address, to + at, length);
    });
}

bool TraceeBuffers::Write(uint64_t offset, const void* in, size_t n) const {
    const auto* from = static_cast<const uint8_t*>(in);
    return ForEachPiece(offset, n, [&](uint64_t address, size_t at, size_t length) {
        return WriteTracee(tid_, address, from + at, length);
    });
}

PortOpen::PortOpen(uint32_t port_number, dev_t device, comm::UniqueFd file, pid_t process)
    : file_(std::move(file)) {
    link_.refs.store(1);
    link_.StartSession(port_number, device);
    link_.private_socket = true;
    link::ConnectAndCreate(link_, file_.get(), 0, process);
}

PortOpen::~PortOpen() {
    if (link_.socket.load() >= 0)
        link::CloseLink(link_);
    link::ReleaseMappings(link_);
}

int PortOpen::NonblockingFile() {
    if (nonblocking_.valid() || nonblocking_refused_)
        return nonblocking_.get();
    // A hung-up file (or one whose other side has gone) is not opened again: a new open of a
    // hung-up device is a new, working one, where the program's calls fail.
    pollfd state{file_.get(), 0, 0};
    if (::poll(&state, 1, 0) != 0)
        return -1;
    const int flags = ::fcntl(file_.get(), F_GETFL);
    if (flags < 0)
        return -1;
    const std::string self = "/proc/self/fd/" + std::to_string(file_.get());
    nonblocking_.Reset(
        ::open(self.c_str(), (flags & O_ACCMODE) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (nonblocking_.valid() &&
        (::fstat(nonblocking_.get(), &st) != 0 || st.st_rdev != link_.device))
        nonblocking_.Reset();
    nonblocking_refused_ = !nonblocking_.valid();
    return nonblocking_.get();
}

bool PortOpen::Blocks() const {
    const int flags = ::fcntl(file_.get(), F_GETFL);
    return flags < 0 || (flags & O_NONBLOCK) == 0;
}

bool PortOpen::TerminalDiscipline() {
    if (discipline_ == Discipline::kUnknown) {
        int discipline = -1;
        discipline_ = ::ioctl(file_.get(), TIOCGETD, &discipline) == 0 && discipline == N_TTY
                          ? Discipline::kTerminal
                          : Discipline::kOther;
    }
    return discipline_ == Discipline::kTerminal;
}

void PortOpen::LetGo() {
    if (link_.socket.load() >= 0)
        link::SendRecord(link_, link::kAppLetGo, 0, nullptr, 0);
}

uint32_t PortOpen::WatchState() {
    // An open whose host was slow to answer gets its page (and its watch) once the answer is in.
    if (link_.page.load() == nullptr && link_.socket.load() >= 0)
        link::CatchUp(link_);
    return link_.WatchState();
}

void RecordTransfer(PortOpen& open, uint8_t op, const TraceeBuffers& buffers, uint64_t got) {
    if (got == 0) {
        link::SendRecord(open.link(), op, 0, nullptr, 0);
        return;
    }
    std::vector<uint8_t> piece(std::min<uint64_t>(got, kMaxRecordData));
    for (uint64_t done = 0; done < got;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kMaxRecordData, got - done));
        if (!buffers.Read(done, piece.data(), n))
            return;
        const iovec part{piece.data(), n};
        link::SendRecord(open.link(), done == 0 ? op : op | link::kContinues, 0, &part, 1);
        done += n;
    }
}

bool WrittenBytes::Take(pid_t tid, long nr, const uint64_t* args) {
    TraceeBuffers buffers;
    if (!buffers.Take(tid, nr, args) || buffers.total() > kMaxFilteredWrite)
        return false;
    bytes_.resize(static_cast<size_t>(buffers.total()));
    return buffers.Read(0, bytes_.data(), bytes_.size());
}

std::vector<uint8_t> WrittenBytes::Release(uint64_t sent) {
    bytes_.resize(static_cast<size_t>(std::min<uint64_t>(sent, bytes_.size())));
    return std::move(bytes_);
}

uint64_t FilterReceived(PortOpen& open, const TraceeBuffers& buffers, uint64_t got) {
    uint8_t piece[kFilterPiece];
    uint8_t filtered[kFilterPiece];
    uint64_t kept = 0;
    for (uint64_t done = 0; done < got;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kFilterPiece, got - done));
        if (!buffers.Read(done, piece, n))
            return got;  // the kernel just wrote there: nothing changes if it cannot be read
        const iovec part{piece, n};
        int m = link::Exchange(open.link(), link::kAppRead, &part, 1, filtered,
                               static_cast<uint32_t>(n));
        const uint8_t* result = filtered;
        if (m < 0) {  // the host did not answer: the bytes pass unchanged
            result = piece;
            m = static_cast<int>(n);
        }
        if (!buffers.Write(kept, result, static_cast<size_t>(m)))
            return got;
        kept += static_cast<uint64_t>(m);
        done += n;
    }
    return kept;
}

bool FilteredWrite::Prepare(pid_t tid, long nr, const uint64_t* args, PortOpen& open) {
    if (!buffers_.Take(tid, nr, args) || buffers_.total() == 0)
        return false;
    const uint64_t total = buffers_.total();
    // The iovec array a deleted byte shortens in place is checked as well.
    std::vector<TraceeBuffers::Segment> touched = buffers_.segments();
    if (nr != SYS_write)
        touched.push_back({args[1], args[2] * sizeof(iovec)});
    if (total > kMaxFilteredWrite || InSharedMapping(tid, touched)) {
        CountUnfiltered(open.link(), total);
        return false;
    }
    original_.resize(static_cast<size_t>(total));
    if (!buffers_.Read(0, original_.data(), original_.size()))
        return false;  // the kernel fails the write (EFAULT) by itself
    std::vector<uint8_t> out;
    out.reserve(original_.size());
    uint8_t filtered[kFilterPiece];
    for (size_t done = 0; done < original_.size();) {
        const size_t n = std::min(kFilterPiece, original_.size() - done);
        const iovec part{original_.data() + done, n};
        const int m = link::Exchange(open.link(), link::kAppWrite, &part, 1, filtered,
                                     static_cast<uint32_t>(n));
        if (m >= 0)
            out.insert(out.end(), filtered, filtered + m);
        else
            out.insert(out.end(), original_.begin() + static_cast<long>(done),
                       original_.begin() + static_cast<long>(done + n));
        done += n;
    }
    consumed_ = total;
    filtered_ = out.size();
    if (out == original_)
        return false;
    if (!buffers_.Write(0, out.data(), out.size())) {
        buffers_.Write(0, original_.data(), out.size());
        CountUnfiltered(open.link(), total);
        return false;
    }
    if (filtered_ < total && nr != SYS_write) {
        // The kernel is to write only what the rules left: the iovec array, shortened.
        iov_address_ = args[1];
        original_iov_.resize(static_cast<size_t>(args[2]) * sizeof(iovec));
        std::vector<iovec> shortened(static_cast<size_t>(args[2]));
        bool ok = ReadTracee(tid, iov_address_, original_iov_.data(), original_iov_.size());
        if (ok) {
            std::memcpy(shortened.data(), original_iov_.data(), original_iov_.size());
            uint64_t left = filtered_;
            for (iovec& v : shortened) {
                v.iov_len = static_cast<size_t>(std::min<uint64_t>(v.iov_len, left));
                left -= v.iov_len;
            }
            ok = WriteTracee(tid, iov_address_, shortened.data(), original_iov_.size());
        }
        if (!ok) {
            original_iov_.clear();
            buffers_.Write(0, original_.data(), out.size());
            CountUnfiltered(open.link(), total);
            return false;
        }
    } else if (filtered_ < total) {
        count_changed_ = true;
    }
    return true;
}

int64_t FilteredWrite::Undo(pid_t tid, int64_t kernel_result) {
    buffers_.Write(0, original_.data(), static_cast<size_t>(filtered_));
    if (!original_iov_.empty())
        WriteTracee(tid, iov_address_, original_iov_.data(), original_iov_.size());
    if (kernel_result < 0)
        return kernel_result;
    // A write the port took whole stands for all the program's bytes; one it took in part
    // counts as far as it went (the rules keep each byte's place, but for a deleted one).
    if (static_cast<uint64_t>(kernel_result) == filtered_)
        return static_cast<int64_t>(consumed_);
    return static_cast<int64_t>(
        std::min<uint64_t>(static_cast<uint64_t>(kernel_result), consumed_));
}

void ReportTracedIoctl(PortOpen& open, pid_t tid, unsigned long request, uint64_t arg, int error,
                       const link::ModemCounters& before) {
    const auto code = static_cast<uint32_t>(request);
    const void* argument = reinterpret_cast<const void*>(static_cast<uintptr_t>(arg));
    const size_t size = PassesValue(code) ? 0 : link::ArgumentBytes(code);
    alignas(8) uint8_t copy[128] = {};
    static_assert(sizeof(termios2) <= sizeof copy && sizeof(serial_icounter_struct) <= sizeof copy);
    // A failed query filled nothing: its record shows zeros, marked failed.
    const bool read_argument = size > 0 && (error == 0 || link::ArgumentIsInput(code));
    if (read_argument && !ReadTracee(tid, arg, copy, size))
        return;  // an argument the program cannot have meant: nothing to report
    if (!PassesValue(code))
        argument = size > 0 ? copy : nullptr;
    link::MarkFailure(error);
    link::ReportIoctl(open.link(), open.file(), code, argument, before);
    link::ClearFailure();
}

}  // namespace sievra::trace
