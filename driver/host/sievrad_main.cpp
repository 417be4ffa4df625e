// sievrad: the filter driver's host. Adds a port for each port of the device map, the ports of the
// workbench's lists first in their order, then each port as it appears, and serves each port's
// control device as the socket Sievr<n> in $SIEVRA_RUNTIME_DIR (default /run/sievra).
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/host/sievra_host.h"
#include "platform/cli/command_line.h"
#include "platform/devicemap/device_map.h"
#include "platform/devicemap/listed_ports.h"
#include "platform/devicemap/port_watcher.h"

namespace {

const char* EventText(sievra::SievraHost::PortEvent::Kind kind) {
    using Event = sievra::SievraHost::PortEvent;
    switch (kind) {
        case Event::kAdded:
            return "added";
        case Event::kReturned:
            return "back";
        case Event::kDeparted:
            return "gone";
        default:
            return nullptr;  // nothing changed
    }
}

// Takes the watcher's news to the host: departures, then arrivals in the host's port order
// (the workbench's list order first), each said on a line "sievrad: port N added: NAME".
void FollowChanges(devicemap::PortWatcher& watcher, sievra::SievraHost& host,
                   std::vector<std::string>& present) {
    const auto say = [](const sievra::SievraHost::PortEvent& event, const std::string& name) {
        if (event.kind == sievra::SievraHost::PortEvent::kFailed) {
            std::fprintf(stderr, "sievrad: port %s cannot be added: %s\n", name.c_str(),
                         event.error.c_str());
        } else if (const char* text = EventText(event.kind)) {
            std::printf("sievrad: port %u %s: %s\n", event.number, text, name.c_str());
        }
        std::fflush(stdout);
    };
    std::set<std::string> arrived;
    for (const devicemap::PortChange& change : watcher.TakeChanges()) {
        if (change.kind == devicemap::PortChange::Kind::kArrived) {
            arrived.insert(change.entry.port);
            continue;
        }
        say(host.PortDeparted(change.entry.port), change.entry.port);
        std::erase(present, change.entry.port);
    }
    for (const devicemap::DeviceMapEntry& entry : devicemap::HostPortOrder(watcher.Current())) {
        if (arrived.erase(entry.port) == 0)
            continue;
        say(host.PortArrived(entry.port), entry.port);
        if (std::find(present.begin(), present.end(), entry.port) == present.end())
            present.push_back(entry.port);
    }
}

}  // namespace

int main(int argc, char** argv) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    CLI::App app{"The serial filter driver's host"};
    app.footer(
        "Environment: PORVANE_DEVICE_MAP (a device=port file replacing the machine's serial "
        "ports),\n"
        "SIEVRA_RUNTIME_DIR (the folder of the control sockets, default /run/sievra).\n"
        "Exit status: 0 stopped by SIGINT or SIGTERM, 1 the runtime folder could not be used, 2\n"
        "usage error.");
    sievra::SievraHost::Options options;
    const char* env_dir = std::getenv("SIEVRA_RUNTIME_DIR");
    options.runtime_dir = env_dir != nullptr && *env_dir != '\0' ? env_dir : "/run/sievra";
    app.add_option("--runtime-dir", options.runtime_dir, "Folder of the control sockets");
    app.add_option("--group", options.group, "Group allowed to use the control sockets");
    bool on_demand = false;
    app.add_flag("--ports-on-demand", on_demand,
                 "The map starts empty and is given ports as they are needed (no warning)");
    app.add_flag("--name-openers", options.name_openers,
                 "Record which process made each open of a port before the open");
    app.add_flag("--time-records", options.time_records,
                 "Record the time each request reached the host before its record");
    app.add_option("--only-client", options.only_client, "Take connections from this process only");
    bool end_with_parent = false;
    app.add_flag("--end-with-parent", end_with_parent,
                 "Stop (as on SIGTERM) when the process that started the host ends");
    cli_support::ManualSections manual;
    manual.examples = {
        {"--runtime-dir /run/sievra --group dialout",
         "Serves every port, as the installed unit starts it, to root and the dialout group."},
        {"--runtime-dir /tmp/sievra",
         "A private host, for programs started with\n"
         "SIEVRA_RUNTIME_DIR=/tmp/sievra."},
    };
    manual.environment = {
        {"PORVANE_DEVICE_MAP",
         "A file of device=port lines: the ports to serve, numbered in its\n"
         "order, instead of those under /sys/class/tty."},
        {"SIEVRA_RUNTIME_DIR",
         "The folder of the control sockets when --runtime-dir is not given\n"
         "(default /run/sievra)."},
    };
    manual.see_also = {"ld.so(8)", "systemctl(1)"};
    const pid_t parent = ::getppid();
    if (const auto done = cli_support::ParseCommandLine(app, "sievrad", argc, argv, manual))
        return *done;
    // A private host (a watch's) goes with its watch, however that ends: SIGTERM, which is read
    // below like any other stop. A parent that is gone already is told the same way.
    if (end_with_parent && (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)) {
        ::kill(::getpid(), SIGTERM);
    }

    // Opened before the map is read, so that no port that comes or goes meanwhile is missed.
    std::string watch_error;
    std::unique_ptr<devicemap::PortWatcher> watcher = devicemap::PortWatcher::Open(&watch_error);
    if (!watcher)
        std::fprintf(stderr, "sievrad: warning: ports that come and go are not followed: %s\n",
                     watch_error.c_str());
    // Standard error says why a program's port may not be watched: a map file that is missing
    // or empty, or a terminal device opened that is none of the ports.
    if (const std::string problem = devicemap::DeviceMapFileProblem(); !problem.empty())
        std::fprintf(stderr, "sievrad: warning: %s: no port is watched\n", problem.c_str());
    auto map = devicemap::ReadDeviceMap();
    if (map) {
        for (const auto& entry : devicemap::HostPortOrder(*map))
            options.ports.push_back(entry.port);
        if (map->entries.empty() && !on_demand)
            std::fprintf(stderr,
                         "sievrad: warning: the device map (%s) holds no port: no port is "
                         "watched\n",
                         map->source.c_str());
    }
    // The ports there now, for the message on an unlisted open (Serve's thread keeps it).
    std::vector<std::string> present = options.ports;
    const auto watched_text = [&present] {
        std::string text;
        for (const std::string& port : present)
            text += (text.empty() ? "" : ", ") + port;
        return text;
    };
    const std::string watched = watched_text();
    options.unlisted_open = [&watched_text](pid_t pid, const std::string& command,
                                            const std::string& device) {
        const std::string watched = watched_text();
        std::fprintf(stderr,
                     "sievrad: process %d (%s) opened %s, which is not a port of the device map "
                     "(watched: %s)\n",
                     static_cast<int>(pid), command.c_str(), device.c_str(),
                     watched.empty() ? "none" : watched.c_str());
        std::fflush(stderr);
    };
    options.unfollowed = [](pid_t pid, const std::string& command, uid_t user) {
        const passwd* entry = ::getpwuid(user);
        std::fprintf(stderr,
                     "sievrad: process %d (%s) runs its next program as user %s (%u), who cannot "
                     "read the attachment: that program's calls are not watched\n",
                     static_cast<int>(pid), command.c_str(),
                     entry != nullptr ? entry->pw_name : "?", static_cast<unsigned>(user));
        std::fflush(stderr);
    };
    if (watcher) {
        options.changes_fd = watcher->fd();
        options.on_changes = [&watcher, &present](sievra::SievraHost& host) {
            FollowChanges(*watcher, host, present);
        };
    }
    sievra::SievraHost host(options);
    if (const comm::CommStatus status = host.Start(); !status) {
        std::fprintf(stderr, "sievrad: %s: %s\n", options.runtime_dir.c_str(),
                     status.Describe().c_str());
        return 1;
    }
    // The line that says the sockets are ready names the ports watched.
    std::printf("sievrad: %zu ports in %s%s%s%s\n", options.ports.size(),
                options.runtime_dir.c_str(), watched.empty() ? "" : " (", watched.c_str(),
                watched.empty() ? "" : ")");
    std::fflush(stdout);
    const int sigfd = signalfd(-1, &stop, SFD_CLOEXEC);
    std::thread waiter([&] {
        signalfd_siginfo info;
        [[maybe_unused]] ssize_t n = ::read(sigfd, &info, sizeof info);
        host.Stop();
    });
    host.Serve();
    ::kill(::getpid(), SIGTERM);  // lets the waiter end if Serve ended on its own
    waiter.join();
    return 0;
}
