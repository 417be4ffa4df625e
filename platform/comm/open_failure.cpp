#include "platform/comm/open_failure.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/comm/rfc2217_serial_device.h"

namespace comm {
namespace {

std::string ProcessName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// The flock holder of the file behind st, from lines such as
// "1: FLOCK  ADVISORY  WRITE 1234 00:18:3 0 EOF" (device of the file's file system in hex, inode).
pid_t LockHolder(const struct stat& st) {
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream in("/proc/locks");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string ordinal, kind, mode, access, pid, file;
        fields >> ordinal >> kind;
        if (kind == "->")  // a waiter, not a holder
            continue;
        fields >> mode >> access >> pid >> file;
        if (kind == "FLOCK" && file == key) {
            return static_cast<pid_t>(std::atol(pid.c_str()));
        }
    }
    return 0;
}

std::vector<pid_t> ProcessesWithOpen(const std::string& real_path) {
    std::vector<pid_t> found;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc)
        return found;
    const pid_t self = getpid();
    while (dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        const std::string fd_dir = std::string("/proc/") + entry->d_name + "/fd";
        std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir(fd_dir.c_str()), closedir);
        if (!fds)
            continue;  // another user's process: not readable
        while (dirent* fd = readdir(fds.get())) {
            char target[PATH_MAX];
            const std::string link = fd_dir + "/" + fd->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && real_path == std::string(target, static_cast<size_t>(n))) {
                found.push_back(static_cast<pid_t>(pid));
                break;
            }
        }
    }
    return found;
}

// Why a remote port did not open, naming the host and port the name points at.
std::string DescribeRemoteOpenFailure(const std::string& name, int error,
                                      const std::string& operation) {
    const std::optional<RemotePortAddress> address = ParseRemotePortName(name);
    if (!address)
        return name + ": not a remote port address (rfc2217://HOST:PORT)";
    if (operation == "getaddrinfo" && error != EAGAIN)
        return name + ": host " + address->host + " not found";
    if (error == EBUSY)
        return name + ": the server at " + address->host + " port " + address->port +
               " closed the connection at once (the port is in use)";
    if (error == EPROTONOSUPPORT)
        return name + ": the server at " + address->host + " port " + address->port +
               " does not offer com port control";
    return name + ": cannot connect to " + address->host + " port " + address->port + ": " +
           std::strerror(error);
}

// Who may open the device at path, for a process that may not: the group whose members may read
// and write it, and whether this user is one by the group file but not yet in this login.
std::string PermissionHint(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return "; members of group " + std::to_string(st.st_gid) + " may open it";
    std::string hint = std::string("; members of group ") + found->gr_name + " may open it";
    std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(
        std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    const bool in_login = ::getegid() == st.st_gid ||
                          std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    std::vector<char> user_buffer(16384);
    passwd user{};
    passwd* me = nullptr;
    if (in_login ||
        ::getpwuid_r(::geteuid(), &user, user_buffer.data(), user_buffer.size(), &me) != 0 || !me)
        return hint;
    for (char** member = found->gr_mem; *member != nullptr; ++member) {
        if (std::strcmp(*member, me->pw_name) == 0)
            return hint + " (" + me->pw_name + " is one since this login began: log in again)";
    }
    return hint;
}

}  // namespace

std::vector<PortHolder> FindPortHolders(const std::string& path) {
    std::vector<PortHolder> holders;
    char real[PATH_MAX];
    struct stat st;
    if (::realpath(path.c_str(), real) == nullptr || ::stat(real, &st) != 0)
        return holders;
    if (const pid_t locker = LockHolder(st); locker > 0) {
        // This program holding the lock itself is no other holder; the processes that merely
        // keep the device open beside it (a virtual port's own process) are not the holder.
        if (locker != getpid())
            holders.push_back({locker, ProcessName(locker)});
        return holders;
    }
    for (pid_t pid : ProcessesWithOpen(real))
        holders.push_back({pid, ProcessName(pid)});
    return holders;
}

std::string DescribeOpenFailure(const std::string& path, const CommStatus& status) {
    const int error = status.ok() ? EIO : status.error();
    if (IsRemotePortName(path))
        return DescribeRemoteOpenFailure(path, error, status.operation());
    if (error == EBUSY) {
        const std::vector<PortHolder> holders = FindPortHolders(path);
        if (!holders.empty()) {
            std::string text = path + ": in use by process";
            for (size_t i = 0; i < holders.size(); ++i) {
                text += (i == 0 ? " " : ", ") + std::to_string(holders[i].pid) + " (" +
                        holders[i].name + ")";
            }
            return text;
        }
    }
    if (error == EACCES)
        return path + ": " + std::strerror(error) + PermissionHint(path);
    if (error == ENOTTY) {
        return path + ": not a serial port";
    }
    return path + ": " + std::strerror(error);
}

}  // namespace comm
