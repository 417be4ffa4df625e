#include "porvane/remote/listen_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace remote {
namespace {

constexpr int kBacklog = 8;

bool ParsePort(const std::string& text, uint16_t& port) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || at != end || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// A socket bound and listening on one resolved address; invalid (errno set) on failure.
comm::UniqueFd ListenOn(const addrinfo& info, uint16_t port) {
    comm::UniqueFd fd(::socket(info.ai_family, info.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                               info.ai_protocol));
    if (!fd.valid())
        return fd;
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (info.ai_family == AF_INET6)
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_storage address{};
    std::memcpy(&address, info.ai_addr, info.ai_addrlen);
    if (info.ai_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), info.ai_addrlen) != 0 ||
        ::listen(fd.get(), kBacklog) != 0) {
        const int error = errno;
        fd.Reset();
        errno = error;
    }
    return fd;
}

uint16_t BoundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string& error) {
    ListenAddress address;
    std::string port_text = text;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos) {
            error = "an IPv6 address takes the form [ADDRESS]:PORT";
            return std::nullopt;
        }
        address.host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        address.host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (address.host.find(':') != std::string::npos) {
            error = "write an IPv6 address in brackets: [ADDRESS]:PORT";
            return std::nullopt;
        }
    }
    if (!ParsePort(port_text, address.port)) {
        error = "the port must be a number from 0 to 65535";
        return std::nullopt;
    }
    return address;
}

std::vector<comm::UniqueFd> OpenListeners(const ListenAddress& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.port);
    const int rc = ::getaddrinfo(address.host.empty() ? nullptr : address.host.c_str(),
                                 service.c_str(), &hints, &found);
    if (rc != 0) {
        error = (address.host.empty() ? std::string("*") : address.host) + ": " +
                (rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc));
        return {};
    }
    std::vector<comm::UniqueFd> listeners;
    uint16_t port = address.port;
    for (const addrinfo* info = found; info != nullptr; info = info->ai_next) {
        comm::UniqueFd fd = ListenOn(*info, port);
        if (!fd.valid()) {
            error =
                SocketAddressText(info->ai_addr, info->ai_addrlen) + ": " + std::strerror(errno);
            continue;
        }
        if (port == 0)
            port = BoundPort(fd.get());
        listeners.push_back(std::move(fd));
    }
    ::freeaddrinfo(found);
    if (!listeners.empty())
        error.clear();
    return listeners;
}

std::string SocketAddressText(const sockaddr* address, socklen_t length) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    return "?";
}

std::string LocalAddressText(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "?";
    return SocketAddressText(reinterpret_cast<sockaddr*>(&address), length);
}

std::string PeerAddressText(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "?";
    return SocketAddressText(reinterpret_cast<sockaddr*>(&address), length);
}

}  // namespace remote
