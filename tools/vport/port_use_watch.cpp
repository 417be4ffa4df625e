#include "tools/vport/port_use_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tools {

PortUseWatch::PortUseWatch(const std::string& device_path)
    : inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (inotify_.valid() &&
        inotify_add_watch(inotify_.get(), device_path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        inotify_.Reset();
    }
}

void PortUseWatch::Refresh() {
    if (!inotify_.valid())
        return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            if (event.mask & IN_OPEN) {
                ++opens_;
            } else if ((event.mask & IN_CLOSE) && opens_ > 0 && --opens_ == 0) {
                ++sessions_ended_;
            }
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
}

}  // namespace tools
