// vport: virtual serial ports for tests and demonstrations.
//   vport loop PATH          a loop-back plug: everything written to PATH comes back
//   vport pair PATH_A PATH_B a null-modem cable between two ports
// Runs until SIGINT or SIGTERM (not on a hang-up of its terminal) and removes its links. SIGUSR1
// drops the next byte that passes, SIGUSR2 flips the lowest bit of the next one.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <memory>

#include "platform/cli/command_line.h"
#include "tools/vport/virtual_port.h"

int main(int argc, char** argv) {
    tools::BlockVportSignals();
    CLI::App app{"Virtual serial ports on pseudo-terminals"};
    app.footer(
        "Each PATH becomes a symbolic link to a pseudo-terminal that programs open as a serial\n"
        "port. vport runs until SIGINT (Ctrl-C) or SIGTERM and then removes its links; it keeps\n"
        "running when its terminal closes (SIGHUP is ignored), so \"vport loop /tmp/loop &\"\n"
        "outlives the shell. SIGUSR1 drops the next byte that passes, SIGUSR2 flips its lowest\n"
        "bit. Bytes for a port that no program holds open are dropped, as a closed port drops\n"
        "them. A PATH that another running vport serves is refused.\n"
        "Exit status: 0 stopped by SIGINT or SIGTERM, 1 a port could not be made, 2 usage error.");
    app.require_subcommand(1);
    std::string loop_path, path_a, path_b;
    CLI::App* loop = app.add_subcommand("loop", "A loop-back plug: bytes written come back");
    loop->add_option("PATH", loop_path, "Symbolic link to create for the port")->required();
    CLI::App* pair = app.add_subcommand("pair", "Two ports joined by a null-modem cable");
    pair->add_option("PATH_A", path_a, "Link for the first port")->required();
    pair->add_option("PATH_B", path_b, "Link for the second port")->required();
    cli_support::ManualSections manual;
    manual.examples = {
        {"loop /tmp/loop &", "A loop-back plug at /tmp/loop, for porvane-cli test /tmp/loop."},
        {"pair /tmp/a /tmp/b",
         "Two ports joined by a null-modem cable: what one sends, the other\n"
         "receives."},
    };
    manual.see_also = {"socat(1)", "pty(7)"};
    if (const auto done = cli_support::ParseCommandLine(app, "vport", argc, argv, manual))
        return *done;

    if (pair->parsed() && tools::AbsoluteLinkPath(path_a) == tools::AbsoluteLinkPath(path_b)) {
        std::fprintf(stderr, "vport: pair needs two different paths (both are %s)\n",
                     tools::AbsoluteLinkPath(path_a).c_str());
        return 2;
    }
    try {
        std::vector<std::unique_ptr<tools::PublishedPty>> ports;
        std::vector<tools::Forwarder> forwarders;
        if (loop->parsed()) {
            ports.push_back(std::make_unique<tools::PublishedPty>(loop_path));
            forwarders.emplace_back(ports[0]->master(), ports[0]->master(), ports[0].get());
        } else {
            ports.push_back(std::make_unique<tools::PublishedPty>(path_a));
            ports.push_back(std::make_unique<tools::PublishedPty>(path_b));
            forwarders.emplace_back(ports[0]->master(), ports[1]->master(), ports[1].get());
            forwarders.emplace_back(ports[1]->master(), ports[0]->master(), ports[0].get());
        }
        for (const auto& port : ports) {
            std::printf("%s -> %s\n", port->link_path().c_str(), port->slave_path().c_str());
        }
        std::fflush(stdout);
        std::vector<tools::PublishedPty*> watched;
        for (const auto& port : ports)
            watched.push_back(port.get());
        return tools::RunVirtualPorts(std::move(forwarders), watched);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vport: %s\n", e.what());
        return 1;
    }
}
