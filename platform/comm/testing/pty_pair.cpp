#include "platform/comm/testing/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace comm::testing {

PtyPair::PtyPair() {
    master_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_.valid() || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
        throw std::runtime_error("cannot create a pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master_.get(), name, sizeof name) != 0) {
        throw std::runtime_error("ptsname failed");
    }
    slave_path_ = name;
    slave_keep_.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t;
    tcgetattr(slave_keep_.get(), &t);
    cfmakeraw(&t);
    tcsetattr(slave_keep_.get(), TCSANOW, &t);
}

void PtyPair::WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            throw std::runtime_error("write to pty master failed");
        }
        done += static_cast<size_t>(n);
    }
}

std::string PtyPair::ReadExactly(size_t n, int timeout_ms) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            break;
        }
        pollfd fd{master_.get(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        ssize_t got = ::read(master_.get(), buffer, std::min(sizeof buffer, n - out.size()));
        if (got <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

bool PtyPair::WaitSlaveQueued(size_t n, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int queued = 0;
        if (::ioctl(slave_keep_.get(), FIONREAD, &queued) == 0 && static_cast<size_t>(queued) >= n)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace comm::testing
