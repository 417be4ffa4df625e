#include "platform/devicemap/port_watcher.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <libudev.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

namespace devicemap {
namespace {

bool SameEntry(const DeviceMapEntry& a, const DeviceMapEntry& b) {
    return a.device == b.device && a.port == b.port;
}

bool Holds(const DeviceMap& map, const DeviceMapEntry& entry) {
    return std::any_of(map.entries.begin(), map.entries.end(),
                       [&](const DeviceMapEntry& e) { return SameEntry(e, entry); });
}

DeviceMap ReadOrEmpty(const std::string& source) {
    std::optional<DeviceMap> map = ReadDeviceMap();
    return map ? std::move(*map) : DeviceMap{source, {}};
}

}  // namespace

void PortWatcher::UdevUnref::operator()(udev* u) const {
    udev_unref(u);
}

void PortWatcher::MonitorUnref::operator()(udev_monitor* m) const {
    udev_monitor_unref(m);
}

std::vector<PortChange> MapDifferences(const DeviceMap& before, const DeviceMap& after) {
    std::vector<PortChange> changes;
    for (const DeviceMapEntry& entry : before.entries) {
        if (!Holds(after, entry))
            changes.push_back({PortChange::Kind::kDeparted, entry});
    }
    for (const DeviceMapEntry& entry : after.entries) {
        if (!Holds(before, entry))
            changes.push_back({PortChange::Kind::kArrived, entry});
    }
    return changes;
}

std::unique_ptr<PortWatcher> PortWatcher::Open(std::string* error) {
    std::unique_ptr<PortWatcher> watcher(new PortWatcher());
    auto fail = [&](const std::string& what) {
        if (error != nullptr)
            *error = what;
        return nullptr;
    };
    const char* file = std::getenv("PORVANE_DEVICE_MAP");
    if (file != nullptr && *file != '\0') {
        // Editors and scripts replace a file (write a new one, rename it over), so the folder
        // is watched: a watch on the file itself would stay on the old, unlinked one.
        std::filesystem::path folder = std::filesystem::path(file).parent_path();
        if (folder.empty())
            folder = ".";
        watcher->inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!watcher->inotify_.valid())
            return fail(std::string("inotify: ") + std::strerror(errno));
        if (inotify_add_watch(watcher->inotify_.get(), folder.c_str(),
                              IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                  IN_ATTRIB) < 0) {
            return fail("cannot watch " + folder.string() + ": " + std::strerror(errno));
        }
        watcher->current_ = ReadOrEmpty(file);
        return watcher;
    }
    watcher->udev_.reset(udev_new());
    watcher->poll_set_.Reset(epoll_create1(EPOLL_CLOEXEC));
    if (!watcher->udev_ || !watcher->poll_set_.valid())
        return fail(std::string("udev: ") + std::strerror(errno));
    // udev's own events come after its rules ran: the node and the by-id links exist by then.
    // Where no udev daemon runs (a container, a minimal system) only the kernel's events come.
    std::vector<const char*> sources = {"udev"};
    if (::access("/run/udev/control", F_OK) != 0)
        sources.push_back("kernel");
    for (const char* source : sources) {
        std::unique_ptr<udev_monitor, MonitorUnref> monitor(
            udev_monitor_new_from_netlink(watcher->udev_.get(), source));
        if (!monitor ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor.get()) < 0) {
            return fail(std::string("cannot follow the tty events: ") + std::strerror(errno));
        }
        const int fd = udev_monitor_get_fd(monitor.get());
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event event{};
        event.events = EPOLLIN;
        if (epoll_ctl(watcher->poll_set_.get(), EPOLL_CTL_ADD, fd, &event) != 0)
            return fail(std::string("epoll: ") + std::strerror(errno));
        watcher->monitors_.push_back(std::move(monitor));
    }
    // Read after the monitor is listening, so that a port arriving in between is not missed.
    watcher->follows_devices_ = true;
    watcher->current_ = watcher->ReadNow("/sys/class/tty");
    return watcher;
}

PortWatcher::~PortWatcher() = default;

int PortWatcher::fd() const {
    return poll_set_.valid() ? poll_set_.get() : inotify_.get();
}

std::set<std::string> PortWatcher::Drain() {
    std::set<std::string> removed;
    for (const auto& monitor : monitors_) {
        while (udev_device* device = udev_monitor_receive_device(monitor.get())) {
            const char* action = udev_device_get_action(device);
            const char* name = udev_device_get_sysname(device);
            if (action != nullptr && name != nullptr) {
                if (std::strcmp(action, "remove") == 0)
                    removed.insert(name);
                else
                    removed.erase(name);
            }
            udev_device_unref(device);
        }
    }
    if (!inotify_.valid())
        return removed;
    alignas(inotify_event) char events[4096];
    while (::read(inotify_.get(), events, sizeof events) > 0) {
    }
    return removed;
}

DeviceMap PortWatcher::ReadNow(const std::string& source) const {
    DeviceMap map = ReadOrEmpty(source);
    // A device is there with its node: one announced before its node is made (a device that
    // left again at once, or a mocked bus that announces as it builds) would otherwise be
    // known without its links and serial number, and so not recognised when it returns.
    if (follows_devices_) {
        std::erase_if(map.entries, [](const DeviceMapEntry& e) {
            struct stat st;
            return ::stat(("/dev/" + e.device).c_str(), &st) != 0;
        });
    }
    return map;
}

std::vector<PortChange> PortWatcher::TakeChanges() {
    // The map is read again and compared, which also covers events that were merged or lost
    // when the queue overflowed. A device whose last event was its removal is gone even if its
    // sysfs folder has not been taken down yet.
    const std::set<std::string> removed = Drain();
    DeviceMap next = ReadNow(current_.source);
    std::erase_if(next.entries,
                  [&](const DeviceMapEntry& e) { return removed.count(e.device) != 0; });

    std::vector<PortChange> changes = MapDifferences(current_, next);
    current_ = std::move(next);
    return changes;
}

}  // namespace devicemap
