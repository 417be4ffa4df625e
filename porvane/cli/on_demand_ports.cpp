#include "porvane/cli/on_demand_ports.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/comm/unique_fd.h"

namespace porvane::cli {
namespace {

// How long the host may take to add a port before the program goes on without it: the host
// adds one as soon as it sees the map change, so this is a ceiling for a host that is stuck.
constexpr int kAddTimeoutMs = 5000;

}  // namespace

OnDemandPorts::OnDemandPorts(std::string map_path, int host_output)
    : map_path_(std::move(map_path)), host_output_(host_output) {}

bool OnDemandPorts::Start(const std::vector<devicemap::DeviceMapEntry>& entries) {
    entries_ = entries;
    return WriteMap();
}

// The host follows the map's folder: a new file renamed over the old one is one change, never a
// half-written map.
bool OnDemandPorts::WriteMap() {
    const std::string next = map_path_ + ".next";
    comm::UniqueFd fd(::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid())
        return false;
    std::string text;
    for (const devicemap::DeviceMapEntry& entry : entries_)
        text += entry.device + "=" + entry.port + "\n";
    for (size_t at = 0; at < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return ::rename(next.c_str(), map_path_.c_str()) == 0;
}

std::string OnDemandPorts::NextLine(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (const size_t end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{host_output_, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        char buffer[512];
        const ssize_t n = ready > 0 ? ::read(host_output_, buffer, sizeof buffer) : 0;
        if (n <= 0)
            return {};
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

uint32_t OnDemandPorts::Add(const std::string& name) {
    if (name.empty() || name.find_first_of("\n\r") != std::string::npos)
        return 0;
    entries_.push_back({"watch" + std::to_string(entries_.size() + 1), name});
    if (!WriteMap())
        return 0;
    // "sievrad: port N added: NAME" (or "back: NAME" for a port the host knew before).
    for (;;) {
        const std::string line = NextLine(kAddTimeoutMs);
        if (line.empty())
            return 0;
        constexpr char kHead[] = "sievrad: port ";
        if (line.rfind(kHead, 0) != 0)
            continue;
        char* end = nullptr;
        const unsigned long number = std::strtoul(line.c_str() + sizeof kHead - 1, &end, 10);
        const std::string rest = end;
        if (rest == " added: " + name || rest == " back: " + name)
            return static_cast<uint32_t>(number);
    }
}

}  // namespace porvane::cli
