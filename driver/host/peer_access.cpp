#include "driver/host/peer_access.h"

#include <sys/socket.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>

namespace sievra {

std::optional<PeerCredentials> PeerOf(int socket) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return std::nullopt;
    PeerCredentials peer;
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
    // The group list's size is not known beforehand: ERANGE reports the size needed.
    std::vector<gid_t> groups(32);
    for (;;) {
        length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            break;
        }
        if (errno != ERANGE || length / sizeof(gid_t) <= groups.size())
            return std::nullopt;  // without the groups no group right can be granted safely
        groups.resize(length / sizeof(gid_t));
    }
    peer.groups = std::move(groups);
    return peer;
}

bool MayReadWrite(const PeerCredentials& peer, const struct stat& file) {
    if (peer.uid == 0)
        return true;
    mode_t bits;
    if (peer.uid == file.st_uid) {
        bits = (file.st_mode >> 6) & 07;
    } else if (peer.gid == file.st_gid || std::find(peer.groups.begin(), peer.groups.end(),
                                                    file.st_gid) != peer.groups.end()) {
        bits = (file.st_mode >> 3) & 07;
    } else {
        bits = file.st_mode & 07;
    }
    return (bits & 06) == 06;
}

bool MayOpenDevice(const PeerCredentials& peer, const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && MayReadWrite(peer, st);
}

bool IsDescriptorOfDevice(int descriptor, const std::string& path) {
    struct stat passed;
    struct stat device;
    termios t;
    return descriptor >= 0 && ::fstat(descriptor, &passed) == 0 && S_ISCHR(passed.st_mode) &&
           ::stat(path.c_str(), &device) == 0 && S_ISCHR(device.st_mode) &&
           passed.st_rdev == device.st_rdev && ::tcgetattr(descriptor, &t) == 0;
}

}  // namespace sievra
