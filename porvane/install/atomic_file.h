#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/comm/unique_fd.h"

namespace porvane::install {

// A file written in full and flushed to disk, not yet in the place it is meant for. It has no
// name where the filesystem allows that, so a run killed before Commit leaves nothing behind;
// elsewhere it is named .<name>.XXXXXX beside its place, and RemoveLeftoverTemporaries finds
// what a killed run left under such a name. Destroyed before Commit, it leaves no file.
class StagedFile {
  public:
    // Writes bytes, with permission bits mode, to a new file in the folder of path. Empty, with
    // error naming the step and the system's reason, on failure.
    static std::optional<StagedFile> Write(const std::string& path, std::string_view bytes,
                                           unsigned mode, std::string& error);
    ~StagedFile();
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&&) = delete;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // A path other programs (the preload check) can open the contents by before Commit.
    std::string OpenablePath() const;
    // Renames the file over path, so readers see the old file or the new one, never a part.
    // False with error on failure; path is then unchanged.
    bool Commit(std::string& error);

  private:
    StagedFile(std::string path, comm::UniqueFd fd, std::string temp)
        : path_(std::move(path)), fd_(std::move(fd)), temp_(std::move(temp)) {}

    std::string path_;
    comm::UniqueFd fd_;
    std::string temp_;  // the file's temporary name; empty while it has none, and once in place
};

// Replaces path's contents with text by a StagedFile. mode is the new file's permission bits. On
// failure returns false with error naming the step and the system's reason; path is then
// unchanged.
bool WriteFileAtomically(const std::string& path, std::string_view text, unsigned mode,
                         std::string& error);

// Gives the file at from a second name .<name of path>.XXXXXX beside path (the name a
// StagedFile would have), without following a symbolic link at from. Returns the new name, or
// empty with error on failure.
std::string LinkToTemporaryName(const std::string& from, const std::string& path,
                                std::string& error);

// Removes the regular files named .<name>.XXXXXX beside path: temporaries of path that a run
// killed midway left behind. Only for paths whose writers all hold one lock, so none of them is
// still being written.
void RemoveLeftoverTemporaries(const std::string& path);

}  // namespace porvane::install
