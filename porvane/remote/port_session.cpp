#include "porvane/remote/port_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/comm/comm_constants.h"
#include "platform/comm/event_fd.h"
#include "platform/comm/serial_device.h"

namespace remote {
namespace {

using rfc2217::Command;
namespace telnet = rfc2217::telnet;

// The port's data waiting for the client, at most (escaped, commands aside); the port is not
// read beyond it.
constexpr size_t kMostForClient = 64 * 1024;
// Telnet stream waiting for the client, at most; past it the client's commands are not read.
constexpr size_t kMostOutbound = 256 * 1024;
// The client's data waiting for the port, at most; past it the socket is not read.
constexpr size_t kMostForPort = 64 * 1024;
// What the port writer hands the port at once.
constexpr size_t kWriteChunk = 64 * 1024;
// A client that answers nothing (its machine gone, its cable pulled) is given up after this:
// idle connections are probed, unacknowledged data waits no longer.
constexpr int kKeepIdleSeconds = 30;
constexpr int kKeepIntervalSeconds = 10;
constexpr int kKeepCount = 6;
constexpr unsigned kUnacknowledgedMs = 90 * 1000;

void KeepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds,
                 sizeof kKeepIntervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUnacknowledgedMs, sizeof kUnacknowledgedMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string SocketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return std::strerror(error != 0 ? error : EIO);
}

std::vector<uint8_t> ServerMessage(Command command, uint8_t value) {
    const uint8_t bytes[1] = {value};
    return rfc2217::ComPortMessage(
        static_cast<uint8_t>(static_cast<uint8_t>(command) + rfc2217::kServerReplyOffset), bytes);
}

std::vector<uint8_t> ServerMessage(Command command) {
    return rfc2217::ComPortMessage(
        static_cast<uint8_t>(static_cast<uint8_t>(command) + rfc2217::kServerReplyOffset), {});
}

std::string DurationText(uint32_t ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

uint8_t LineStateOf(uint32_t errors) {
    using namespace rfc2217::line_state;
    uint8_t bits = 0;
    if (errors & (comm::CE_OVERRUN | comm::CE_RXOVER))
        bits |= kOverrun;
    if (errors & comm::CE_RXPARITY)
        bits |= kParity;
    if (errors & comm::CE_FRAME)
        bits |= kFraming;
    if (errors & comm::CE_BREAK)
        bits |= kBreak;
    return bits;
}

}  // namespace

PortSession::PortSession(comm::SerialDevice& device, comm::UniqueFd socket, std::string peer,
                         std::string signature, uint32_t closing_wait_ms, uint32_t stall_ms,
                         std::function<void()> on_end)
    : device_(device),
      socket_(std::move(socket)),
      peer_(std::move(peer)),
      closing_wait_ms_(closing_wait_ms),
      stall_ms_(stall_ms),
      on_end_(std::move(on_end)),
      wake_(comm::MakeEventFd()),
      decoder_(*this),
      negotiator_({telnet::kBinary, telnet::kSuppressGoAhead, telnet::kComPortOption},
                  {telnet::kBinary, telnet::kSuppressGoAhead, telnet::kComPortOption}),
      control_(device, std::move(signature)) {}

PortSession::~PortSession() {
    RequestStop("server stopping");
    Join();
}

bool PortSession::Start() {
    if (!wake_.valid()) {
        std::lock_guard lock(mutex_);
        stop_ = true;
        reason_ = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    KeepAlive(socket_.get());
    {
        std::lock_guard lock(mutex_);
        // Eight-bit data both ways without go-ahead; the client offers the Com Port option.
        QueueLocked(negotiator_.OfferLocal(telnet::kBinary));
        QueueLocked(negotiator_.RequestRemote(telnet::kBinary));
        QueueLocked(negotiator_.OfferLocal(telnet::kSuppressGoAhead));
        QueueLocked(negotiator_.RequestRemote(telnet::kSuppressGoAhead));
    }
    writer_ = std::thread([this] { RunWriter(); });
    network_ = std::thread([this] { RunNetwork(); });
    return true;
}

void PortSession::RequestStop(const std::string& reason) {
    bool writing;
    {
        std::lock_guard lock(mutex_);
        if (stop_)
            return;
        stop_ = true;
        reason_ = reason;
        writing = writing_ || !to_port_.empty();
        changed_.notify_all();
    }
    comm::SignalEventFd(wake_.get());
    // A write still waiting on a slow or held line ends at once, its bytes dropped with the
    // session, and so do the bytes of the port's queue when more were waiting behind them.
    // Bytes written by a session that had nothing more to send are left to leave the line.
    if (writing)
        device_.Purge(comm::PURGE_TXABORT | comm::PURGE_TXCLEAR);
}

void PortSession::Join() {
    std::lock_guard lock(join_mutex_);
    if (network_.joinable())
        network_.join();
    if (writer_.joinable())
        writer_.join();
}

bool PortSession::ended() {
    std::lock_guard lock(mutex_);
    return network_done_;
}

bool PortSession::stopping() {
    std::lock_guard lock(mutex_);
    return stop_;
}

std::string PortSession::end_reason() {
    std::lock_guard lock(mutex_);
    return reason_;
}

// --- the port reader's side ------------------------------------------------------------------

bool PortSession::WaitForRoom(int timeout_ms) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return stop_ || (!flow_suspended_ && outbound_.size() < kMostForClient);
    });
    return !stop_ && !flow_suspended_ && outbound_.size() < kMostForClient;
}

size_t PortSession::Room() {
    std::lock_guard lock(mutex_);
    if (stop_ || flow_suspended_ || outbound_.size() >= kMostForClient)
        return 0;
    return kMostForClient - outbound_.size();
}

void PortSession::FromPort(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (stop_)
        return;
    std::vector<uint8_t> escaped;
    rfc2217::AppendData(escaped, bytes);
    QueueLocked(escaped);
}

void PortSession::ModemStatus(uint32_t status) {
    std::lock_guard lock(mutex_);
    ReportModemLocked(status, false);
}

bool PortSession::WantsLineState() {
    std::lock_guard lock(mutex_);
    return line_mask_ != 0;
}

void PortSession::LineErrors(uint32_t errors) {
    std::lock_guard lock(mutex_);
    const uint8_t bits = LineStateOf(errors) & line_mask_;
    if (bits != 0)
        QueueLocked(ServerMessage(Command::kNotifyLineState, bits));
}

void PortSession::QueueLocked(const std::vector<uint8_t>& bytes) {
    if (bytes.empty() || stop_)
        return;
    outbound_.insert(outbound_.end(), bytes.begin(), bytes.end());
    comm::SignalEventFd(wake_.get());
}

void PortSession::ReportModemLocked(uint32_t status, bool force) {
    using namespace rfc2217::modem_state;
    const uint32_t changed = status ^ modem_reported_;
    uint8_t value = static_cast<uint8_t>(status & 0xF0);
    if (changed & comm::MS_CTS_ON)
        value |= kDeltaCts;
    if (changed & comm::MS_DSR_ON)
        value |= kDeltaDsr;
    if ((modem_reported_ & comm::MS_RING_ON) && !(status & comm::MS_RING_ON))
        value |= kRingTrailingEdge;
    if (changed & comm::MS_RLSD_ON)
        value |= kDeltaCarrier;
    const bool relevant = ((value & 0x0F) & modem_mask_) != 0 || ((changed & 0xF0) & modem_mask_);
    modem_reported_ = status;
    if (force || (com_port_on_ && relevant))
        QueueLocked(ServerMessage(Command::kNotifyModemState, value & modem_mask_));
}

// --- the network thread ----------------------------------------------------------------------

void PortSession::RunNetwork() {
    const std::string reason = Serve();
    RequestStop(reason);
    // The client learns of the end at once, not when the last user of the session lets go.
    ::shutdown(socket_.get(), SHUT_RDWR);
    // A break this session left on would keep the line silent for the next one.
    control_.ClearBreak();
    {
        std::lock_guard lock(mutex_);
        network_done_ = true;
    }
    on_end_();
}

std::string PortSession::Serve() {
    uint8_t buffer[64 * 1024];
    for (;;) {
        short events = 0;
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return reason_;
            if (!input_done_ && to_port_.size() < kMostForPort && outbound_.size() < kMostOutbound)
                events |= POLLIN;
            if (!outbound_.empty())
                events |= POLLOUT;
        }
        // The client's close is seen even while its data is not read (the port is behind), so
        // that the closing wait starts: a stalled line must not keep a departed client's session.
        int timeout = -1;
        if (!closing_deadline_) {
            events |= POLLRDHUP;
        } else {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *closing_deadline_ - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return "closed by the client; what the port had not taken after the closing "
                       "wait was dropped";
            timeout = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{socket_.get(), events, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0) {
            if (errno == EINTR)
                continue;
            return std::string("poll: ") + std::strerror(errno);
        }
        if (fds[1].revents & POLLIN)
            comm::DrainEventFd(wake_.get());
        const short got = fds[0].revents;
        if (got & POLLERR)
            return SocketError(socket_.get());
        if (got & POLLOUT) {
            std::string error;
            if (!Flush(error))
                return error;
        }
        if ((got & POLLHUP) && !(events & POLLIN))
            return "closed by the client";
        if (got & POLLRDHUP)
            StartClosing();
        if (!(got & (POLLIN | POLLHUP)))
            continue;
        const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
        if (n == 0) {
            DrainToPort();
            return "closed by the client";
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return std::strerror(errno);
        }
        decoder_.Feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    }
}

bool PortSession::Flush(std::string& error) {
    std::lock_guard lock(mutex_);
    size_t sent = 0;
    while (sent < outbound_.size()) {
        const ssize_t n = ::send(socket_.get(), outbound_.data() + sent, outbound_.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        error = std::strerror(n < 0 ? errno : EIO);
        return false;
    }
    if (sent > 0) {
        outbound_.erase(outbound_.begin(), outbound_.begin() + static_cast<std::ptrdiff_t>(sent));
        changed_.notify_all();  // the port reader may go on
    }
    return true;
}

void PortSession::StartClosing() {
    if (!closing_deadline_)
        closing_deadline_ =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(closing_wait_ms_);
}

void PortSession::DrainToPort() {
    comm::Dcb dcb;
    const uint32_t baud = device_.GetState(dcb) && dcb.BaudRate > 0 ? dcb.BaudRate : 9600;
    StartClosing();
    const auto deadline = *closing_deadline_;
    std::unique_lock lock(mutex_);
    input_done_ = true;
    changed_.notify_all();
    // Ten bits a character, twice over, for what waits and what the writer holds; never longer
    // than the closing wait, or a client that set the slowest speed (or a line that flow
    // control holds) would keep the port from everyone else for hours.
    const uint64_t bytes = to_port_.size() + kWriteChunk;
    const auto limit = std::min<std::chrono::steady_clock::time_point>(
        std::chrono::steady_clock::now() +
            std::chrono::milliseconds(2000 + bytes * 20 * 1000 / baud),
        deadline);
    changed_.wait_until(lock, limit, [&] { return writer_done_ || stop_; });
}

void PortSession::OnData(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (to_port_.empty())
        changed_.notify_all();  // the port writer waits only while there is nothing to write
    to_port_.insert(to_port_.end(), bytes.begin(), bytes.end());
    // A client that honours it holds its data until the port has caught up; any other is held
    // back by the socket, which is not read meanwhile.
    if (to_port_.size() >= kMostForPort && !client_held_) {
        client_held_ = true;
        QueueLocked(ServerMessage(Command::kFlowControlSuspend));
    }
}

void PortSession::OnNegotiation(uint8_t verb, uint8_t option) {
    std::lock_guard lock(mutex_);
    QueueLocked(negotiator_.Receive(verb, option));
    const bool com_port = negotiator_.RemoteEnabled(telnet::kComPortOption) ||
                          negotiator_.LocalEnabled(telnet::kComPortOption);
    if (com_port && !com_port_on_) {
        com_port_on_ = true;
        // The client learns the lines at once, not only at their first change.
        uint32_t status = 0;
        device_.GetModemStatus(status);
        modem_reported_ = status;  // a state, not a change
        ReportModemLocked(status, true);
    }
}

void PortSession::OnSubnegotiation(uint8_t option, std::span<const uint8_t> payload) {
    if (option != telnet::kComPortOption || payload.empty())
        return;
    const auto command = static_cast<Command>(payload[0]);
    const std::span<const uint8_t> value = payload.subspan(1);
    const uint8_t byte = value.size() == 1 ? value[0] : 0;
    switch (command) {
        case Command::kNotifyModemState: {
            uint32_t status = 0;
            device_.GetModemStatus(status);
            std::lock_guard lock(mutex_);
            ReportModemLocked(status, true);
            return;
        }
        case Command::kFlowControlSuspend:
        case Command::kFlowControlResume: {
            std::lock_guard lock(mutex_);
            flow_suspended_ = command == Command::kFlowControlSuspend;
            changed_.notify_all();
            return;
        }
        case Command::kSetLineStateMask:
        case Command::kSetModemStateMask: {
            std::lock_guard lock(mutex_);
            (command == Command::kSetLineStateMask ? line_mask_ : modem_mask_) = byte;
            QueueLocked(ServerMessage(command, byte));
            return;
        }
        case Command::kPurgeData:
            if (byte == rfc2217::purge::kTransmit || byte == rfc2217::purge::kBoth) {
                std::lock_guard lock(mutex_);
                to_port_.clear();
            }
            break;
        default:
            break;
    }
    const std::vector<uint8_t> answer = control_.Execute(command, value);
    std::lock_guard lock(mutex_);
    QueueLocked(answer);
}

// --- the port writer -------------------------------------------------------------------------

void PortSession::RunWriter() {
    using Clock = std::chrono::steady_clock;
    std::vector<uint8_t> chunk;
    Clock::time_point progress;  // when the port last took some of the client's data
    for (;;) {
        bool was_full;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stop_ || input_done_ || !to_port_.empty(); });
            if (stop_ || to_port_.empty())
                break;
            was_full = to_port_.size() >= kMostForPort;
            const size_t n = std::min(kWriteChunk, to_port_.size());
            chunk.assign(to_port_.begin(), to_port_.begin() + static_cast<std::ptrdiff_t>(n));
            to_port_.erase(to_port_.begin(), to_port_.begin() + static_cast<std::ptrdiff_t>(n));
            if (client_held_ && to_port_.size() < kMostForPort / 2) {
                client_held_ = false;
                QueueLocked(ServerMessage(Command::kFlowControlResume));
            }
        }
        progress = Clock::now();  // the last chunk went whole, or the writer was idle
        // The network thread stopped reading the client only when the queue was full.
        if (was_full)
            comm::SignalEventFd(wake_.get());
        // The port's write time-out makes each call end in a while, so that a stop is seen
        // even on a line held by flow control; what did not go out is handed over again.
        size_t at = 0;
        bool failed = false;
        while (at < chunk.size() && !failed) {
            {
                std::lock_guard lock(mutex_);
                if (stop_)
                    break;
                writing_ = true;
            }
            size_t written = 0;
            failed = !device_.Write(chunk.data() + at, chunk.size() - at, written);
            at += written;
            {
                std::lock_guard lock(mutex_);
                writing_ = false;
            }
            if (written > 0) {
                progress = Clock::now();
            } else if (!failed && stall_ms_ > 0 &&
                       Clock::now() - progress >= std::chrono::milliseconds(stall_ms_)) {
                // Flow control holds the line for good (the far end, or a loop-back that sent
                // the client's own XOFF back): the client's data is dropped, here and in the
                // port's queue, and the session ends, so that the port is free again even for a
                // client that has gone without a close the server could read.
                RequestStop("the port took none of the client's data for " +
                            DurationText(stall_ms_) +
                            " (flow control holds the line); its data was dropped");
                device_.Purge(comm::PURGE_TXABORT | comm::PURGE_TXCLEAR);
                failed = true;
            }
        }
        if (failed)
            break;  // a failed port: the port reader finds out why and ends the session
    }
    std::lock_guard lock(mutex_);
    writer_done_ = true;
    changed_.notify_all();
}

}  // namespace remote
