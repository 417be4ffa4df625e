#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/comm/unique_fd.h"

namespace remote {

// Where a port server listens: a host (name or address; empty for every interface, IPv4 and
// IPv6) and a TCP port (0: one the system picks).
struct ListenAddress {
    std::string host;
    uint16_t port = 0;
};

// Reads "HOST:PORT", "[IPV6]:PORT", ":PORT" or "PORT"; nothing (and why in error) otherwise.
std::optional<ListenAddress> ParseListenAddress(const std::string& text, std::string& error);

// Listening sockets (non-blocking, close-on-exec) on every address the host resolves to; an IPv6
// socket takes IPv6 only, so that the IPv4 one beside it can bind too. With port 0 every socket
// gets the port the first one got. Empty, and why in error, when none could be made.
std::vector<comm::UniqueFd> OpenListeners(const ListenAddress& address, std::string& error);

// "127.0.0.1:7000" or "[::1]:7000".
std::string SocketAddressText(const sockaddr* address, socklen_t length);
// The local and the remote address of a socket in that form ("?" when the system does not say).
std::string LocalAddressText(int fd);
std::string PeerAddressText(int fd);

}  // namespace remote
