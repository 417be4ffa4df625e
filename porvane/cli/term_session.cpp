#include "porvane/cli/term_session.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/comm/comm_constants.h"
#include "platform/text/hex_text.h"
#include "porvane/cli/open_message.h"
#include "porvane/serial/page_notify.h"

namespace porvane::cli {
namespace {

// Keeps this much written but not yet gone before reading more input, so that a slow line does
// not make the queue grow without bound.
constexpr uint64_t kMaxOutstanding = 64 * 1024;

bool WriteAllTo(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool BuildTermSettings(const TermOptions& o, serial::LineSettings& s, std::string& error) {
    s = serial::PanelDefaultLineSettings();
    if (!serial::SetPortName(s, o.port)) {
        error = "port name too long: " + o.port;
        return false;
    }
    if (o.baud == 0) {
        error = "baud rate must be positive";
        return false;
    }
    s.dcb.BaudRate = o.baud;
    if (o.data_bits < 5 || o.data_bits > 8) {
        error = "data bits must be 5, 6, 7 or 8";
        return false;
    }
    s.dcb.ByteSize = static_cast<uint8_t>(o.data_bits);
    static const char* const kParities[] = {"no", "odd", "even", "mark", "space"};
    bool parity_found = false;
    for (uint8_t i = 0; i < 5; ++i) {
        if (o.parity == kParities[i]) {
            s.dcb.Parity = i;
            parity_found = true;
        }
    }
    if (!parity_found) {
        error = "parity must be no, odd, even, mark or space";
        return false;
    }
    if (o.stop == "1") {
        s.dcb.StopBits = comm::ONESTOPBIT;
    } else if (o.stop == "1.5") {
        s.dcb.StopBits = comm::ONE5STOPBITS;
    } else if (o.stop == "2") {
        s.dcb.StopBits = comm::TWOSTOPBITS;
    } else {
        error = "stop bits must be 1, 1.5 or 2";
        return false;
    }
    return true;
}

TermSession::TermSession(const TermOptions& options, int input_fd, int output_fd, int stop_fd)
    : options_(options),
      input_fd_(input_fd),
      output_fd_(output_fd),
      stop_fd_(stop_fd),
      channel_(opener_.opener()) {}

intptr_t TermSession::PageNotify(uint32_t code, void* data) {
    if (code == serial::PN_RECV_DATA) {
        auto* block = static_cast<serial::DataBlock*>(data);
        if (options_.hex) {
            std::string text = text::HexGroups({block->data, block->count});
            WriteAllTo(output_fd_, text.data(), text.size());
        } else {
            WriteAllTo(output_fd_, reinterpret_cast<const char*>(block->data), block->count);
        }
        std::lock_guard lock(mutex_);
        receive_count_ += block->count;
        changed_.notify_all();
    } else if (code == serial::PN_SEND_EMPTY) {
        std::lock_guard lock(mutex_);
        acknowledged_ += *static_cast<uint32_t*>(data);
        changed_.notify_all();
    }
    return 0;
}

void TermSession::ShowMessage(const std::string& text) {
    std::fprintf(stderr, "%s\n", WithOpenFailure(text, opener_).c_str());
}

void TermSession::ClosePort() {
    channel_.ClosePort();
    // The event thread has ended: the hex groups are complete and get their line end.
    std::lock_guard lock(mutex_);
    if (options_.hex && receive_count_ > 0) {
        WriteAllTo(output_fd_, "\n", 1);
    }
}

bool TermSession::StopRequested(int timeout_ms) {
    if (stop_fd_ < 0) {
        if (timeout_ms > 0)
            usleep(static_cast<useconds_t>(timeout_ms) * 1000);
        return false;
    }
    pollfd fd{stop_fd_, POLLIN, 0};
    return ::poll(&fd, 1, timeout_ms) > 0;
}

bool TermSession::WaitForTransmit(uint64_t target, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (acknowledged_ >= target)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (StopRequested(10))
            return true;
    }
}

void TermSession::WaitForQuietLine() {
    uint64_t seen = ~0ull;
    auto hard_end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        uint64_t now;
        {
            std::lock_guard lock(mutex_);
            now = receive_count_;
        }
        if (now == seen || std::chrono::steady_clock::now() >= hard_end)
            return;
        seen = now;
        if (StopRequested(options_.linger_ms))
            return;
    }
}

int TermSession::Run() {
    std::string error;
    if (!BuildTermSettings(options_, channel_.settings(), error)) {
        std::fprintf(stderr, "porvane-cli: %s\n", error.c_str());
        return 1;
    }
    if (channel_.OpenPort(this) != 1) {
        return 1;
    }
    uint64_t written = 0;
    // Time the line needs for the outstanding bytes, at ten bits a character, twice over.
    auto drain_ms = [this](uint64_t bytes) {
        return static_cast<int>(bytes * 10 * 2 * 1000 / options_.baud) + 2000;
    };
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{input_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (::poll(fds, stop_fd_ >= 0 ? 2 : 1, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            ClosePort();
            return 0;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP)))
            continue;
        ssize_t n = ::read(input_fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // end of input
        channel_.WritePort(reinterpret_cast<const uint8_t*>(buffer), static_cast<uint32_t>(n));
        written += static_cast<uint64_t>(n);
        if (written > kMaxOutstanding &&
            !WaitForTransmit(written - kMaxOutstanding, drain_ms(kMaxOutstanding))) {
            std::fprintf(stderr, "porvane-cli: the port stopped sending\n");
            ClosePort();
            return 1;
        }
    }
    if (!WaitForTransmit(written, drain_ms(kMaxOutstanding))) {
        std::fprintf(stderr, "porvane-cli: the port stopped sending\n");
        ClosePort();
        return 1;
    }
    WaitForQuietLine();
    ClosePort();
    return 0;
}

}  // namespace porvane::cli
