#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sievra {

// Who is at the other end of a Unix socket, as the kernel saw it at connect time.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;  // supplementary groups
};

// The peer of a connected socket; nullopt when the kernel does not tell.
std::optional<PeerCredentials> PeerOf(int socket);

// True when peer could open a file of this owner, group and mode for reading and writing, by the
// permission bits the kernel applies (owner class first, then group, then others). Root always.
bool MayReadWrite(const PeerCredentials& peer, const struct stat& file);

// The same decision by an access control list (the bytes of the "system.posix_acl_access"
// attribute), as the kernel makes it for a file that has one.
bool AclAllowsReadWrite(const PeerCredentials& peer, const struct stat& file, const uint8_t* acl,
                        size_t size);

// True when peer could open the device at path for reading and writing now, by its access
// control list where it has one, else by its mode bits; false when it cannot be found.
bool MayOpenDevice(const PeerCredentials& peer, const std::string& path);

// True when descriptor is a terminal open on the device at path itself (same device number).
bool IsDescriptorOfDevice(int descriptor, const std::string& path);

}  // namespace sievra
