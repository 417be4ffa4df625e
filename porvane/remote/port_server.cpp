#include "porvane/remote/port_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/comm/comm_constants.h"
#include "platform/comm/event_fd.h"
#include "platform/comm/serial_device.h"
#include "porvane/remote/listen_address.h"
#include "porvane/remote/port_session.h"

namespace remote {
namespace {

// How often the port reader looks at the modem lines and line errors itself, for ports that do
// not report their changes as events.
constexpr int kStatusCheckMs = 500;
// A write to the port ends after this at the latest (the rest is written again), so that the
// writer sees the end of its session even on a line that flow control holds.
constexpr uint32_t kWriteSliceMs = 500;
// After the system refused a connection for want of descriptors or memory, the acceptor waits
// this long before it tries again, instead of spinning on the still pending connection.
constexpr int kAcceptBackoffMs = 200;

// Tells a client that came while another is served why it is closed at once.
void TurnAway(comm::UniqueFd socket, const std::string& port_name) {
    const std::string text = "串口被占用!! (" + port_name + ": in use by another client)\r\n";
    ::send(socket.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(socket.get(), SHUT_WR);
    // What the client sent already is taken in, so that the close ends the connection in order
    // rather than with a reset that could overtake the text.
    char sink[512];
    while (::recv(socket.get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

PortServer::PortServer(std::unique_ptr<comm::SerialDevice> device,
                       std::vector<comm::UniqueFd> listeners, Config config,
                       ServerObserver& observer)
    : device_(std::move(device)),
      listeners_(std::move(listeners)),
      config_(std::move(config)),
      observer_(observer),
      wake_(comm::MakeEventFd()),
      vanished_(comm::MakeEventFd()) {}

PortServer::~PortServer() {
    Stop();
}

bool PortServer::Start(std::string& error) {
    if (!wake_.valid() || !vanished_.valid()) {
        error = "eventfd: " + std::string(std::strerror(errno));
        return false;
    }
    if (const comm::CommStatus status = device_->GetState(initial_state_); !status) {
        error = status.Describe();
        return false;
    }
    comm::CommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = comm::kMaxDword;  // reads take what is there
    timeouts.WriteTotalTimeoutConstant = kWriteSliceMs;
    if (const comm::CommStatus status = device_->SetTimeouts(timeouts); !status) {
        error = status.Describe();
        return false;
    }
    if (const comm::CommStatus status = device_->SetEventMask(comm::EV_RXCHAR | comm::kModemEvents);
        !status) {
        error = status.Describe();
        return false;
    }
    port_reader_ = std::thread([this] { RunPortReader(); });
    acceptor_ = std::thread([this] { RunAcceptor(); });
    return true;
}

void PortServer::Stop() {
    stopping_ = true;
    comm::SignalEventFd(wake_.get());
    if (acceptor_.joinable())
        acceptor_.join();
    // The session is gone; the reader's wait on the port ends for good.
    device_->CancelIo();
    if (port_reader_.joinable())
        port_reader_.join();
}

std::shared_ptr<PortSession> PortServer::CurrentSession() {
    std::lock_guard lock(mutex_);
    // A session that is ending takes nothing more; until it is reaped the port is read as
    // between sessions.
    if (session_ && session_->stopping())
        return nullptr;
    return session_;
}

// --- the acceptor ----------------------------------------------------------------------------

void PortServer::RunAcceptor() {
    std::vector<pollfd> fds;
    for (const comm::UniqueFd& listener : listeners_)
        fds.push_back({listener.get(), POLLIN, 0});
    fds.push_back({wake_.get(), POLLIN, 0});
    bool backoff = false;
    while (!stopping_ && !port_vanished_) {
        // While backing off only the wake-up is watched.
        pollfd* watched = backoff ? &fds.back() : fds.data();
        const size_t count = backoff ? 1 : fds.size();
        for (pollfd& fd : fds)
            fd.revents = 0;
        if (::poll(watched, count, backoff ? kAcceptBackoffMs : -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        backoff = false;
        if (fds.back().revents & POLLIN)
            comm::DrainEventFd(wake_.get());
        if (stopping_ || port_vanished_)
            break;
        Reap(false, {});
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) && !Accept(fds[i].fd))
                backoff = true;
        }
    }
    Reap(true, port_vanished_ ? "the port vanished" : "server stopping");
}

bool PortServer::Accept(int listener) {
    comm::UniqueFd socket(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!socket.valid()) {
        // A client that left before it was taken is no failure.
        return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
    }
    const std::string peer = PeerAddressText(socket.get());
    // A session that has just ended frees the port for this client.
    Reap(false, {});
    std::shared_ptr<PortSession> session;
    std::string served;
    {
        std::lock_guard lock(mutex_);
        if (session_) {
            served = session_->peer();
        } else {
            session = std::make_shared<PortSession>(
                *device_, std::move(socket), peer, config_.signature, config_.closing_wait_ms,
                config_.stall_ms, [this] { comm::SignalEventFd(wake_.get()); });
            session_ = session;
        }
    }
    if (!session) {
        TurnAway(std::move(socket), config_.port_name);
        observer_.ClientTurnedAway(peer, served);
        return true;
    }
    observer_.ClientArrived(peer);
    if (!session->Start()) {
        Reap(true, {});
        return false;
    }
    return true;
}

void PortServer::Reap(bool force, const std::string& reason) {
    std::shared_ptr<PortSession> session;
    {
        std::lock_guard lock(mutex_);
        if (!session_ || (!force && !session_->ended()))
            return;
        session = std::move(session_);
    }
    session->RequestStop(reason);
    session->Join();
    ResetFlowControl();
    observer_.ClientLeft(session->peer(), session->end_reason());
}

void PortServer::ResetFlowControl() {
    comm::Dcb dcb;
    if (!device_->GetState(dcb))
        return;
    // Output stopped by an XOFF resumes when XON/XOFF output control is turned off, so it is
    // turned off first even where the server started with it on.
    if (dcb.fOutX) {
        dcb.fOutX = 0;
        device_->SetState(dcb);
    }
    dcb.fOutxCtsFlow = initial_state_.fOutxCtsFlow;
    dcb.fOutxDsrFlow = initial_state_.fOutxDsrFlow;
    dcb.fOutX = initial_state_.fOutX;
    dcb.fInX = initial_state_.fInX;
    dcb.XonChar = initial_state_.XonChar;
    dcb.XoffChar = initial_state_.XoffChar;
    // The modem lines keep the levels the client chose unless a handshake drove them.
    if (dcb.fRtsControl == comm::RTS_CONTROL_HANDSHAKE ||
        initial_state_.fRtsControl == comm::RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = initial_state_.fRtsControl;
    if (dcb.fDtrControl == comm::DTR_CONTROL_HANDSHAKE ||
        initial_state_.fDtrControl == comm::DTR_CONTROL_HANDSHAKE)
        dcb.fDtrControl = initial_state_.fDtrControl;
    device_->SetState(dcb);
    device_->EscapeFunction(comm::Escape::SetXon);
}

// --- the port reader -------------------------------------------------------------------------

void PortServer::RunPortReader() {
    while (!stopping_) {
        std::shared_ptr<PortSession> session = CurrentSession();
        bool gone = false;
        if (session && session->Room() == 0) {
            // The client is behind: the port is not read, so its own flow control holds the
            // line. Its modem lines are still followed.
            if (!session->WaitForRoom(kStatusCheckMs))
                gone = !CheckLines(session, true);
        } else {
            uint32_t events = 0;
            const comm::CommStatus waited = device_->WaitEventFor(events, kStatusCheckMs);
            if (!waited && waited.error() == ECANCELED)
                break;
            gone = !waited && waited.error() != ETIMEDOUT;
            session = CurrentSession();
            if (!gone && (events & comm::EV_RXCHAR))
                gone = !TakeReceived(session);
            if (!gone && session)
                gone = !CheckLines(session, (events & comm::kModemEvents) || !waited);
        }
        if (gone) {
            port_vanished_ = true;
            comm::SignalEventFd(vanished_.get());
            if (session)
                session->RequestStop("the port vanished");
            comm::SignalEventFd(wake_.get());
            break;
        }
    }
}

bool PortServer::CheckLines(const std::shared_ptr<PortSession>& session, bool modem) {
    if (modem) {
        uint32_t status = 0;
        const comm::CommStatus read = device_->GetModemStatus(status);
        if (read)
            session->ModemStatus(status);
        else if (read.DeviceGone())
            return false;
    }
    uint32_t errors = 0;
    if (session->WantsLineState() && device_->ClearError(&errors, nullptr) && errors != 0)
        session->LineErrors(errors);
    return true;
}

bool PortServer::TakeReceived(const std::shared_ptr<PortSession>& session) {
    uint8_t buffer[4096];
    const size_t room = session ? std::min(sizeof buffer, session->Room()) : sizeof buffer;
    if (room == 0)
        return true;
    size_t got = 0;
    const comm::CommStatus status = device_->Read(buffer, room, got);
    if (!status)
        return !status.DeviceGone();
    if (session && got > 0)
        session->FromPort(std::span<const uint8_t>(buffer, got));
    return true;
}

}  // namespace remote
