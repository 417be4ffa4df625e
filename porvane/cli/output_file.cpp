#include "porvane/cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace porvane::cli {

comm::UniqueFd OpenOutputFile(const std::string& path, int flags, mode_t mode) {
    namespace fs = std::filesystem;
    flags |= O_CLOEXEC;
    const fs::path name(path);
    const std::string base = name.filename().string();
    const std::string folder = name.has_parent_path() ? name.parent_path().string() : ".";
    // The folder is held open, so what is looked at below and what is opened are in the same one.
    comm::UniqueFd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat folder_st {};
    if (base.empty() || base == "." || base == ".." || !dir.valid() ||
        ::fstat(dir.get(), &folder_st) != 0 || (folder_st.st_mode & S_ISVTX) == 0 ||
        (folder_st.st_mode & S_IWOTH) == 0) {
        return comm::UniqueFd(::open(path.c_str(), flags, mode));
    }
    // Twice at most: a name made by someone else between the look and the creation is looked
    // at again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat st {};
        if (::fstatat(dir.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || (flags & O_CREAT) == 0)
                return {};
            comm::UniqueFd created(
                ::openat(dir.get(), base.c_str(), flags | O_EXCL | O_NOFOLLOW, mode));
            if (created.valid() || errno != EEXIST || (flags & O_EXCL) != 0)
                return created;
            continue;
        }
        if (st.st_uid != ::geteuid() && st.st_uid != folder_st.st_uid) {
            errno = EACCES;
            return {};
        }
        // The sticky bit lets nobody else remove or rename a name that is ours or the
        // folder owner's, so the name opened is the one looked at.
        return comm::UniqueFd(::openat(dir.get(), base.c_str(), flags, mode));
    }
    errno = EEXIST;
    return {};
}

}  // namespace porvane::cli
