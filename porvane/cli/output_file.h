#pragma once

#include <sys/types.h>

#include <string>

#include "platform/comm/unique_fd.h"

namespace porvane::cli {

// Opens path for writing a log, records or a report: flags are open(2)'s (O_WRONLY with any of
// O_CREAT, O_EXCL, O_TRUNC, O_APPEND). In a folder that everyone may write to and that has the
// sticky bit (/tmp), a name that neither this user nor the folder's owner made is refused with
// EACCES, whether or not the kernel's protected_symlinks, protected_regular and protected_fifos
// are on: a link planted there by another user must not make a program run by root write over
// the file it points to, a planted file must not receive root's lines, and a planted FIFO must
// not hold the program. Elsewhere the path is opened as it stands.
comm::UniqueFd OpenOutputFile(const std::string& path, int flags, mode_t mode);

}  // namespace porvane::cli
