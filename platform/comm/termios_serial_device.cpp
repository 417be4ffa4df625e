#include "platform/comm/termios_serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/comm/event_fd.h"
#include "platform/comm/read_plan.h"
#include "platform/comm/rfc2217_serial_device.h"

namespace comm {
namespace {

using Clock = std::chrono::steady_clock;

// While written bytes drain out of a real UART the only way to see the end is to ask.
constexpr int kDrainPollMs = 2;
// How often the modem lines are sampled while the mask asks for their changes.
constexpr int kModemPollMs = 10;
// A wait reads at most this much ahead of the program; the rest stays in the terminal, whose
// flow control then holds the line back as it would for the program.
constexpr size_t kMostReadAhead = 64 * 1024;

ReceiveFilter::Settings FilterSettingsOf(const Dcb& dcb) {
    ReceiveFilter::Settings settings;
    settings.replace_errors = dcb.fErrorChar != 0;
    settings.error_char = static_cast<uint8_t>(dcb.ErrorChar);
    settings.strip_null = dcb.fNull != 0;
    settings.event_char = static_cast<uint8_t>(dcb.EvtChar);
    return settings;
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    // Round up so that a wait never ends before its time; a longer wait is polled again.
    return static_cast<int>(std::clamp<int64_t>(left.count() + 1, 0, INT_MAX));
}

}  // namespace

std::string DevicePathForPort(const std::string& port_name) {
    const bool relative = port_name.rfind("./", 0) == 0 || port_name.rfind("../", 0) == 0;
    if ((!port_name.empty() && port_name.front() == '/') || relative ||
        IsRemotePortName(port_name)) {
        return port_name;
    }
    return "/dev/" + port_name;
}

OpenResult OpenSerialDevice(const std::string& path) {
    if (IsRemotePortName(path))
        return Rfc2217SerialDevice::Open(path);
    return TermiosSerialDevice::Open(path);
}

OpenResult TermiosSerialDevice::Open(const std::string& path) {
    return Open(path, std::make_shared<SerialSystemCalls>());
}

OpenResult OpenSerialDeviceRestoring(const std::string& path) {
    if (IsRemotePortName(path))
        return Rfc2217SerialDevice::Open(path);
    return TermiosSerialDevice::OpenRestoring(path);
}

OpenResult TermiosSerialDevice::OpenRestoring(const std::string& path) {
    KernelTermios before;
    OpenResult opened = Open(path, nullptr, &before);
    if (opened.device)
        static_cast<TermiosSerialDevice&>(*opened.device).restore_ = before;
    return opened;
}

OpenResult TermiosSerialDevice::Open(const std::string& path,
                                     std::shared_ptr<SerialSystemCalls> calls) {
    return Open(path, std::move(calls), nullptr);
}

OpenResult TermiosSerialDevice::Open(const std::string& path,
                                     std::shared_ptr<SerialSystemCalls> calls,
                                     KernelTermios* before) {
    if (!calls) {
        calls = std::make_shared<SerialSystemCalls>();
    }
    if (path.empty()) {
        return {nullptr, CommStatus::Failure("open", ENOENT)};
    }
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return {nullptr, CommStatus::Failure("open", errno)};
    }
    // flock binds every user, root included; TIOCEXCL keeps out programs that do not flock.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        return {nullptr, CommStatus::Failure("flock", error)};
    }
    KernelTermios current;
    if (CommStatus status = GetKernelTermios(fd.get(), current); !status) {
        return {nullptr, status};
    }
    calls->IoctlValue(fd.get(), TIOCEXCL);
    if (before != nullptr)
        *before = current;

    UniqueFd wait_wake = MakeEventFd();
    UniqueFd read_wake = MakeEventFd();
    UniqueFd writer_wake = MakeEventFd();
    if (!wait_wake.valid() || !read_wake.valid() || !writer_wake.valid()) {
        int error = errno;
        calls->IoctlValue(fd.get(), TIOCNXCL);
        return {nullptr, CommStatus::Failure("eventfd", error)};
    }
    std::unique_ptr<TermiosSerialDevice> device(
        new TermiosSerialDevice(std::move(fd), std::move(wait_wake), std::move(read_wake),
                                std::move(writer_wake), std::move(calls)));

    // Start from the terminal's own speed and size, in raw mode, with DTR and RTS raised.
    Dcb dcb;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    ReadTermiosInto(current, dcb);
    if (dcb.BaudRate == 0) {
        dcb.BaudRate = 9600;
    }
    device->SetState(dcb);
    device->calls_->IoctlValue(device->fd_.get(), TCFLSH, TCIOFLUSH);
    {
        std::lock_guard lock(device->mutex_);
        device->SnapshotModemLines();
        device->error_baseline_ = device->CurrentCounters();
        device->stats_baseline_ = device->error_baseline_;
    }
    return {std::move(device), {}};
}

TermiosSerialDevice::TermiosSerialDevice(UniqueFd fd, UniqueFd wait_wake, UniqueFd read_wake,
                                         UniqueFd writer_wake,
                                         std::shared_ptr<SerialSystemCalls> calls)
    : calls_(std::move(calls)),
      fd_(std::move(fd)),
      wait_wake_(std::move(wait_wake)),
      read_wake_(std::move(read_wake)),
      queue_(
          fd_.get(), *calls_, std::move(writer_wake), [this](size_t n) { CountTransmitted(n); },
          [this] { SignalEventFd(wait_wake_.get()); }) {
    LineCounters counters;
    has_icount_ = ReadLineCounters(counters);
    int bits;
    has_modem_ = ReadModemBits(bits);
}

TermiosSerialDevice::~TermiosSerialDevice() {
    queue_.Stop();
    if (rts_on_send_)
        SetRtsOnSend(false);  // the next program finds the driver's RS-485 setting as it was
    if (restore_)
        SetKernelTermios(fd_.get(), *restore_);
    // The exclusive flag belongs to the terminal, not to this descriptor: clear it for the next
    // user. The flock ends with the descriptor.
    calls_->IoctlValue(fd_.get(), TIOCNXCL);
}

bool TermiosSerialDevice::ReadLineCounters(LineCounters& c) const {
    serial_icounter_struct ic{};
    if (calls_->Ioctl(fd_.get(), TIOCGICOUNT, &ic) != 0) {
        return false;
    }
    c.cts = ic.cts;
    c.dsr = ic.dsr;
    c.rng = ic.rng;
    c.dcd = ic.dcd;
    c.rx = ic.rx;
    c.tx = ic.tx;
    c.frame = ic.frame;
    c.overrun = ic.overrun;
    c.parity = ic.parity;
    c.brk = ic.brk;
    c.buf_overrun = ic.buf_overrun;
    return true;
}

bool TermiosSerialDevice::ReadModemBits(int& bits) const {
    return calls_->Ioctl(fd_.get(), TIOCMGET, &bits) == 0;
}

TermiosSerialDevice::LineCounters TermiosSerialDevice::CurrentCounters() const {
    LineCounters c;
    if (!has_icount_ || !ReadLineCounters(c)) {
        c = LineCounters{};
        c.rx = own_rx_.load();
        c.tx = own_tx_.load();
    }
    return c;
}

// --- line state ------------------------------------------------------------------------------

CommStatus TermiosSerialDevice::SetState(const Dcb& dcb) {
    std::lock_guard lock(mutex_);
    KernelTermios current;
    if (CommStatus status = GetKernelTermios(fd_.get(), current); !status) {
        return status;
    }
    KernelTermios wanted;
    if (!BuildTermios(dcb, current, wanted)) {
        return CommStatus::Failure("SetState", EINVAL);
    }
    if (CommStatus status = SetKernelTermios(fd_.get(), wanted); !status) {
        return status;
    }
    // RTS toggling is the driver's RS-485 mode with RTS raised while sending; a driver without
    // one keeps RTS raised. The mode is turned off again only where SetState turned it on.
    if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
        rts_on_send_ = SetRtsOnSend(true);
    } else if (rts_on_send_) {
        SetRtsOnSend(false);
        rts_on_send_ = false;
    }
    // DTR and RTS follow their control modes; handshake keeps the line raised (the kernel drives
    // RTS itself under CRTSCTS and has no DTR handshake), and so does a toggle the driver cannot
    // do. Terminals without modem lines refuse these requests, which changes nothing.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    calls_->Ioctl(fd_.get(), dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
    if (!rts_on_send_)
        calls_->Ioctl(fd_.get(), dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS,
                      &rts);
    {
        std::lock_guard receive(receive_mutex_);
        filter_.Configure(FilterSettingsOf(dcb));
    }
    dcb_ = dcb;
    dcb_.DCBlength = sizeof(Dcb);
    return {};
}

bool TermiosSerialDevice::SetRtsOnSend(bool on) {
    serial_rs485 rs485{};
    if (calls_->Ioctl(fd_.get(), TIOCGRS485, &rs485) != 0)
        return false;
    if (on) {
        // The driver's own setting (a board may have RS-485 on from the start) comes back when
        // the toggle ends or the port closes.
        if (!rs485_saved_) {
            rs485_before_ = rs485;
            rs485_saved_ = true;
        }
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~static_cast<uint32_t>(SER_RS485_RTS_AFTER_SEND);
    } else if (rs485_saved_) {
        rs485 = rs485_before_;
        rs485_saved_ = false;
    } else {
        rs485.flags &= ~static_cast<uint32_t>(SER_RS485_ENABLED);
    }
    return calls_->Ioctl(fd_.get(), TIOCSRS485, &rs485) == 0;
}

bool TermiosSerialDevice::RtsFollowsSending() {
    std::lock_guard lock(mutex_);
    return rts_on_send_;
}

CommStatus TermiosSerialDevice::GetState(Dcb& dcb) {
    std::lock_guard lock(mutex_);
    KernelTermios current;
    if (CommStatus status = GetKernelTermios(fd_.get(), current); !status) {
        return status;
    }
    dcb = dcb_;
    ReadTermiosInto(current, dcb);
    return {};
}

CommStatus TermiosSerialDevice::SetTimeouts(const CommTimeouts& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
    return {};
}

CommStatus TermiosSerialDevice::GetTimeouts(CommTimeouts& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts = timeouts_;
    return {};
}

// --- events ----------------------------------------------------------------------------------

CommStatus TermiosSerialDevice::SetEventMask(uint32_t mask) {
    {
        std::lock_guard lock(mutex_);
        mask_ = mask;
        ++mask_generation_;
        SnapshotModemLines();
        std::lock_guard receive(receive_mutex_);
        rx_flag_ = false;  // a new mask starts with no event character seen
    }
    SignalEventFd(wait_wake_.get());
    return {};
}

uint32_t TermiosSerialDevice::EventMask() {
    std::lock_guard lock(mutex_);
    return mask_;
}

void TermiosSerialDevice::SnapshotModemLines() {
    if (has_icount_) {
        ReadLineCounters(modem_seen_);
    }
    if (has_modem_) {
        ReadModemBits(modem_bits_seen_);
    }
}

uint32_t TermiosSerialDevice::TakeModemChanges() {
    uint32_t events = 0;
    if (has_icount_) {
        LineCounters now;
        if (ReadLineCounters(now)) {
            if (now.cts != modem_seen_.cts)
                events |= EV_CTS;
            if (now.dsr != modem_seen_.dsr)
                events |= EV_DSR;
            if (now.dcd != modem_seen_.dcd)
                events |= EV_RLSD;
            if (now.rng != modem_seen_.rng)
                events |= EV_RING;
            modem_seen_ = now;
        }
    }
    if (has_modem_) {
        int bits;
        if (ReadModemBits(bits)) {
            int changed = bits ^ modem_bits_seen_;
            if (changed & TIOCM_CTS)
                events |= EV_CTS;
            if (changed & TIOCM_DSR)
                events |= EV_DSR;
            if (changed & TIOCM_CD)
                events |= EV_RLSD;
            if (changed & TIOCM_RI)
                events |= EV_RING;
            modem_bits_seen_ = bits;
        }
    }
    return events;
}

bool TermiosSerialDevice::OutputDrained() {
    if (queue_.waiting() > 0) {
        return false;
    }
    int pending = 0;
    return calls_->Ioctl(fd_.get(), TIOCOUTQ, &pending) != 0 || pending == 0;
}

CommStatus TermiosSerialDevice::WaitEventFor(uint32_t& events, int timeout_ms) {
    events = 0;
    const bool limited = timeout_ms >= 0;
    const Clock::time_point deadline =
        limited ? Clock::now() + std::chrono::milliseconds(timeout_ms) : Clock::time_point::max();
    std::unique_lock lock(mutex_);
    const uint64_t generation = mask_generation_;
    ++calls_begun_;
    for (;;) {
        if (cancelled_) {
            return CommStatus::Failure("WaitEvent", ECANCELED);
        }
        if (mask_generation_ != generation) {
            return {};
        }
        const uint32_t mask = mask_;
        uint32_t found = 0;
        if ((mask & kModemEvents) != 0) {
            found |= TakeModemChanges();
        }
        bool draining = false;
        if ((mask & EV_TXEMPTY) != 0 && tx_armed_) {
            if (OutputDrained()) {
                found |= EV_TXEMPTY;
                tx_armed_ = false;
            } else {
                draining = true;
            }
        }
        lock.unlock();

        // Bytes in the terminal are seen by the poll below, which returns at once when some wait:
        // asking for the queue's length first would cost a second system call on every wait
        // that finds it empty.
        const bool receiving = (mask & (EV_RXCHAR | EV_RXFLAG)) != 0;
        Received received;
        if (receiving) {
            received = CheckReceived((mask & EV_RXFLAG) != 0);
            if (received.waiting)
                found |= EV_RXCHAR;
            if (received.event)
                found |= EV_RXFLAG;
        }
        // Whether a look at the terminal can still add EV_RXCHAR to what is found.
        const bool may_add_rxchar = (mask & EV_RXCHAR) != 0 && (found & EV_RXCHAR) == 0;
        int timeout = -1;
        bool last_look = false;  // the poll only looks; nothing more is waited for after it
        if ((found & mask) != 0) {
            if (!may_add_rxchar) {
                events = found & mask;
                return {};
            }
            timeout = 0;  // bytes already waiting join the events found, in one wake-up
            last_look = true;
        } else {
            if (draining) {
                timeout = kDrainPollMs;
            } else if ((mask & kModemEvents) != 0 && (has_icount_ || has_modem_)) {
                timeout = kModemPollMs;
            }
            if (limited) {
                int left = RemainingMs(deadline);
                if (Clock::now() >= deadline) {
                    if (!receiving) {
                        return CommStatus::Failure("WaitEvent", ETIMEDOUT);
                    }
                    left = 0;  // bytes that came before the time ran out are still reported
                    last_look = true;
                }
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
        }
        // With the read-ahead store full, new bytes wait in the terminal until a read makes room.
        const bool poll_in = receiving && !received.ahead_full;
        pollfd fds[2] = {{fd_.get(), static_cast<short>(poll_in ? POLLIN : 0), 0},
                         {wait_wake_.get(), POLLIN, 0}};
        int rc = calls_->Poll(fds, 2, timeout);
        if (rc < 0 && errno != EINTR) {
            return CommStatus::Failure("poll", errno);
        }
        if (fds[1].revents & POLLIN) {
            DrainEventFd(wait_wake_.get());
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // A hung-up terminal polls readable for ever; only bytes still queued count.
            int queued = 0;
            if (calls_->Ioctl(fd_.get(), FIONREAD, &queued) != 0 || queued <= 0) {
                return CommStatus::Failure("WaitEvent", EIO);  // the device is gone
            }
        }
        if (fds[0].revents & POLLIN) {
            found |= EV_RXCHAR;
        }
        lock.lock();
        if ((found & mask_) != 0 && mask_generation_ == generation && !cancelled_) {
            events = found & mask_;
            return {};
        }
        if (last_look && limited && Clock::now() >= deadline) {
            return CommStatus::Failure("WaitEvent", ETIMEDOUT);
        }
    }
}

uint64_t TermiosSerialDevice::calls_begun() {
    std::lock_guard lock(mutex_);
    return calls_begun_;
}

void TermiosSerialDevice::CancelIo() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    SignalEventFd(wait_wake_.get());
    SignalEventFd(read_wake_.get());
}

// --- reading ---------------------------------------------------------------------------------

bool TermiosSerialDevice::ReadAheadLocked(bool latch_event) {
    const size_t before = ahead_.size();
    uint8_t chunk[4096];
    while (ahead_.size() < kMostReadAhead) {
        const ssize_t n = calls_->Read(fd_.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // nothing more (or an error, which the next read reports)
        if (!has_icount_)
            own_rx_ += static_cast<uint32_t>(n);
        bool event = false;
        const size_t kept = filter_.Filter(chunk, static_cast<size_t>(n), event);
        ahead_.insert(ahead_.end(), chunk, chunk + kept);
        rx_flag_ = rx_flag_ || (event && latch_event);
    }
    return ahead_.size() > before;
}

TermiosSerialDevice::Received TermiosSerialDevice::CheckReceived(bool watch_event) {
    Received received;
    bool grew = false;
    {
        std::lock_guard receive(receive_mutex_);
        if (watch_event) {
            // The event character can only be seen by reading: what has come is read ahead.
            grew = ReadAheadLocked(true);
            received.event = rx_flag_;
            rx_flag_ = false;
        }
        received.ahead_full = ahead_.size() >= kMostReadAhead;
        received.waiting = !ahead_.empty();
    }
    // A read already waiting on the terminal would not see bytes taken from it.
    if (grew)
        SignalEventFd(read_wake_.get());
    return received;
}

ssize_t TermiosSerialDevice::TakeReceived(uint8_t* out, size_t max, bool latch_event,
                                          size_t& kept) {
    kept = 0;
    std::lock_guard receive(receive_mutex_);
    if (!ahead_.empty()) {
        const size_t n = std::min(max, ahead_.size());
        std::copy_n(ahead_.begin(), n, out);
        ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(n));
        kept = n;
        return static_cast<ssize_t>(n);
    }
    const ssize_t n = calls_->Read(fd_.get(), out, max);
    if (n <= 0)
        return n;  // errno as the read left it: nothing below touches it
    if (!has_icount_)
        own_rx_ += static_cast<uint32_t>(n);
    if (!latch_event && !filter_.Drops()) {
        kept = static_cast<size_t>(n);  // nothing to take out and no event character to find
        return n;
    }
    bool event = false;
    kept = filter_.Filter(out, static_cast<size_t>(n), event);
    if (event && latch_event) {
        rx_flag_ = true;
        SignalEventFd(wait_wake_.get());  // a waiter on the terminal would not see it otherwise
    }
    return n;
}

CommStatus TermiosSerialDevice::Read(uint8_t* buffer, size_t count, size_t& got) {
    got = 0;
    if (count == 0) {
        return {};
    }
    CommTimeouts t;
    uint64_t abort_generation;
    bool latch_event;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            return CommStatus::Failure("Read", ECANCELED);
        }
        t = timeouts_;
        abort_generation = read_abort_generation_;
        latch_event = (mask_ & EV_RXFLAG) != 0;
        ++calls_begun_;
    }
    const ReadPlan plan = PlanRead(t, count);
    const Clock::time_point start = Clock::now();
    const Clock::time_point total_deadline = start + std::chrono::milliseconds(plan.total_ms);
    Clock::time_point last_byte = start;

    for (;;) {
        size_t kept = 0;
        ssize_t n = TakeReceived(buffer + got, count - got, latch_event, kept);
        if (n > 0) {
            // Bytes the filter dropped (null stripping) end no read and start no interval.
            if (kept > 0) {
                got += kept;
                last_byte = Clock::now();
            }
            if (got == count || (plan.first_bytes_end && got > 0)) {
                return {};
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            int error = n == 0 ? EIO : errno;
            return got > 0 ? CommStatus{} : CommStatus::Failure("read", error);
        }
        if (plan.at_once) {
            return {};
        }
        int timeout = -1;
        if (plan.total_ms > 0) {
            timeout = RemainingMs(total_deadline);
        }
        if (got > 0 && plan.interval_ms > 0) {
            int gap = RemainingMs(last_byte + std::chrono::milliseconds(plan.interval_ms));
            timeout = timeout < 0 ? gap : std::min(timeout, gap);
        }
        if (timeout == 0) {
            return {};
        }
        pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {read_wake_.get(), POLLIN, 0}};
        int rc = calls_->Poll(fds, 2, timeout);
        if (rc < 0 && errno != EINTR) {
            return CommStatus::Failure("poll", errno);
        }
        if (fds[1].revents & POLLIN) {
            DrainEventFd(read_wake_.get());
            std::lock_guard lock(mutex_);
            if (cancelled_ || read_abort_generation_ != abort_generation) {
                return CommStatus::Failure("Read", ECANCELED);
            }
        }
        if (!(fds[0].revents & POLLIN) && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            return got > 0 ? CommStatus{} : CommStatus::Failure("read", EIO);
        }
        if (rc == 0 && plan.total_ms > 0 && Clock::now() >= total_deadline) {
            return {};
        }
    }
}

CommStatus TermiosSerialDevice::ReadQueued(uint8_t* buffer, size_t count, size_t& got) {
    got = 0;
    if (count == 0) {
        return {};
    }
    bool latch_event;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            return CommStatus::Failure("Read", ECANCELED);
        }
        latch_event = (mask_ & EV_RXFLAG) != 0;
    }
    for (;;) {
        size_t kept = 0;
        const ssize_t n = TakeReceived(buffer, count, latch_event, kept);
        if (n > 0) {
            if (kept > 0) {
                got = kept;
                return {};
            }
            continue;  // the filter dropped them all: bytes behind them may be kept
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return {};
        }
        return CommStatus::Failure("read", n == 0 ? EIO : errno);
    }
}

// --- writing ---------------------------------------------------------------------------------

void TermiosSerialDevice::CountTransmitted(size_t n) {
    if (!has_icount_) {
        own_tx_ += static_cast<uint32_t>(n);
    }
}

bool TermiosSerialDevice::Submit(const uint8_t* bytes, size_t count, size_t& sent_now,
                                 uint64_t& mark) {
    if (!queue_.Submit(bytes, count, sent_now, mark)) {
        return false;
    }
    bool wake = false;
    if (count > 0) {
        std::lock_guard lock(mutex_);
        tx_armed_ = true;
        wake = (mask_ & EV_TXEMPTY) != 0;  // only a wait for transmit-empty cares
    }
    if (wake) {
        SignalEventFd(wait_wake_.get());
    }
    return true;
}

CommStatus TermiosSerialDevice::WriteAsync(const uint8_t* bytes, size_t count,
                                           size_t& completed_now) {
    size_t sent_now = 0;
    uint64_t mark = 0;
    if (!Submit(bytes, count, sent_now, mark)) {
        completed_now = sent_now;  // what left before the device went away
        return CommStatus::Failure("WriteAsync", EIO);
    }
    completed_now = sent_now == count ? count : 0;
    return {};
}

CommStatus TermiosSerialDevice::Write(const uint8_t* bytes, size_t count, size_t& written) {
    CommTimeouts t;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            written = 0;
            return CommStatus::Failure("Write", ECANCELED);
        }
        t = timeouts_;
    }
    size_t sent_now = 0;
    uint64_t mark = 0;
    if (!Submit(bytes, count, sent_now, mark)) {
        written = sent_now;
        return CommStatus::Failure("Write", EIO);
    }
    const OutputQueue::Outcome outcome = queue_.AwaitSent(mark, count, WriteTotalMs(t, count));
    written = count - outcome.unsent;
    if (outcome.gone && outcome.unsent > 0) {
        return CommStatus::Failure("Write", EIO);
    }
    return {};
}

CommStatus TermiosSerialDevice::Purge(uint32_t flags) {
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
        queue_.Clear();
        calls_->IoctlValue(fd_.get(), TCFLSH, TCOFLUSH);
    }
    if (flags & PURGE_RXABORT) {
        {
            std::lock_guard lock(mutex_);
            ++read_abort_generation_;
        }
        SignalEventFd(read_wake_.get());
    }
    if (flags & PURGE_RXCLEAR) {
        std::lock_guard receive(receive_mutex_);
        calls_->IoctlValue(fd_.get(), TCFLSH, TCIFLUSH);
        ahead_.clear();
        filter_.Reset();
    }
    return {};
}

// --- status ----------------------------------------------------------------------------------

CommStatus TermiosSerialDevice::ClearError(uint32_t* errors, QueueStatus* status) {
    if (errors != nullptr) {
        *errors = 0;
        std::lock_guard lock(mutex_);
        LineCounters now = CurrentCounters();
        if (now.frame != error_baseline_.frame)
            *errors |= CE_FRAME;
        if (now.parity != error_baseline_.parity)
            *errors |= CE_RXPARITY;
        if (now.overrun != error_baseline_.overrun)
            *errors |= CE_OVERRUN;
        if (now.buf_overrun != error_baseline_.buf_overrun)
            *errors |= CE_RXOVER;
        if (now.brk != error_baseline_.brk)
            *errors |= CE_BREAK;
        error_baseline_ = now;
    }
    if (status != nullptr) {
        int in = 0;
        int out = 0;
        if (calls_->Ioctl(fd_.get(), FIONREAD, &in) != 0) {
            int error = errno;
            if (IsVanishedError(error)) {
                return CommStatus::Failure("FIONREAD", error);
            }
            in = 0;
        }
        calls_->Ioctl(fd_.get(), TIOCOUTQ, &out);
        bool latch_event;
        {
            std::lock_guard lock(mutex_);
            latch_event = (mask_ & EV_RXFLAG) != 0;
        }
        size_t ahead = 0;
        bool grew = false;
        {
            std::lock_guard receive(receive_mutex_);
            // Bytes the filter takes out (NULs, error marks) must not count as waiting: a read
            // asked for them would wait for bytes that never come. What has come is filtered
            // ahead, and the count is what is left.
            if (filter_.Drops()) {
                grew = ReadAheadLocked(latch_event);
                in = 0;
                if (ahead_.size() >= kMostReadAhead)
                    calls_->Ioctl(fd_.get(), FIONREAD, &in);
            }
            ahead = ahead_.size();
        }
        if (grew)
            SignalEventFd(read_wake_.get());
        status->in_queue = static_cast<uint32_t>(std::max(in, 0) + static_cast<int>(ahead));
        status->out_queue = static_cast<uint32_t>(std::max(out, 0) + queue_.waiting());
    }
    return {};
}

CommStatus TermiosSerialDevice::GetModemStatus(uint32_t& status) {
    status = 0;
    int bits;
    if (!ReadModemBits(bits)) {
        return CommStatus::Failure("TIOCMGET", errno);
    }
    if (bits & TIOCM_CTS)
        status |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        status |= MS_DSR_ON;
    if (bits & TIOCM_RI)
        status |= MS_RING_ON;
    if (bits & TIOCM_CD)
        status |= MS_RLSD_ON;
    return {};
}

CommStatus TermiosSerialDevice::GetModemControl(uint32_t& control) {
    control = 0;
    int bits;
    if (!ReadModemBits(bits)) {
        return CommStatus::Failure("TIOCMGET", errno);
    }
    if (bits & TIOCM_DTR)
        control |= kModemControlDtr;
    if (bits & TIOCM_RTS)
        control |= kModemControlRts;
    return {};
}

CommStatus TermiosSerialDevice::EscapeFunction(Escape function) {
    int rc = -1;
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    switch (function) {
        case Escape::SetXoff:
            rc = calls_->IoctlValue(fd_.get(), TCXONC, TCOOFF);
            break;
        case Escape::SetXon:
            rc = calls_->IoctlValue(fd_.get(), TCXONC, TCOON);
            break;
        case Escape::SetRts:
            rc = calls_->Ioctl(fd_.get(), TIOCMBIS, &rts);
            break;
        case Escape::ClrRts:
            rc = calls_->Ioctl(fd_.get(), TIOCMBIC, &rts);
            break;
        case Escape::SetDtr:
            rc = calls_->Ioctl(fd_.get(), TIOCMBIS, &dtr);
            break;
        case Escape::ClrDtr:
            rc = calls_->Ioctl(fd_.get(), TIOCMBIC, &dtr);
            break;
        case Escape::SetBreak:
            rc = calls_->IoctlValue(fd_.get(), TIOCSBRK);
            break;
        case Escape::ClrBreak:
            rc = calls_->IoctlValue(fd_.get(), TIOCCBRK);
            break;
        default:
            return CommStatus::Failure("EscapeFunction", EINVAL);
    }
    return rc == 0 ? CommStatus{} : CommStatus::Failure("EscapeFunction", errno);
}

CommStatus TermiosSerialDevice::GetStatistics(SerialStats& stats) {
    std::lock_guard lock(mutex_);
    LineCounters now = CurrentCounters();
    // Differences in 32 bits wrap exactly as the driver's own counters do.
    stats.ReceivedCount = now.rx - stats_baseline_.rx;
    stats.TransmittedCount = now.tx - stats_baseline_.tx;
    stats.FrameErrorCount = now.frame - stats_baseline_.frame;
    stats.SerialOverrunErrorCount = now.overrun - stats_baseline_.overrun;
    stats.BufferOverrunErrorCount = now.buf_overrun - stats_baseline_.buf_overrun;
    stats.ParityErrorCount = now.parity - stats_baseline_.parity;
    return {};
}

CommStatus TermiosSerialDevice::ClearStatistics() {
    std::lock_guard lock(mutex_);
    stats_baseline_ = CurrentCounters();
    return {};
}

}  // namespace comm
