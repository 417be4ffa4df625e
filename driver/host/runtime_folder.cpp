#include "driver/host/runtime_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "driver/link/link_socket.h"

namespace sievra {
namespace {
constexpr const char* kLockName = "SievrLock";
}  // namespace

RuntimeFolder::~RuntimeFolder() {
    if (!dir_.valid())
        return;
    for (const std::string& name : made_)
        ::unlinkat(dir_.get(), name.c_str(), 0);
}

comm::CommStatus RuntimeFolder::Claim(const std::string& path) {
    path_ = path;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return comm::CommStatus::Failure("mkdir runtime folder", errno);
    // O_NOFOLLOW: a link put where the folder should be is refused, not followed.
    comm::UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid())
        return comm::CommStatus::Failure("open runtime folder", errno);
    struct stat st;
    if (::fstat(dir.get(), &st) != 0)
        return comm::CommStatus::Failure("stat runtime folder", errno);
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return comm::CommStatus::Failure(
            "runtime folder not owned by this user or writable by others", EPERM);
    }
    // The lock is a file only this user may open, not the folder, which anyone may open and
    // lock to keep the host from starting. It stays when the host ends, so that every host
    // locks the same file.
    comm::UniqueFd lock(::openat(dir.get(), kLockName,
                                 O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!lock.valid())
        return comm::CommStatus::Failure("open runtime folder lock", errno);
    if (::fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
        return comm::CommStatus::Failure("runtime folder lock is not this user's file", EPERM);
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return comm::CommStatus::Failure("another sievrad serves the runtime folder",
                                         errno == EWOULDBLOCK ? EBUSY : errno);
    }
    dir_ = std::move(dir);
    lock_ = std::move(lock);
    return {};
}

void RuntimeFolder::Made(const std::string& name) {
    if (std::find(made_.begin(), made_.end(), name) == made_.end())
        made_.push_back(name);
}

comm::CommStatus RuntimeFolder::CreateFile(const std::string& name, mode_t mode, gid_t group,
                                           comm::UniqueFd& file) {
    // Only this host's user can write the folder, and this host holds it: what is there under
    // the name is a leftover of a host that ended without cleaning up.
    if (::unlinkat(dir_.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        return comm::CommStatus::Failure("remove leftover file", errno);
    file.Reset(::openat(dir_.get(), name.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid())
        return comm::CommStatus::Failure("create file", errno);
    Made(name);
    if (group != static_cast<gid_t>(-1) && ::fchown(file.get(), static_cast<uid_t>(-1), group) != 0)
        return comm::CommStatus::Failure("chown file", errno);
    if (::fchmod(file.get(), mode) != 0)
        return comm::CommStatus::Failure("chmod file", errno);
    return {};
}

comm::CommStatus RuntimeFolder::BindSocket(int socket, const std::string& name, mode_t mode,
                                           gid_t group) {
    // Clients connect by the folder's path, so that path must fit an address.
    sockaddr_un address;
    if (!link::SocketAddress(PathOf(name), address))
        return comm::CommStatus::Failure("socket path", ENAMETOOLONG);
    if (::unlinkat(dir_.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        return comm::CommStatus::Failure("remove leftover socket", errno);
    // Bound through the folder's own descriptor, so that the socket lands in the folder that
    // was checked even if a path above it is changed meanwhile.
    const std::string via = "/proc/self/fd/" + std::to_string(dir_.get()) + "/" + name;
    if (!link::SocketAddress(via, address))
        return comm::CommStatus::Failure("socket path", ENAMETOOLONG);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return comm::CommStatus::Failure("bind", errno);
    Made(name);
    // The folder is this host's alone, so the name still is the socket just bound.
    if (group != static_cast<gid_t>(-1) &&
        ::fchownat(dir_.get(), name.c_str(), static_cast<uid_t>(-1), group, AT_SYMLINK_NOFOLLOW) !=
            0) {
        return comm::CommStatus::Failure("chown socket", errno);
    }
    if (::fchmodat(dir_.get(), name.c_str(), mode, 0) != 0)
        return comm::CommStatus::Failure("chmod socket", errno);
    return {};
}

comm::CommStatus RuntimeFolder::Rename(const std::string& from, const std::string& to) {
    if (::renameat(dir_.get(), from.c_str(), dir_.get(), to.c_str()) != 0)
        return comm::CommStatus::Failure("rename file", errno);
    made_.erase(std::remove(made_.begin(), made_.end(), from), made_.end());
    Made(to);
    return {};
}

}  // namespace sievra
