#include "tools/vport/link_claim.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace tools {

std::string AbsoluteLinkPath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        return path;
    const std::filesystem::path folder =
        std::filesystem::weakly_canonical(absolute.parent_path(), error);
    return error ? absolute.lexically_normal().string() : (folder / absolute.filename()).string();
}

LinkClaim::LinkClaim(const std::string& link_path)
    : socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (!socket_.valid()) {
        throw std::runtime_error(std::string("cannot claim ") + link_path + ": " +
                                 std::strerror(errno));
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // The name starts with a zero byte (the abstract namespace); a path too long for the
    // address is represented by its hash.
    std::string name = "porvane-vport:" + AbsoluteLinkPath(link_path);
    if (name.size() + 1 > sizeof address.sun_path) {
        name = "porvane-vport#" + std::to_string(std::hash<std::string>{}(name));
    }
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (errno == EADDRINUSE) {
            throw std::runtime_error(link_path +
                                     " is the port of another running vport (or quor-sim); stop "
                                     "that one first or choose another path");
        }
        throw std::runtime_error(std::string("cannot claim ") + link_path + ": " +
                                 std::strerror(errno));
    }
}

}  // namespace tools
