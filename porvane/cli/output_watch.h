#pragma once

#include <poll.h>

namespace porvane::cli {

// A command's standard output is closed when its reader went away (the pipe's read end closed:
// `| head` ended, POLLERR) or its terminal hung up (POLLHUP). Waiting on this entry in a poll
// set notices it while idle, without a write that fails with EPIPE (SIGPIPE is ignored).
inline pollfd OutputClosedPollFd(int fd) {
    return {fd, 0, 0};
}

inline bool OutputClosedIn(const pollfd& p) {
    return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Whether fd's reader has gone, now (a regular file or /dev/null never is).
inline bool OutputClosed(int fd) {
    pollfd p = OutputClosedPollFd(fd);
    return ::poll(&p, 1, 0) > 0 && OutputClosedIn(p);
}

}  // namespace porvane::cli
