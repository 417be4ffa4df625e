#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/comm/unique_fd.h"

namespace comm {

// A non-blocking eventfd that wakes a poll from another thread; invalid when none could be made
// (errno says why).
inline UniqueFd MakeEventFd() {
    return UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
}

// Makes the eventfd readable until drained; a signal that finds it readable already adds nothing.
inline void SignalEventFd(int event_fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(event_fd, &one, sizeof one);
}

inline void DrainEventFd(int event_fd) {
    uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(event_fd, &value, sizeof value);
}

}  // namespace comm
