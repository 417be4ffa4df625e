#include "driver/host/peer_access.h"

#include <sys/socket.h>
#include <sys/xattr.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>

#include "driver/sievra_protocol.h"

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

namespace {

bool InGroup(const PeerCredentials& peer, gid_t gid) {
    return peer.gid == gid ||
           std::find(peer.groups.begin(), peer.groups.end(), gid) != peer.groups.end();
}

bool GrantsReadWrite(unsigned bits) {
    return (bits & 06) == 06;
}

// An access control list as the kernel keeps it in the extended attribute: a 4-byte version (2),
// then 8-byte entries of tag, permission bits and id, little-endian.
enum AclTag : uint16_t {
    kUserObj = 0x01,
    kUser = 0x02,
    kGroupObj = 0x04,
    kGroup = 0x08,
    kMask = 0x10,
    kOther = 0x20,
};
constexpr size_t kAclHeader = 4;
constexpr size_t kAclEntry = 8;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The permission bits of the first entry with tag (and id, for named entries); -1 when none.
int AclEntry(const uint8_t* acl, size_t size, uint16_t tag, uint32_t id = 0) {
    for (size_t at = kAclHeader; at + kAclEntry <= size; at += kAclEntry) {
        const bool named = tag == kUser || tag == kGroup;
        if (Le16(acl + at) == tag && (!named || GetLe32(acl + at + 4) == id))
            return Le16(acl + at + 2);
    }
    return -1;
}

}  // namespace

bool MayReadWrite(const PeerCredentials& peer, const struct stat& file) {
    if (peer.uid == 0)
        return true;
    mode_t bits;
    if (peer.uid == file.st_uid)
        bits = (file.st_mode >> 6) & 07;
    else if (InGroup(peer, file.st_gid))
        bits = (file.st_mode >> 3) & 07;
    else
        bits = file.st_mode & 07;
    return GrantsReadWrite(bits);
}

bool AclAllowsReadWrite(const PeerCredentials& peer, const struct stat& file, const uint8_t* acl,
                        size_t size) {
    if (peer.uid == 0)
        return true;
    if (size < kAclHeader || GetLe32(acl) != 2 || (size - kAclHeader) % kAclEntry != 0)
        return false;  // not a list the kernel would have written: refused
    if (peer.uid == file.st_uid) {
        const int owner = AclEntry(acl, size, kUserObj);
        return owner >= 0 && GrantsReadWrite(static_cast<unsigned>(owner));
    }
    const int masked = AclEntry(acl, size, kMask);
    const unsigned mask = masked >= 0 ? static_cast<unsigned>(masked) : 07;
    if (const int named = AclEntry(acl, size, kUser, peer.uid); named >= 0)
        return GrantsReadWrite(static_cast<unsigned>(named) & mask);
    // Any matching group entry that grants both lets in; matching ones that do not keep out.
    bool member = false;
    for (size_t at = kAclHeader; at < size; at += kAclEntry) {
        const uint16_t tag = Le16(acl + at);
        const bool matches = (tag == kGroupObj && InGroup(peer, file.st_gid)) ||
                             (tag == kGroup && InGroup(peer, GetLe32(acl + at + 4)));
        if (!matches)
            continue;
        if (GrantsReadWrite(Le16(acl + at + 2) & mask))
            return true;
        member = true;
    }
    if (member)
        return false;
    const int other = AclEntry(acl, size, kOther);
    return other >= 0 && GrantsReadWrite(static_cast<unsigned>(other));
}

bool MayOpenDevice(const PeerCredentials& peer, const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    // Where the device has an access control list, the kernel decides by it, not by the mode.
    uint8_t acl[1024];
    const ssize_t size = ::getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
    if (size >= 0)
        return AclAllowsReadWrite(peer, st, acl, static_cast<size_t>(size));
    if (errno != ENODATA && errno != ENOTSUP)
        return peer.uid == 0;  // a list that cannot be read (too long) lets in root only
    return MayReadWrite(peer, st);
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
