#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/comm/comm_status.h"
#include "platform/comm/unique_fd.h"

namespace sievra {

// The driver host's runtime folder, held for the host's lifetime. The folder must belong to the
// host's own user and be writable by nobody else, so no one else can put links or files of their
// own in it; one host holds it at a time (an exclusive lock on a file in it). Everything in it is
// made relative to the folder's descriptor, never by following a link, and what the host made
// goes again when it ends.
class RuntimeFolder {
  public:
    RuntimeFolder() = default;
    ~RuntimeFolder();
    RuntimeFolder(const RuntimeFolder&) = delete;
    RuntimeFolder& operator=(const RuntimeFolder&) = delete;

    // Creates the folder (mode 0755) when missing, checks its owner and mode and locks it.
    comm::CommStatus Claim(const std::string& path);

    const std::string& path() const { return path_; }
    std::string PathOf(const std::string& name) const { return path_ + "/" + name; }

    // A new file of that name, made with O_EXCL and O_NOFOLLOW after a leftover of an earlier
    // host is removed; its mode (and group, when not -1) set on the descriptor.
    comm::CommStatus CreateFile(const std::string& name, mode_t mode, gid_t group,
                                comm::UniqueFd& file);
    // Binds a Unix socket to the name in the folder (a leftover is removed first) and gives it
    // the mode and group.
    comm::CommStatus BindSocket(int socket, const std::string& name, mode_t mode, gid_t group);
    // Renames a file made here over another name (the new name is then the host's).
    comm::CommStatus Rename(const std::string& from, const std::string& to);

  private:
    void Made(const std::string& name);

    std::string path_;
    comm::UniqueFd dir_;
    comm::UniqueFd lock_;  // held locked for the host's lifetime
    std::vector<std::string> made_;
};

}  // namespace sievra
