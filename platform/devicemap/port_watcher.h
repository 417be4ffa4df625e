#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/comm/unique_fd.h"
#include "platform/devicemap/device_map.h"

struct udev;
struct udev_monitor;

namespace devicemap {

struct PortChange {
    enum class Kind { kArrived, kDeparted } kind;
    DeviceMapEntry entry;
};

// Follows the map ReadDeviceMap reads: udev tty add/remove events, or changes of the
// PORVANE_DEVICE_MAP file (inotify on its folder, since editors replace files).
// Used from one thread at a time.
class PortWatcher {
  public:
    // Starts watching and reads the map once; null with *error saying why on failure.
    static std::unique_ptr<PortWatcher> Open(std::string* error);
    ~PortWatcher();
    PortWatcher(const PortWatcher&) = delete;
    PortWatcher& operator=(const PortWatcher&) = delete;

    // Becomes readable when TakeChanges may have news; owned by the watcher.
    int fd() const;
    // Drains fd, re-reads the map and reports the differences from the map as last read:
    // departures first, then arrivals, each in map order. Never blocks.
    std::vector<PortChange> TakeChanges();
    // The map as last read (empty entries when it could not be read).
    const DeviceMap& Current() const { return current_; }

  private:
    DeviceMap ReadNow(const std::string& source) const;

    PortWatcher() = default;
    // Reads every pending event; the names of the devices whose last event was a removal.
    std::set<std::string> Drain();

    struct UdevUnref {
        void operator()(udev* u) const;
    };
    struct MonitorUnref {
        void operator()(udev_monitor* m) const;
    };

    comm::UniqueFd inotify_;  // the map file's folder, when PORVANE_DEVICE_MAP is set
    std::unique_ptr<udev, UdevUnref> udev_;  // udev's tty events, otherwise:
    std::vector<std::unique_ptr<udev_monitor, MonitorUnref>> monitors_;  // udev's, the kernel's
    comm::UniqueFd poll_set_;  // an epoll set readable when a monitor is
    DeviceMap current_;
    bool follows_devices_ = false;  // the machine's own ports, not a map file
};

// The differences between two maps: entries only in before have departed, those only in after
// have arrived (an entry is its device and port name together).
std::vector<PortChange> MapDifferences(const DeviceMap& before, const DeviceMap& after);

}  // namespace devicemap
