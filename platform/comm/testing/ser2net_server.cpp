#include "platform/comm/testing/ser2net_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/comm/unique_fd.h"

namespace comm::testing {
namespace {

constexpr char kSer2net[] = "/usr/sbin/ser2net";

// A loopback TCP port nobody uses at the moment.
int FreeLoopbackPort() {
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), len) != 0 ||
        ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &len) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// Whether a socket listens on 127.0.0.1:port, as /proc/net/tcp shows it.
bool ListensOn(int port) {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

}  // namespace

bool Ser2netServer::Available() {
    return ::access(kSer2net, X_OK) == 0;
}

Ser2netServer::Ser2netServer(const std::string& device) {
    const int port = FreeLoopbackPort();
    std::error_code error;
    const std::string target = std::filesystem::canonical(device, error).string();
    const std::string config = dir_.path() + "/ser2net.yaml";
    std::ofstream(config) << "connection: &port\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
                          << "  connector: serialdev," << (error ? device : target)
                          << ",115200n81,local\n";
    port_name_ = "rfc2217://127.0.0.1:" + std::to_string(port);
    process_ = std::make_unique<ChildProcess>(
        kSer2net, std::vector<std::string>{"-n", "-u", "-c", config, "-P", dir_.path() + "/pid"});
    // The server binds its port a moment after it starts; the state only moves to listening.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(listening_ = ListensOn(port)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Ser2netServer::Kill() {
    if (process_) {
        process_->Signal(SIGKILL);
        process_->Wait();
    }
}

}  // namespace comm::testing
