#include "tools/vport/virtual_port.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <utility>

namespace tools {

PublishedPty::PublishedPty(const std::string& link_path)
    : claim_(link_path), link_path_(link_path) {
    master_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!master_.valid() || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") +
                                 std::strerror(errno));
    }
    char name[PATH_MAX];
    if (ptsname_r(master_.get(), name, sizeof name) != 0) {
        throw std::runtime_error("cannot name the pseudo-terminal");
    }
    slave_path_ = name;
    slave_keep_.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!slave_keep_.valid()) {
        throw std::runtime_error(std::string("cannot open ") + name + ": " + std::strerror(errno));
    }
    termios t;
    if (tcgetattr(slave_keep_.get(), &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_keep_.get(), TCSANOW, &t);
    }
    use_ = PortUseWatch(slave_path_);  // before the link: every program's open is seen
    struct stat st;
    if (lstat(link_path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            throw std::runtime_error(link_path + " exists and is not a symbolic link");
        }
        ::unlink(link_path.c_str());
    }
    if (::symlink(name, link_path.c_str()) != 0) {
        throw std::runtime_error("cannot create " + link_path + ": " + std::strerror(errno));
    }
}

PublishedPty::~PublishedPty() {
    char target[PATH_MAX];
    ssize_t n = ::readlink(link_path_.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (slave_path_ == target) {
            ::unlink(link_path_.c_str());
        }
    }
}

void PublishedPty::DiscardQueued(bool own_output) {
    tcflush(slave_keep_.get(), TCIFLUSH);
    if (own_output) {
        // What the program wrote waits on the master's input side, which a flush of the
        // terminal's output does not fully reach.
        tcflush(master_.get(), TCIFLUSH);
    }
    // In packet mode this flush marks the master like a program's would; take that status away
    // so that it is not taken for a program's flush.
    pollfd fd{master_.get(), POLLPRI, 0};
    uint8_t status = 0;
    if (::poll(&fd, 1, 0) == 1 && (fd.revents & POLLPRI)) {
        (void)!::read(master_.get(), &status, 1);
    }
}

void FaultRequests::TakeSignals() {
    if (signal_fd < 0)
        return;
    signalfd_siginfo info;
    while (::read(signal_fd, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGUSR1) {
            ++drops;
        } else if (info.ssi_signo == SIGUSR2) {
            ++corruptions;
        }
    }
}

size_t FaultRequests::Apply(uint8_t* bytes, size_t length) {
    TakeSignals();
    size_t out = 0;
    for (size_t i = 0; i < length; ++i) {
        if (drops > 0) {
            --drops;
            continue;
        }
        uint8_t b = bytes[i];
        if (corruptions > 0) {
            --corruptions;
            b ^= 0x01;
        }
        bytes[out++] = b;
    }
    return out;
}

void Forwarder::Flush() {
    while (head_ < pending_.size()) {
        ssize_t n = ::write(to_, pending_.data() + head_, pending_.size() - head_);
        if (n > 0) {
            head_ += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // full (EAGAIN) or gone; try again when it polls writable
        }
    }
    pending_.clear();
    head_ = 0;
}

void Forwarder::DropPending() {
    pending_.clear();
    head_ = 0;
}

bool Forwarder::RefreshDestination() {
    if (destination_ == nullptr)
        return false;
    PortUseWatch& use = destination_->use();
    use.Refresh();
    const bool ended = use.sessions_ended() != sessions_seen_;
    sessions_seen_ = use.sessions_ended();
    return ended;
}

bool Forwarder::DestinationInUse() const {
    return destination_ == nullptr || destination_->use().in_use();
}

bool Forwarder::DestinationFlushedInput() {
    // In packet mode a flush of the far terminal's input marks its master with a status that a
    // read returns on its own, ahead of any data (POLLPRI while it waits).
    pollfd fd{to_, POLLPRI, 0};
    if (::poll(&fd, 1, 0) != 1 || !(fd.revents & POLLPRI))
        return false;
    uint8_t status = 0;
    // What was written to it before the flush went with it; held bytes were read before the
    // flush was seen, so they are dropped.
    return ::read(to_, &status, 1) == 1 && (status & TIOCPKT_FLUSHREAD);
}

void Forwarder::TakeSourceStatus() {
    pollfd fd{from_, POLLPRI, 0};
    if (::poll(&fd, 1, 0) != 1 || !(fd.revents & POLLPRI))
        return;
    // A status is read on its own, ahead of data; a one-byte read can never take data with it.
    uint8_t status = 0;
    if (::read(from_, &status, 1) == 1 && status != TIOCPKT_DATA)
        source_flushed_input_ = source_flushed_input_ || (status & TIOCPKT_FLUSHREAD) != 0;
}

bool Forwarder::Pump(FaultRequests& faults) {
    // Held bytes were read before the last look, so they belong to the session that was on
    // then; a program that empties its input (as every one does when it opens) wants none.
    if (RefreshDestination() || !DestinationInUse() ||
        (HasPending() && DestinationFlushedInput())) {
        DropPending();
    }
    if (HasPending()) {
        Flush();
        if (HasPending()) {
            return true;
        }
    }
    uint8_t buffer[65536];
    ssize_t n = ::read(from_, buffer, sizeof buffer);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    if (n == 0) {
        return false;
    }
    if (buffer[0] != TIOCPKT_DATA) {
        // A status: the source's program emptied its input, so what is held for it is stale.
        source_flushed_input_ = source_flushed_input_ || (buffer[0] & TIOCPKT_FLUSHREAD) != 0;
        return true;
    }
    size_t length = faults.Apply(buffer + 1, static_cast<size_t>(n - 1));
    // Looked at after the read: a program opens the port before it writes, so when this read
    // returned a new program's bytes, its open is seen here and they are delivered. Bytes for a
    // port that nobody holds fall on the floor.
    RefreshDestination();
    if (!DestinationInUse()) {
        return true;
    }
    pending_.assign(buffer + 1, buffer + 1 + length);
    head_ = 0;
    Flush();
    return true;
}

bool Forwarder::TakeSourceFlushedInput() {
    return std::exchange(source_flushed_input_, false);
}

namespace {

sigset_t SignalSet(std::initializer_list<int> numbers) {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : numbers)
        sigaddset(&signals, s);
    return signals;
}

sigset_t StopSignals() {
    return SignalSet({SIGINT, SIGTERM});
}

sigset_t FaultSignals() {
    return SignalSet({SIGUSR1, SIGUSR2});
}

// Held bytes were read before a program emptied its input, so it must not receive them. What
// was already written to its terminal went with its own flush.
void DropHeldBytesForFlushedPrograms(std::vector<Forwarder>& forwarders) {
    for (Forwarder& flushed : forwarders) {
        if (!flushed.TakeSourceFlushedInput())
            continue;
        for (Forwarder& into : forwarders) {
            if (into.to() == flushed.from())
                into.DropPending();
        }
    }
}

}  // namespace

void BlockVportSignals() {
    // A virtual port outlives the terminal it was started from (vport ... &, then logging out).
    signal(SIGHUP, SIG_IGN);
    const sigset_t stop = StopSignals();
    const sigset_t faults = FaultSignals();
    sigset_t signals;
    sigorset(&signals, &stop, &faults);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
}

int RunVirtualPorts(std::vector<Forwarder> forwarders, const std::vector<PublishedPty*>& ports) {
    BlockVportSignals();
    const sigset_t stop_signals = StopSignals();
    const sigset_t fault_signals = FaultSignals();
    comm::UniqueFd stop_fd(signalfd(-1, &stop_signals, SFD_CLOEXEC));
    comm::UniqueFd fault_fd(signalfd(-1, &fault_signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!stop_fd.valid() || !fault_fd.valid()) {
        return 2;
    }
    // Packet mode: reads of a master report a flush of its terminal's input as a status, so
    // that bytes held for a program that emptied its input are dropped, not delivered late.
    for (const Forwarder& forwarder : forwarders) {
        int on = 1;
        ioctl(forwarder.from(), TIOCPKT, &on);
    }
    FaultRequests faults;
    faults.signal_fd = fault_fd.get();
    // Forwarders first, then the two signalfds, then one watch per port.
    const size_t stop_slot = forwarders.size();
    const size_t fault_slot = stop_slot + 1;
    const size_t first_watch = fault_slot + 1;
    std::vector<pollfd> fds(first_watch + ports.size());
    std::vector<uint64_t> sessions_seen(ports.size(), 0);  // per port, at the last look
    for (;;) {
        for (size_t i = 0; i < forwarders.size(); ++i) {
            // A forwarder that holds bytes waits for its destination; otherwise for its source.
            if (forwarders[i].HasPending()) {
                fds[i] = {forwarders[i].to(), POLLOUT | POLLPRI, 0};
            } else {
                fds[i] = {forwarders[i].from(), POLLIN, 0};
            }
        }
        fds[stop_slot] = {stop_fd.get(), POLLIN, 0};
        fds[fault_slot] = {fault_fd.get(), POLLIN, 0};
        for (size_t p = 0; p < ports.size(); ++p) {
            fds[first_watch + p] = {ports[p]->use().fd(), POLLIN, 0};
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            return 2;
        }
        if (fds[stop_slot].revents & POLLIN) {
            return 0;
        }
        // Taken here too, not only as bytes are applied (FaultRequests::Apply): a request left
        // unread keeps the signalfd readable, and the wait would return at once forever.
        if (fds[fault_slot].revents & POLLIN) {
            faults.TakeSignals();
        }
        for (size_t p = 0; p < ports.size(); ++p) {
            PortUseWatch& use = ports[p]->use();
            use.Refresh();
            if (use.sessions_ended() == sessions_seen[p])
                continue;
            sessions_seen[p] = use.sessions_ended();
            bool loop = false;
            for (Forwarder& forwarder : forwarders) {
                if (forwarder.destination() == ports[p]) {
                    forwarder.DropPending();
                    loop = loop || forwarder.from() == forwarder.to();
                }
            }
            // The terminal's queues: a program that opened meanwhile has emptied them itself
            // when it opened (and may already have written).
            if (!use.in_use()) {
                ports[p]->DiscardQueued(loop);
            }
        }
        // Statuses before bytes: a program that emptied its input before the bytes for it were
        // written must receive them, so its flush is taken in before they are forwarded.
        for (Forwarder& forwarder : forwarders)
            forwarder.TakeSourceStatus();
        DropHeldBytesForFlushedPrograms(forwarders);
        for (size_t i = 0; i < forwarders.size(); ++i) {
            if (fds[i].revents & (POLLIN | POLLPRI | POLLOUT)) {
                forwarders[i].Pump(faults);
            }
        }
        DropHeldBytesForFlushedPrograms(forwarders);
    }
}

}  // namespace tools
