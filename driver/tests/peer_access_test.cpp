// The host's decision whether a client's user could open a port's device for reading and writing.
#include "driver/host/peer_access.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace sievra {
namespace {

// An access control list's bytes: version 2, then (tag, permission bits, id) entries.
std::vector<uint8_t> Acl(const std::vector<std::array<uint32_t, 3>>& entries) {
    std::vector<uint8_t> bytes{2, 0, 0, 0};
    for (const auto& [tag, perm, id] : entries) {
        for (uint32_t v : {tag, tag >> 8, perm, perm >> 8})
            bytes.push_back(static_cast<uint8_t>(v));
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<uint8_t>(id >> shift));
    }
    return bytes;
}

TEST(PeerAccess, ModeBitsAndAccessListsDecideAsTheKernelDoes) {
    struct stat device {};
    device.st_uid = 0;
    device.st_gid = 20;  // the device's group
    const PeerCredentials outsider{1, 1000, 1000, {}};
    const PeerCredentials member{1, 1000, 1000, {20}};
    const PeerCredentials named{1, 99999, 99999, {}};
    const PeerCredentials root{1, 0, 0, {}};
    struct Case {
        const char* name;
        mode_t mode;
        PeerCredentials peer;
        bool allowed;
    };
    const Case by_mode[] = {
        {"root's alone, root", 0600, root, true},
        {"root's alone, outsider", 0600, outsider, false},
        {"root's alone, member", 0600, member, false},
        {"group's, member", 0660, member, true},
        {"group may only read, member", 0640, member, false},
        {"everyone's, outsider", 0666, outsider, true},
    };
    for (const Case& c : by_mode) {
        SCOPED_TRACE(c.name);
        device.st_mode = S_IFCHR | c.mode;
        EXPECT_EQ(MayReadWrite(c.peer, device), c.allowed);
    }
    // rw for a named user, nothing for the owning group, the mask letting rw through: the mode
    // shows the mask as group bits (rw), yet the group member is kept out and the named user let
    // in.
    const std::vector<uint8_t> acl =
        Acl({{0x01, 6, 0}, {0x02, 6, 99999}, {0x04, 0, 0}, {0x10, 6, 0}, {0x20, 0, 0}});
    device.st_mode = S_IFCHR | 0660;
    EXPECT_TRUE(AclAllowsReadWrite(named, device, acl.data(), acl.size()));
    EXPECT_FALSE(AclAllowsReadWrite(member, device, acl.data(), acl.size()));
    EXPECT_FALSE(AclAllowsReadWrite(outsider, device, acl.data(), acl.size()));
    EXPECT_TRUE(AclAllowsReadWrite(root, device, acl.data(), acl.size()));
    // A mask of read only keeps the named user out; a broken list lets nobody in but root.
    const std::vector<uint8_t> masked =
        Acl({{0x01, 6, 0}, {0x02, 6, 99999}, {0x04, 0, 0}, {0x10, 4, 0}, {0x20, 0, 0}});
    EXPECT_FALSE(AclAllowsReadWrite(named, device, masked.data(), masked.size()));
    const std::vector<uint8_t> broken{2, 0, 0, 0, 1};
    EXPECT_FALSE(AclAllowsReadWrite(named, device, broken.data(), broken.size()));
}

}  // namespace
}  // namespace sievra
