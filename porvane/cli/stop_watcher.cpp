#include "porvane/cli/stop_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "porvane/cli/output_watch.h"

namespace porvane::cli {

StopWatcher::StopWatcher(int stop_fd, std::function<void()> on_stop, int output_fd) {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        wake_read_ = comm::UniqueFd(fds[0]);
        wake_write_ = comm::UniqueFd(fds[1]);
    }
    thread_ = std::thread([this, stop_fd, output_fd, on_stop = std::move(on_stop)] {
        pollfd p[3] = {
            {stop_fd, POLLIN, 0}, {wake_read_.get(), POLLIN, 0}, OutputClosedPollFd(output_fd)};
        while (::poll(p, 3, -1) < 0 && errno == EINTR) {
        }
        if ((p[0].revents != 0 || OutputClosedIn(p[2])) && p[1].revents == 0) {
            stopped_ = true;
            on_stop();
        }
    });
}

StopWatcher::~StopWatcher() {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_write_.get(), &byte, 1);
    thread_.join();
}

}  // namespace porvane::cli
