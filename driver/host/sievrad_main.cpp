// sievrad: the filter driver's host. Adds a port for each port of the device map, the ports of the
// workbench's lists first in their order, and serves each port's control device as the socket
// Sievr<n> in $SIEVRA_RUNTIME_DIR (default /run/sievra).
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "driver/host/sievra_host.h"
#include "platform/cli/command_line.h"
#include "platform/devicemap/device_map.h"
#include "platform/devicemap/listed_ports.h"

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
    if (const auto done = cli_support::ParseCommandLine(app, "sievrad", argc, argv))
        return *done;

    // Standard error says why a program's port may not be watched: a map file that is missing
    // or empty, or a terminal device opened that is none of the ports.
    if (const std::string problem = devicemap::DeviceMapFileProblem(); !problem.empty())
        std::fprintf(stderr, "sievrad: warning: %s: no port is watched\n", problem.c_str());
    auto map = devicemap::ReadDeviceMap();
    if (map) {
        for (const auto& entry : devicemap::HostPortOrder(*map))
            options.ports.push_back(entry.port);
        if (map->entries.empty())
            std::fprintf(stderr,
                         "sievrad: warning: the device map (%s) holds no port: no port is "
                         "watched\n",
                         map->source.c_str());
    }
    std::string watched;
    for (const std::string& port : options.ports)
        watched += (watched.empty() ? "" : ", ") + port;
    options.unlisted_open = [watched](pid_t pid, const std::string& command,
                                      const std::string& device) {
        std::fprintf(stderr,
                     "sievrad: process %d (%s) opened %s, which is not a port of the device map "
                     "(watched: %s)\n",
                     static_cast<int>(pid), command.c_str(), device.c_str(),
                     watched.empty() ? "none" : watched.c_str());
        std::fflush(stderr);
    };
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
