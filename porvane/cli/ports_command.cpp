#include "porvane/cli/ports_command.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/devicemap/device_map.h"
#include "platform/devicemap/listed_ports.h"
#include "platform/devicemap/port_identity.h"
#include "platform/devicemap/port_watcher.h"
#include "porvane/cli/output_watch.h"
#include "porvane/serial/port_list_fill.h"

namespace porvane::cli {
namespace {

// Collects the names and what discovery would show or ask for.
class PrintedList : public serial::PortListTarget, public serial::DiscoveryUi {
  public:
    explicit PrintedList(std::FILE* err) : err_(err) {}
    void AddString(const std::string& text) override { names.push_back(text); }
    int Count() const override { return static_cast<int>(names.size()); }
    void ShowMessage(const std::string& text) override { std::fprintf(err_, "%s\n", text.c_str()); }
    void RequestQuit(int code) override { exit_code = code; }

    std::vector<std::string> names;
    int exit_code = 0;

  private:
    std::FILE* err_;
};

// Width of the labels of the identity lines, so that the values line up.
constexpr int kLabelWidth = 10;

void AddLine(std::string& text, const char* label, const std::string& value) {
    if (value.empty())
        return;
    char head[32];
    std::snprintf(head, sizeof head, "  %-*s", kLabelWidth, label);
    text += head + value + "\n";
}

std::string Joined(const std::string& a, const std::string& b) {
    return a.empty() || b.empty() ? a + b : a + " " + b;
}

// A port with its identity when asked for, as one piece of text.
std::string PortText(const std::string& port, bool long_form) {
    return port + "\n" + (long_form ? FormatPortIdentity(port) : std::string());
}

// Writes text and flushes it: a follower's reader sees each line as it happens. False when
// the output is gone.
bool Emit(std::FILE* out, const std::string& text) {
    return std::fputs(text.c_str(), out) >= 0 && std::fflush(out) == 0;
}

devicemap::DeviceMap Listed(const devicemap::DeviceMap& map) {
    return {map.source, devicemap::ListedPorts(map)};
}

int FollowPorts(const PortsOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    std::string error;
    std::unique_ptr<devicemap::PortWatcher> watcher = devicemap::PortWatcher::Open(&error);
    if (!watcher) {
        std::fprintf(err, "porvane-cli: the ports cannot be followed: %s\n", error.c_str());
        return 1;
    }
    // The watcher listens already: whatever arrives after this list is reported.
    devicemap::DeviceMap shown = Listed(watcher->Current());
    for (const devicemap::DeviceMapEntry& entry : shown.entries) {
        if (!Emit(out, PortText(devicemap::ListedName(entry), options.long_form)))
            return 0;
    }
    const int out_fd = ::fileno(out);
    for (;;) {
        pollfd fds[3] = {
            {stop_fd, POLLIN, 0}, {watcher->fd(), POLLIN, 0}, OutputClosedPollFd(out_fd)};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(err, "porvane-cli: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if ((fds[0].revents & POLLIN) || OutputClosedIn(fds[2]))
            return 0;
        if (!(fds[1].revents & POLLIN))
            continue;
        watcher->TakeChanges();
        devicemap::DeviceMap listed = Listed(watcher->Current());
        for (const devicemap::PortChange& change : devicemap::MapDifferences(shown, listed)) {
            const bool arrived = change.kind == devicemap::PortChange::Kind::kArrived;
            // Named as the lists name it: a remote port by its map name, not its address.
            const std::string& name = devicemap::ListedName(change.entry);
            const std::string text = arrived ? "arrived " + PortText(name, options.long_form)
                                             : "departed " + name + "\n";
            if (!Emit(out, text))
                return 0;
        }
        shown = std::move(listed);
    }
}

}  // namespace

std::string FormatPortIdentity(const std::string& port) {
    const std::optional<devicemap::PortIdentity> id = devicemap::IdentifyPort(port);
    if (!id)
        return "  (no such device)\n";
    std::string text;
    AddLine(text, "device", id->device);
    AddLine(text, "path", id->path);
    for (const std::string& link : id->by_id)
        AddLine(text, "by-id", link);
    for (const std::string& link : id->by_path)
        AddLine(text, "by-path", link);
    AddLine(text, "vendor", Joined(id->vendor_id, id->vendor));
    AddLine(text, "product", Joined(id->product_id, id->product));
    AddLine(text, "serial", id->serial);
    AddLine(text, "driver", id->driver);
    AddLine(text, "in use by", id->holder);
    return text;
}

int RunPortsCommand(const PortsOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    if (const std::string problem = devicemap::DeviceMapFileProblem(); !problem.empty()) {
        std::fprintf(err, "porvane-cli: %s\n", problem.c_str());
        return 1;
    }
    if (options.follow)
        return FollowPorts(options, stop_fd, out, err);
    PrintedList list(err);
    serial::PortListFill(list, list);
    for (const std::string& name : list.names) {
        if (!Emit(out, PortText(name, options.long_form)))
            break;
    }
    return list.exit_code;
}

int RunPortsCommand(std::FILE* out, std::FILE* err) {
    if (const std::string problem = devicemap::DeviceMapFileProblem(); !problem.empty()) {
        std::fprintf(err, "porvane-cli: %s\n", problem.c_str());
        return 1;
    }
    PrintedList list(err);
    serial::PortListFill(list, list);
    for (const std::string& name : list.names) {
        std::fprintf(out, "%s\n", name.c_str());
    }
    return list.exit_code;
}

int RunMapCommand(std::FILE* out, std::FILE* err) {
    if (const std::string problem = devicemap::DeviceMapFileProblem(); !problem.empty()) {
        std::fprintf(err, "porvane-cli: %s\n", problem.c_str());
        return 1;
    }
    auto map = devicemap::ReadDeviceMap();
    if (!map) {
        std::fprintf(err, "porvane-cli: the serial device map cannot be read\n");
        return 1;
    }
    if (map->entries.empty())
        std::fprintf(err, "porvane-cli: the device map (%s) holds no port\n", map->source.c_str());
    std::fputs(devicemap::FormatDeviceMap(*map).c_str(), out);
    return 0;
}

}  // namespace porvane::cli
