#include "platform/comm/rfc2217_serial_device.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/comm/event_fd.h"
#include "platform/comm/read_plan.h"

namespace comm {
namespace {

using Clock = std::chrono::steady_clock;
namespace cpc = rfc2217;

// The receive store holds at most this much; beyond it the server's bytes wait in the socket,
// and TCP holds the server back.
constexpr size_t kMostReceived = 64 * 1024;
// Answers and commands a server that reads nothing may leave queued before the device stops
// taking in what it sends (each negotiation it sends may need an answer).
constexpr size_t kMostControlBacklog = 64 * 1024;
// While written bytes are still in the socket's send queue the only way to see the end is to ask.
constexpr int kDrainPollMs = 2;
// A close the server has not acknowledged after this is not waited for any longer.
constexpr int kUnansweredCloseMs = 2000;
// Keep-alive probes find a server whose machine vanished without closing the connection.
constexpr int kKeepIdleS = 10, kKeepIntervalS = 5, kKeepCount = 3;

constexpr uint8_t kModemStateMask = 0xFF;
constexpr uint8_t kLineStateMask = cpc::line_state::kBreak | cpc::line_state::kFraming |
                                   cpc::line_state::kParity | cpc::line_state::kOverrun;

Clock::time_point DeadlineIn(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count() + 1, 0, INT32_MAX));
}

uint8_t ParityValue(uint8_t parity) {
    switch (parity) {
        case ODDPARITY:
            return cpc::parity::kOdd;
        case EVENPARITY:
            return cpc::parity::kEven;
        case MARKPARITY:
            return cpc::parity::kMark;
        case SPACEPARITY:
            return cpc::parity::kSpace;
        default:
            return cpc::parity::kNone;
    }
}

uint8_t ParityOf(uint8_t value, uint8_t fallback) {
    switch (value) {
        case cpc::parity::kNone:
            return NOPARITY;
        case cpc::parity::kOdd:
            return ODDPARITY;
        case cpc::parity::kEven:
            return EVENPARITY;
        case cpc::parity::kMark:
            return MARKPARITY;
        case cpc::parity::kSpace:
            return SPACEPARITY;
        default:
            return fallback;
    }
}

uint8_t StopSizeValue(uint8_t stop_bits) {
    if (stop_bits == TWOSTOPBITS)
        return cpc::stop_size::kTwo;
    return stop_bits == ONE5STOPBITS ? cpc::stop_size::kOneAndHalf : cpc::stop_size::kOne;
}

uint8_t StopBitsOf(uint8_t value, uint8_t fallback) {
    switch (value) {
        case cpc::stop_size::kOne:
            return ONESTOPBIT;
        case cpc::stop_size::kTwo:
            return TWOSTOPBITS;
        case cpc::stop_size::kOneAndHalf:
            return ONE5STOPBITS;
        default:
            return fallback;
    }
}

const char* SettingName(size_t setting) {
    static constexpr const char* kNames[] = {"speed",     "data size",    "parity",
                                             "stop size", "flow control", "break",
                                             "DTR",       "RTS",          "inbound flow control",
                                             "purge"};
    return kNames[setting];
}

// Connects to one of the addresses before the deadline; the socket, or invalid with errno set.
UniqueFd ConnectBefore(const addrinfo* addresses, Clock::time_point deadline) {
    int error = ECONNREFUSED;
    for (const addrinfo* ai = addresses; ai != nullptr; ai = ai->ai_next) {
        UniqueFd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.valid()) {
            error = errno;
            continue;
        }
        if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                error = errno;
                continue;
            }
            pollfd pfd{fd.get(), POLLOUT, 0};
            int rc;
            do {
                rc = ::poll(&pfd, 1, RemainingMs(deadline));
            } while (rc < 0 && errno == EINTR);
            if (rc == 0) {
                error = ETIMEDOUT;
                break;  // the time is used up for every address
            }
            int so_error = 0;
            socklen_t len = sizeof so_error;
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len);
            if (rc < 0 || so_error != 0) {
                error = rc < 0 ? errno : so_error;
                continue;
            }
        }
        int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
        return fd;
    }
    errno = error;
    return UniqueFd();
}

}  // namespace

bool IsRemotePortName(const std::string& name) {
    return name.rfind(kRemotePortScheme, 0) == 0;
}

std::string RemotePortNameProblem(const std::string& name) {
    if (!IsRemotePortName(name) || ParseRemotePortName(name))
        return {};
    const std::string rest = name.substr(sizeof kRemotePortScheme - 1);
    const size_t host_end = !rest.empty() && rest.front() == '[' ? rest.find(']') : 0;
    const bool no_number =
        host_end == std::string::npos || rest.find(':', host_end) == std::string::npos;
    return name + (no_number ? ": the server's port number is missing" : ": not a remote port") +
           " (rfc2217://HOST:PORT, PORT 1 to 65535)";
}

std::optional<RemotePortAddress> ParseRemotePortName(const std::string& name) {
    if (!IsRemotePortName(name))
        return std::nullopt;
    const std::string rest = name.substr(sizeof kRemotePortScheme - 1);
    RemotePortAddress address;
    size_t colon;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return std::nullopt;
        address.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos || rest.find(':', colon + 1) != std::string::npos)
            return std::nullopt;
        address.host = rest.substr(0, colon);
    }
    address.port = rest.substr(colon + 1);
    if (address.host.empty() || address.port.empty() || address.port.size() > 5 ||
        address.host.find_first_of("/[] ") != std::string::npos)
        return std::nullopt;
    if (!std::all_of(address.port.begin(), address.port.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int number = std::stoi(address.port);
    if (number < 1 || number > 65535)
        return std::nullopt;
    return address;
}

// Hands what the decoder finds to the device, on the I/O thread.
class Rfc2217SerialDevice::Sink final : public cpc::TelnetSink {
  public:
    explicit Sink(Rfc2217SerialDevice& device) : device_(device) {}
    void OnData(std::span<const uint8_t> bytes) override { device_.OnData(bytes); }
    void OnNegotiation(uint8_t verb, uint8_t option) override {
        device_.OnNegotiation(verb, option);
    }
    void OnSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override {
        if (option == cpc::telnet::kComPortOption)
            device_.OnComPort(payload);
    }

  private:
    Rfc2217SerialDevice& device_;
};

// --- opening ---------------------------------------------------------------------------------

OpenResult Rfc2217SerialDevice::Open(const std::string& name) {
    return Open(name, Options{});
}

OpenResult Rfc2217SerialDevice::Open(const std::string& name, Options options) {
    const std::optional<RemotePortAddress> address = ParseRemotePortName(name);
    if (!address)
        return {nullptr, CommStatus::Failure("address", EINVAL)};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const Clock::time_point deadline = DeadlineIn(options.connect_timeout_ms);
    if (int rc = ::getaddrinfo(address->host.c_str(), address->port.c_str(), &hints, &found);
        rc != 0) {
        const int error = rc == EAI_SYSTEM ? errno : rc == EAI_AGAIN ? EAGAIN : ENOENT;
        return {nullptr, CommStatus::Failure("getaddrinfo", error)};
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    UniqueFd socket = ConnectBefore(addresses.get(), deadline);
    if (!socket.valid())
        return {nullptr, CommStatus::Failure("connect", errno)};
    return OpenConnected(std::move(socket), name, std::move(options));
}

OpenResult Rfc2217SerialDevice::OpenConnected(UniqueFd socket, const std::string& name,
                                              Options options) {
    UniqueFd wake = MakeEventFd();
    if (!wake.valid())
        return {nullptr, CommStatus::Failure("eventfd", errno)};
    std::unique_ptr<Rfc2217SerialDevice> device(
        new Rfc2217SerialDevice(std::move(socket), std::move(wake), name, std::move(options)));
    if (CommStatus status = device->Negotiate(); !status)
        return {nullptr, status};

    // Start from the server's line settings, in raw mode, with DTR and RTS raised, as a local
    // port starts from its terminal's.
    Dcb dcb;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    device->QueryInitialState(dcb);
    {
        std::lock_guard lock(device->mutex_);
        const uint8_t modem_mask[] = {kModemStateMask};
        const uint8_t line_mask[] = {kLineStateMask};
        device->QueueLocked(cpc::ComPortMessage(cpc::Command::kSetModemStateMask, modem_mask), 0);
        device->QueueLocked(cpc::ComPortMessage(cpc::Command::kSetLineStateMask, line_mask), 0);
    }
    {
        std::lock_guard lock(device->mutex_);
        device->lines_left_ = !device->options_.raise_lines_at_open;
    }
    const CommStatus status = device->SetState(dcb);
    {
        std::lock_guard lock(device->mutex_);
        device->lines_left_ = false;
    }
    if (!status)
        return {nullptr, status.DeviceGone() ? CommStatus::Failure("connection", EBUSY) : status};
    return {std::move(device), {}};
}

Rfc2217SerialDevice::Rfc2217SerialDevice(UniqueFd socket, UniqueFd wake, std::string name,
                                         Options options)
    : name_(std::move(name)),
      options_(std::move(options)),
      socket_(std::move(socket)),
      wake_(std::move(wake)),
      sink_(std::make_unique<Sink>(*this)),
      decoder_(*sink_),
      negotiator_(
          {cpc::telnet::kComPortOption, cpc::telnet::kBinary, cpc::telnet::kSuppressGoAhead},
          {cpc::telnet::kBinary, cpc::telnet::kSuppressGoAhead}) {
    io_ = std::thread([this] { IoLoop(); });
}

Rfc2217SerialDevice::~Rfc2217SerialDevice() {
    bool gone;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        gone = gone_;
        changed_.notify_all();  // an I/O thread may wait for room in the receive store
    }
    Wake();
    io_.join();
    if (!gone)
        CloseInOrder();
}

void Rfc2217SerialDevice::CloseInOrder() {
    // A server passes the client's last data on to its port after the client has closed, and
    // may still send meanwhile. A close with bytes unread, or with bytes arriving after it,
    // resets the connection, and the server then drops what it has not passed on: the data
    // the port was said to have taken would be lost. So only the sending side is shut, and what
    // the server still sends is read and dropped until it closes too.
    ::shutdown(socket_.get(), SHUT_WR);
    const Clock::time_point deadline = DeadlineIn(options_.closing_wait_ms);
    const Clock::time_point unanswered = DeadlineIn(kUnansweredCloseMs);
    uint8_t sink[16 * 1024];
    for (;;) {
        pollfd fd{socket_.get(), POLLIN, 0};
        const int rc = ::poll(&fd, 1, std::min(RemainingMs(deadline), kUnansweredCloseMs));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || Clock::now() >= deadline)
            return;  // the closing wait has passed
        if (rc == 0) {
            // A server that has not even acknowledged the close is gone (its machine, its
            // network): it passes nothing on any more, and nobody waits for it.
            tcp_info info{};
            socklen_t length = sizeof info;
            if (Clock::now() >= unanswered &&
                ::getsockopt(socket_.get(), IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
                info.tcpi_state == TCP_FIN_WAIT1)
                return;
            continue;
        }
        const ssize_t n = ::recv(socket_.get(), sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return;
    }
}

CommStatus Rfc2217SerialDevice::Negotiate() {
    std::unique_lock lock(mutex_);
    for (const uint8_t option :
         {cpc::telnet::kComPortOption, cpc::telnet::kBinary, cpc::telnet::kSuppressGoAhead})
        QueueLocked(negotiator_.OfferLocal(option), 0);
    for (const uint8_t option : {cpc::telnet::kBinary, cpc::telnet::kSuppressGoAhead})
        QueueLocked(negotiator_.RequestRemote(option), 0);
    const bool settled =
        changed_.wait_until(lock, DeadlineIn(options_.negotiation_timeout_ms), [this] {
            return gone_ || refused_ || negotiator_.LocalEnabled(cpc::telnet::kComPortOption);
        });
    if (gone_)  // a server closes at once the connection of a second user
        return CommStatus::Failure("connection", EBUSY);
    if (!settled || refused_)
        return CommStatus::Failure("com port option", EPROTONOSUPPORT);
    return {};
}

void Rfc2217SerialDevice::QueryInitialState(Dcb& dcb) {
    static constexpr std::pair<Setting, cpc::Command> kQueries[] = {
        {Setting::kBaud, cpc::Command::kSetBaudRate},
        {Setting::kDataSize, cpc::Command::kSetDataSize},
        {Setting::kParity, cpc::Command::kSetParity},
        {Setting::kStopSize, cpc::Command::kSetStopSize},
    };
    std::unique_lock lock(mutex_);
    std::array<uint64_t, kSettings> before = answers_;
    for (const auto& [setting, command] : kQueries) {
        const std::vector<uint8_t> ask = command == cpc::Command::kSetBaudRate
                                             ? std::vector<uint8_t>{0, 0, 0, 0}
                                             : std::vector<uint8_t>{0};
        QueueLocked(cpc::ComPortMessage(command, ask), 0);
    }
    changed_.wait_until(lock, DeadlineIn(options_.reply_timeout_ms), [&] {
        return gone_ || std::all_of(std::begin(kQueries), std::end(kQueries), [&](const auto& q) {
                   const size_t i = static_cast<size_t>(q.first);
                   return answers_[i] > before[i];
               });
    });
    auto answer = [&](Setting setting) -> const std::vector<uint8_t>* {
        const size_t i = static_cast<size_t>(setting);
        return answers_[i] > before[i] && !answer_values_[i].empty() ? &answer_values_[i] : nullptr;
    };
    dcb.BaudRate = server_baud_ != 0 ? server_baud_ : 9600;
    dcb.ByteSize = 8;
    if (const auto* v = answer(Setting::kDataSize); v && (*v)[0] >= 5 && (*v)[0] <= 8)
        dcb.ByteSize = (*v)[0];
    if (const auto* v = answer(Setting::kParity))
        dcb.Parity = ParityOf((*v)[0], NOPARITY);
    if (const auto* v = answer(Setting::kStopSize))
        dcb.StopBits = StopBitsOf((*v)[0], ONESTOPBIT);
    // What the server has already need not be asked for again.
    for (const auto& [setting, command] : kQueries) {
        if (answer(setting) != nullptr)
            requested_[static_cast<size_t>(setting)] = answer_values_[static_cast<size_t>(setting)];
    }
}

// --- the I/O thread --------------------------------------------------------------------------

void Rfc2217SerialDevice::Wake() {
    SignalEventFd(wake_.get());
}

void Rfc2217SerialDevice::QueueLocked(std::vector<uint8_t> wire, size_t data, bool wake) {
    if (wire.empty() || gone_)
        return;
    if (data == 0)
        out_control_bytes_ += wire.size();
    data_queued_ += data;
    out_.push_back(Chunk{std::move(wire), 0, data});
    if (wake)
        Wake();
}

void Rfc2217SerialDevice::MarkGone() {
    if (gone_)
        return;
    gone_ = true;
    out_.clear();  // what did not leave is lost, and not counted as sent
    out_control_bytes_ = 0;
    changed_.notify_all();
}

void Rfc2217SerialDevice::IoLoop() {
    for (;;) {
        short events = 0;
        {
            std::unique_lock lock(mutex_);
            if (stop_ || gone_)
                return;
            if (!out_.empty())
                events |= POLLOUT;
            if (received_.size() < kMostReceived && out_control_bytes_ < kMostControlBacklog)
                events |= POLLIN;
        }
        pollfd fds[2] = {{socket_.get(), events, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::lock_guard lock(mutex_);
            MarkGone();
            return;
        }
        if (fds[1].revents & POLLIN)
            DrainEventFd(wake_.get());
        const short got = fds[0].revents;
        if ((events & POLLIN) && (got & (POLLIN | POLLHUP | POLLERR))) {
            if (!ReceiveSome()) {
                std::lock_guard lock(mutex_);
                MarkGone();
                return;
            }
        } else if (got & POLLERR) {
            std::lock_guard lock(mutex_);
            MarkGone();
            return;
        } else if (got & POLLHUP) {
            // Hung up with the receive store full: what is left in the socket waits for room.
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || received_.size() < kMostReceived; });
        }
        if (got & POLLOUT)
            SendSome();
    }
}

bool Rfc2217SerialDevice::ReceiveSome() {
    size_t room;
    {
        std::lock_guard lock(mutex_);
        room = kMostReceived - std::min(kMostReceived, received_.size());
    }
    if (room == 0)
        return true;  // nothing is taken in until a read makes room
    uint8_t buffer[16 * 1024];
    const ssize_t n = ::recv(socket_.get(), buffer, std::min(room, sizeof buffer), MSG_DONTWAIT);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    decoder_.Feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    return true;
}

void Rfc2217SerialDevice::SendSome() {
    // Many small writes go out in one call, as far as the socket takes them: one system call
    // (and one wake-up of a waiting writer) per chunk would make the network port several times
    // slower than the line behind it.
    constexpr size_t kMostPieces = 64;
    std::lock_guard lock(mutex_);
    while (!out_.empty()) {
        iovec pieces[kMostPieces];
        size_t count = 0;
        size_t total = 0;
        for (const Chunk& chunk : out_) {
            // Held output stops data only; answers and commands ahead of it still go.
            if (count == kMostPieces || ((xoff_local_ || xoff_server_) && chunk.data > 0))
                break;
            pieces[count++] = {const_cast<uint8_t*>(chunk.wire.data()) + chunk.sent,
                               chunk.wire.size() - chunk.sent};
            total += chunk.wire.size() - chunk.sent;
        }
        if (count == 0)
            return;
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(socket_.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                MarkGone();
            return;
        }
        for (size_t left = static_cast<size_t>(n); left > 0;) {
            Chunk& chunk = out_.front();
            const size_t taken = std::min(left, chunk.wire.size() - chunk.sent);
            chunk.sent += taken;
            left -= taken;
            if (chunk.sent < chunk.wire.size())
                break;
            if (chunk.data == 0)
                out_control_bytes_ -= chunk.wire.size();
            data_sent_ += chunk.data;
            counters_.tx += static_cast<uint32_t>(chunk.data);
            out_.pop_front();
        }
        // Only a writer waiting for its bytes and a wait for an empty queue care.
        if (out_.empty() || writers_waiting_ > 0)
            changed_.notify_all();
        if (static_cast<size_t>(n) < total)
            return;  // the socket takes no more for now
    }
}

void Rfc2217SerialDevice::OnData(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> kept(bytes.begin(), bytes.end());
    std::lock_guard lock(mutex_);
    counters_.rx += static_cast<uint32_t>(bytes.size());
    if (discarding_)
        return;
    bool event = false;
    kept.resize(filter_.Filter(kept.data(), kept.size(), event));
    received_.insert(received_.end(), kept.begin(), kept.end());
    rx_flag_ = rx_flag_ || (event && (mask_ & EV_RXFLAG) != 0);
    changed_.notify_all();
}

void Rfc2217SerialDevice::OnNegotiation(uint8_t verb, uint8_t option) {
    std::lock_guard lock(mutex_);
    QueueLocked(negotiator_.Receive(verb, option), 0);
    if (option == cpc::telnet::kComPortOption && negotiator_.LocalRefused(option))
        refused_ = true;
    changed_.notify_all();
}

void Rfc2217SerialDevice::OnComPort(std::span<const uint8_t> payload) {
    if (payload.empty() || payload[0] < cpc::kServerReplyOffset)
        return;  // commands the server sends as a client would (none a port needs) are dropped
    const uint8_t command = payload[0] - cpc::kServerReplyOffset;
    const std::span<const uint8_t> value = payload.subspan(1);
    std::lock_guard lock(mutex_);
    std::optional<Setting> setting;
    switch (static_cast<cpc::Command>(command)) {
        case cpc::Command::kSetBaudRate:
            setting = Setting::kBaud;
            if (const uint32_t baud = cpc::ReadBaudRate(value); baud != 0)
                server_baud_ = baud;
            break;
        case cpc::Command::kSetDataSize:
            setting = Setting::kDataSize;
            break;
        case cpc::Command::kSetParity:
            setting = Setting::kParity;
            break;
        case cpc::Command::kSetStopSize:
            setting = Setting::kStopSize;
            break;
        case cpc::Command::kSetControl: {
            if (value.empty())
                return;
            const uint8_t v = value[0];
            if (v <= cpc::control::kFlowHardware) {
                setting = Setting::kFlow;
            } else if (v <= cpc::control::kBreakOff) {
                setting = Setting::kBreak;
            } else if (v <= cpc::control::kDtrOff) {
                setting = Setting::kDtr;
                if (v == cpc::control::kDtrOn)
                    modem_control_ |= kModemControlDtr;
                else if (v == cpc::control::kDtrOff)
                    modem_control_ &= ~kModemControlDtr;
            } else if (v <= cpc::control::kRtsOff) {
                setting = Setting::kRts;
                if (v == cpc::control::kRtsOn)
                    modem_control_ |= kModemControlRts;
                else if (v == cpc::control::kRtsOff)
                    modem_control_ &= ~kModemControlRts;
            } else {
                setting = Setting::kInboundFlow;
            }
            break;
        }
        case cpc::Command::kNotifyLineState:
            if (!value.empty()) {
                const uint8_t v = value[0];
                if (v & cpc::line_state::kBreak) {
                    line_errors_ |= CE_BREAK;
                    ++counters_.brk;
                }
                if (v & cpc::line_state::kFraming) {
                    line_errors_ |= CE_FRAME;
                    ++counters_.frame;
                }
                if (v & cpc::line_state::kParity) {
                    line_errors_ |= CE_RXPARITY;
                    ++counters_.parity;
                }
                if (v & cpc::line_state::kOverrun) {
                    line_errors_ |= CE_OVERRUN;
                    ++counters_.overrun;
                }
            }
            break;
        case cpc::Command::kNotifyModemState:
            if (!value.empty()) {
                namespace ms = cpc::modem_state;
                const uint8_t v = value[0];
                const uint8_t now = v & 0xF0;
                // The first report gives the lines as they are, not a change.
                const uint8_t changed = modem_reported_ ? (now ^ modem_state_) : 0;
                auto moved = [&](uint8_t line, uint8_t delta) {
                    return (changed & line) != 0 || (v & delta) != 0;
                };
                if (moved(ms::kCts, ms::kDeltaCts))
                    modem_events_ |= EV_CTS;
                if (moved(ms::kDsr, ms::kDeltaDsr))
                    modem_events_ |= EV_DSR;
                if (moved(ms::kCarrier, ms::kDeltaCarrier))
                    modem_events_ |= EV_RLSD;
                if (moved(ms::kRing, ms::kRingTrailingEdge))
                    modem_events_ |= EV_RING;
                modem_state_ = now;
                modem_reported_ = true;
            }
            break;
        case cpc::Command::kPurgeData:
            setting = Setting::kPurge;
            discarding_ = false;  // what comes after the answer came after the purge
            break;
        case cpc::Command::kFlowControlSuspend:
            xoff_server_ = true;
            break;
        case cpc::Command::kFlowControlResume:
            xoff_server_ = false;
            Wake();
            break;
        default:
            break;
    }
    if (setting) {
        const size_t i = static_cast<size_t>(*setting);
        ++answers_[i];
        answer_values_[i].assign(value.begin(), value.end());
        if (value.empty())
            answer_values_[i].clear();
    }
    changed_.notify_all();
}

// --- line state ------------------------------------------------------------------------------

std::vector<Rfc2217SerialDevice::Request> Rfc2217SerialDevice::RequestsFor(const Dcb& dcb) {
    using cpc::Command;
    namespace ctl = cpc::control;
    const auto baud = cpc::BaudRateValue(dcb.BaudRate);
    const bool hardware = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    std::vector<Request> all = {
        {Setting::kBaud, Command::kSetBaudRate, {baud.begin(), baud.end()}},
        {Setting::kDataSize, Command::kSetDataSize, {dcb.ByteSize}},
        {Setting::kParity, Command::kSetParity, {ParityValue(dcb.Parity)}},
        {Setting::kStopSize, Command::kSetStopSize, {StopSizeValue(dcb.StopBits)}},
        {Setting::kFlow,
         Command::kSetControl,
         {hardware    ? ctl::kFlowHardware
          : dcb.fOutX ? ctl::kFlowXonXoff
                      : ctl::kFlowNone}},
        {Setting::kInboundFlow,
         Command::kSetControl,
         {hardware   ? ctl::kInboundFlowHardware
          : dcb.fInX ? ctl::kInboundFlowXonXoff
                     : ctl::kInboundFlowNone}},
        {Setting::kDtr,
         Command::kSetControl,
         {dcb.fDtrControl == DTR_CONTROL_DISABLE ? ctl::kDtrOff : ctl::kDtrOn}},
    };
    // Under hardware flow control the server drives RTS itself.
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        all.push_back({Setting::kRts,
                       Command::kSetControl,
                       {dcb.fRtsControl == RTS_CONTROL_DISABLE ? ctl::kRtsOff : ctl::kRtsOn}});
    }
    std::vector<Request> changed;
    for (Request& request : all) {
        const bool line = request.setting == Setting::kDtr || request.setting == Setting::kRts;
        if (requested_[static_cast<size_t>(request.setting)] != request.value &&
            !(line && lines_left_))
            changed.push_back(std::move(request));
    }
    return changed;
}

CommStatus Rfc2217SerialDevice::Send(const std::vector<Request>& requests) {
    std::unique_lock lock(mutex_);
    if (gone_)
        return CommStatus::Failure("SetState", EIO);
    std::array<uint64_t, kSettings> wanted = answers_;
    std::array<bool, kSettings> waiting{};
    for (const Request& request : requests) {
        const size_t i = static_cast<size_t>(request.setting);
        QueueLocked(cpc::ComPortMessage(request.command, request.value), 0);
        requested_[i] = request.value;
        answer_values_[i].clear();  // an earlier answer does not say what this request set
        if (request.setting == Setting::kDtr || request.setting == Setting::kRts) {
            const uint32_t bit =
                request.setting == Setting::kDtr ? kModemControlDtr : kModemControlRts;
            const bool on = request.value[0] == cpc::control::kDtrOn ||
                            request.value[0] == cpc::control::kRtsOn;
            modem_control_ = on ? (modem_control_ | bit) : (modem_control_ & ~bit);
        }
        ++wanted[i];
        waiting[i] = !unanswered_[i];
    }
    auto answered = [&](size_t i) { return !waiting[i] || answers_[i] >= wanted[i]; };
    auto all_answered = [&] {
        for (size_t i = 0; i < kSettings; ++i) {
            if (!answered(i))
                return false;
        }
        return true;
    };
    changed_.wait_until(lock, DeadlineIn(options_.reply_timeout_ms),
                        [&] { return gone_ || all_answered(); });
    if (gone_)
        return CommStatus::Failure("SetState", EIO);
    // Each kind is said once, the first time it goes unanswered, so that one kind does not hide
    // another that goes unanswered later.
    std::string missing;
    for (size_t i = 0; i < kSettings; ++i) {
        if (answered(i))
            continue;
        unanswered_[i] = true;
        if (i == static_cast<size_t>(Setting::kPurge))
            discarding_ = false;  // no answer will say where the purge ended
        if (told_unanswered_[i])
            continue;
        told_unanswered_[i] = true;
        missing += (missing.empty() ? "" : ", ") + std::string(SettingName(i));
    }
    if (missing.empty())
        return {};
    lock.unlock();
    const std::string line = name_ + ": the server did not answer the " + missing +
                             " request within " + std::to_string(options_.reply_timeout_ms) +
                             " ms; going on without waiting for such answers";
    if (options_.notice)
        options_.notice(line);
    else
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, line.c_str());
    return {};
}

CommStatus Rfc2217SerialDevice::SetState(const Dcb& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS)
        return CommStatus::Failure("SetState", EINVAL);
    std::vector<Request> requests;
    {
        std::lock_guard lock(mutex_);
        if (gone_)
            return CommStatus::Failure("SetState", EIO);
        requests = RequestsFor(dcb);
        ReceiveFilter::Settings settings;  // a remote port marks no errored bytes
        settings.strip_null = dcb.fNull != 0;
        settings.event_char = static_cast<uint8_t>(dcb.EvtChar);
        filter_.Configure(settings);
        dcb_ = dcb;
        dcb_.DCBlength = sizeof(Dcb);
    }
    return Send(requests);
}

CommStatus Rfc2217SerialDevice::GetState(Dcb& dcb) {
    std::lock_guard lock(mutex_);
    if (gone_)
        return CommStatus::Failure("GetState", EIO);
    dcb = dcb_;
    if (server_baud_ != 0)
        dcb.BaudRate = server_baud_;  // the speed the server says it uses
    // What the server answered it uses, which may not be what was asked (a port without parity,
    // or without the lines for hardware flow control).
    auto answer = [this](Setting setting) -> const std::vector<uint8_t>* {
        const std::vector<uint8_t>& value = answer_values_[static_cast<size_t>(setting)];
        return value.empty() ? nullptr : &value;
    };
    if (const auto* v = answer(Setting::kDataSize); v && (*v)[0] >= 5 && (*v)[0] <= 8)
        dcb.ByteSize = (*v)[0];
    if (const auto* v = answer(Setting::kParity))
        dcb.Parity = ParityOf((*v)[0], dcb.Parity);
    if (const auto* v = answer(Setting::kStopSize))
        dcb.StopBits = StopBitsOf((*v)[0], dcb.StopBits);
    if (const auto* v = answer(Setting::kFlow)) {
        const bool hardware = (*v)[0] == cpc::control::kFlowHardware;
        const bool xon = (*v)[0] == cpc::control::kFlowXonXoff;
        if (hardware || xon || (*v)[0] == cpc::control::kFlowNone) {
            dcb.fOutxCtsFlow = hardware;
            if (!hardware && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
                dcb.fRtsControl = RTS_CONTROL_ENABLE;
            else if (hardware)
                dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            dcb.fOutX = xon;
        }
    }
    return {};
}

CommStatus Rfc2217SerialDevice::SetTimeouts(const CommTimeouts& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
    return {};
}

CommStatus Rfc2217SerialDevice::GetTimeouts(CommTimeouts& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts = timeouts_;
    return {};
}

// --- events ----------------------------------------------------------------------------------

CommStatus Rfc2217SerialDevice::SetEventMask(uint32_t mask) {
    std::lock_guard lock(mutex_);
    mask_ = mask;
    ++mask_generation_;
    modem_events_ = 0;
    rx_flag_ = false;
    changed_.notify_all();
    return {};
}

uint32_t Rfc2217SerialDevice::EventMask() {
    std::lock_guard lock(mutex_);
    return mask_;
}

bool Rfc2217SerialDevice::OutputDrained() {
    if (!out_.empty())
        return false;
    int pending = 0;
    return ::ioctl(socket_.get(), SIOCOUTQ, &pending) != 0 || pending == 0;
}

CommStatus Rfc2217SerialDevice::WaitEventFor(uint32_t& events, int timeout_ms) {
    events = 0;
    const bool limited = timeout_ms >= 0;
    const Clock::time_point deadline = DeadlineIn(limited ? timeout_ms : 0);
    std::unique_lock lock(mutex_);
    const uint64_t generation = mask_generation_;
    for (;;) {
        if (cancelled_)
            return CommStatus::Failure("WaitEvent", ECANCELED);
        if (mask_generation_ != generation)
            return {};
        uint32_t found = modem_events_ & mask_;
        modem_events_ &= ~found;
        if (!received_.empty())
            found |= EV_RXCHAR;
        if (rx_flag_ && (mask_ & EV_RXFLAG)) {
            found |= EV_RXFLAG;
            rx_flag_ = false;
        }
        bool draining = false;
        if ((mask_ & EV_TXEMPTY) && tx_armed_ && !gone_) {
            if (OutputDrained()) {
                found |= EV_TXEMPTY;
                tx_armed_ = false;
            } else {
                draining = out_.empty();  // only the socket's queue is left: ask again soon
            }
        }
        if ((found & mask_) != 0) {
            events = found & mask_;
            return {};
        }
        if (gone_)
            return CommStatus::Failure("WaitEvent", EIO);
        Clock::time_point until = limited ? deadline : Clock::time_point::max();
        if (draining)
            until = std::min(until, DeadlineIn(kDrainPollMs));
        if (limited && Clock::now() >= deadline)
            return CommStatus::Failure("WaitEvent", ETIMEDOUT);
        if (until == Clock::time_point::max())
            changed_.wait(lock);
        else
            changed_.wait_until(lock, until);
    }
}

void Rfc2217SerialDevice::CancelIo() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
}

// --- reading ---------------------------------------------------------------------------------

CommStatus Rfc2217SerialDevice::Read(uint8_t* buffer, size_t count, size_t& got) {
    got = 0;
    if (count == 0)
        return {};
    std::unique_lock lock(mutex_);
    if (cancelled_)
        return CommStatus::Failure("Read", ECANCELED);
    const ReadPlan plan = PlanRead(timeouts_, count);
    const uint64_t abort_generation = read_abort_generation_;
    const Clock::time_point start = Clock::now();
    const Clock::time_point total_deadline = start + std::chrono::milliseconds(plan.total_ms);
    Clock::time_point last_byte = start;
    for (;;) {
        if (!received_.empty()) {
            const bool was_full = received_.size() >= kMostReceived;
            const size_t n = std::min(count - got, received_.size());
            std::copy_n(received_.begin(), n, buffer + got);
            received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
            got += n;
            last_byte = Clock::now();
            if (was_full) {
                changed_.notify_all();  // an I/O thread held by a hang-up waits for room
                Wake();
            }
            if (got == count || plan.first_bytes_end)
                return {};
        }
        if (gone_)
            return got > 0 ? CommStatus{} : CommStatus::Failure("read", EIO);
        if (plan.at_once)
            return {};
        Clock::time_point until = Clock::time_point::max();
        if (plan.total_ms > 0)
            until = total_deadline;
        if (got > 0 && plan.interval_ms > 0)
            until = std::min(until, last_byte + std::chrono::milliseconds(plan.interval_ms));
        if (until != Clock::time_point::max() && Clock::now() >= until)
            return {};
        if (until == Clock::time_point::max())
            changed_.wait(lock);
        else
            changed_.wait_until(lock, until);
        if (cancelled_ || read_abort_generation_ != abort_generation)
            return CommStatus::Failure("Read", ECANCELED);
    }
}

// --- writing ---------------------------------------------------------------------------------

bool Rfc2217SerialDevice::Submit(const uint8_t* bytes, size_t count, uint64_t& mark) {
    {
        std::lock_guard lock(mutex_);
        if (gone_)
            return false;
        mark = data_queued_;
        if (count == 0)
            return true;
        std::vector<uint8_t> wire;
        wire.reserve(count + count / 64);
        cpc::AppendData(wire, std::span<const uint8_t>(bytes, count));
        QueueLocked(std::move(wire), count, false);
        mark = data_queued_;
        out_.back().data_end = mark;
        tx_armed_ = true;
    }
    // What the socket takes at once need not wait for the I/O thread, which is woken only for
    // what is left.
    SendSome();
    std::lock_guard lock(mutex_);
    if (!out_.empty())
        Wake();
    return true;
}

CommStatus Rfc2217SerialDevice::WriteAsync(const uint8_t* bytes, size_t count,
                                           size_t& completed_now) {
    completed_now = 0;
    uint64_t mark = 0;
    if (!Submit(bytes, count, mark))
        return CommStatus::Failure("WriteAsync", EIO);
    std::lock_guard lock(mutex_);
    if (data_sent_ >= mark)
        completed_now = count;
    return {};
}

CommStatus Rfc2217SerialDevice::Write(const uint8_t* bytes, size_t count, size_t& written) {
    written = 0;
    CommTimeouts t;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_)
            return CommStatus::Failure("Write", ECANCELED);
        t = timeouts_;
    }
    uint64_t mark = 0;
    if (!Submit(bytes, count, mark))
        return CommStatus::Failure("Write", EIO);
    std::unique_lock lock(mutex_);
    // CancelIo ends the wait too: output held by the server or a full connection would
    // otherwise keep a write without a time-out from ever returning to a closing caller.
    auto done = [&] { return gone_ || cancelled_ || data_sent_ >= mark; };
    const uint64_t limit_ms = WriteTotalMs(t, count);
    ++writers_waiting_;
    if (limit_ms == 0)
        changed_.wait(lock, done);
    else
        changed_.wait_until(lock, Clock::now() + std::chrono::milliseconds(limit_ms), done);
    --writers_waiting_;
    if (data_sent_ >= mark) {
        written = count;
        return {};
    }
    if (gone_) {
        written = count - static_cast<size_t>(std::min<uint64_t>(count, mark - data_sent_));
        return CommStatus::Failure("Write", EIO);
    }
    const bool cancelled = cancelled_;
    // Timed out: bytes not yet begun and still last in the queue are taken back, never sent;
    // bytes under way (or with later bytes behind them) go, and count as written.
    if (!out_.empty() && out_.back().data_end == mark && out_.back().sent == 0) {
        data_queued_ -= out_.back().data;
        out_.pop_back();
        return cancelled ? CommStatus::Failure("Write", ECANCELED) : CommStatus{};
    }
    written = count;
    return cancelled ? CommStatus::Failure("Write", ECANCELED) : CommStatus{};
}

CommStatus Rfc2217SerialDevice::Purge(uint32_t flags) {
    uint8_t what = 0;
    {
        std::lock_guard lock(mutex_);
        if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
            // Data not yet begun is dropped; a chunk under way finishes, so the stream stays whole.
            std::deque<Chunk> kept;
            for (Chunk& chunk : out_) {
                if (chunk.data > 0 && chunk.sent == 0)
                    data_sent_ += chunk.data;
                else
                    kept.push_back(std::move(chunk));
            }
            out_ = std::move(kept);
            what |= cpc::purge::kTransmit;
        }
        if (flags & PURGE_RXABORT)
            ++read_abort_generation_;
        if (flags & PURGE_RXCLEAR) {
            received_.clear();
            filter_.Reset();
            // Bytes on their way from the server until it answers were received before the purge.
            discarding_ = !unanswered_[static_cast<size_t>(Setting::kPurge)];
            Wake();
            what |= cpc::purge::kReceive;
        }
        changed_.notify_all();
    }
    if (what == 0)
        return {};
    // Waited for, so that bytes the far port receives after Purge returns are kept.
    if (CommStatus status = Send({Request{Setting::kPurge, cpc::Command::kPurgeData, {what}}});
        !status)
        return CommStatus::Failure("Purge", status.error());
    return {};
}

// --- status ----------------------------------------------------------------------------------

CommStatus Rfc2217SerialDevice::ClearError(uint32_t* errors, QueueStatus* status) {
    std::lock_guard lock(mutex_);
    if (errors != nullptr) {
        *errors = line_errors_;
        line_errors_ = 0;
    }
    if (status != nullptr) {
        // Bytes that arrived before the connection ended are still read (as Read gives them),
        // so they are counted until taken; only then is the port gone here too. A reader told
        // of EV_RXCHAR and then of an empty queue would wait for the same event without end.
        if (gone_ && received_.empty())
            return CommStatus::Failure("ClearError", EIO);
        status->in_queue = static_cast<uint32_t>(received_.size());
        status->out_queue = gone_ ? 0 : static_cast<uint32_t>(data_queued_ - data_sent_);
    }
    return {};
}

CommStatus Rfc2217SerialDevice::GetModemStatus(uint32_t& status) {
    std::lock_guard lock(mutex_);
    status = 0;
    if (gone_)
        return CommStatus::Failure("GetModemStatus", EIO);
    status = modem_state_ & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return {};
}

CommStatus Rfc2217SerialDevice::GetModemControl(uint32_t& control) {
    std::lock_guard lock(mutex_);
    control = 0;
    if (gone_)
        return CommStatus::Failure("GetModemControl", EIO);
    control = modem_control_;
    return {};
}

CommStatus Rfc2217SerialDevice::EscapeFunction(Escape function) {
    namespace ctl = cpc::control;
    auto control = [this](Setting setting, uint8_t value) {
        return Send({Request{setting, cpc::Command::kSetControl, {value}}});
    };
    switch (function) {
        case Escape::SetXoff:
        case Escape::SetXon: {
            std::lock_guard lock(mutex_);
            if (gone_)
                return CommStatus::Failure("EscapeFunction", EIO);
            xoff_local_ = function == Escape::SetXoff;
            Wake();
            return {};
        }
        case Escape::SetRts:
            return control(Setting::kRts, ctl::kRtsOn);
        case Escape::ClrRts:
            return control(Setting::kRts, ctl::kRtsOff);
        case Escape::SetDtr:
            return control(Setting::kDtr, ctl::kDtrOn);
        case Escape::ClrDtr:
            return control(Setting::kDtr, ctl::kDtrOff);
        case Escape::SetBreak:
            return control(Setting::kBreak, ctl::kBreakOn);
        case Escape::ClrBreak:
            return control(Setting::kBreak, ctl::kBreakOff);
        default:
            return CommStatus::Failure("EscapeFunction", EINVAL);
    }
}

CommStatus Rfc2217SerialDevice::GetStatistics(SerialStats& stats) {
    std::lock_guard lock(mutex_);
    // Differences in 32 bits wrap as a driver's own counters do.
    stats.ReceivedCount = counters_.rx - stats_baseline_.rx;
    stats.TransmittedCount = counters_.tx - stats_baseline_.tx;
    stats.FrameErrorCount = counters_.frame - stats_baseline_.frame;
    stats.SerialOverrunErrorCount = counters_.overrun - stats_baseline_.overrun;
    stats.BufferOverrunErrorCount = 0;
    stats.ParityErrorCount = counters_.parity - stats_baseline_.parity;
    return {};
}

CommStatus Rfc2217SerialDevice::ClearStatistics() {
    std::lock_guard lock(mutex_);
    stats_baseline_ = counters_;
    return {};
}

}  // namespace comm
