#include "porvane/install/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

namespace porvane::install {
namespace {

namespace fs = std::filesystem;

// The letters of a temporary name's last six characters, as mkstemp picks them.
constexpr std::string_view kNameLetters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t kSuffixLength = 6;

std::string FolderOf(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

// .<name>. beside path: the start of each of its temporary names.
std::string TemporaryPrefix(const std::string& path) {
    return FolderOf(path) + "/." + fs::path(path).filename().string() + ".";
}

std::string RandomSuffix() {
    std::random_device random;
    std::uniform_int_distribution<size_t> pick(0, kNameLetters.size() - 1);
    std::string suffix;
    for (size_t i = 0; i < kSuffixLength; ++i)
        suffix += kNameLetters[pick(random)];
    return suffix;
}

std::string LinkUnderTemporaryName(const std::string& from, const std::string& path, int flags,
                                   std::string& error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = TemporaryPrefix(path) + RandomSuffix();
        if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, temp.c_str(), flags) == 0)
            return temp;
        if (errno != EEXIST) {
            error = "link " + temp + ": " + std::strerror(errno);
            return {};
        }
    }
    error = "link " + path + ": no free temporary name";
    return {};
}

}  // namespace

std::optional<StagedFile> StagedFile::Write(const std::string& path, std::string_view bytes,
                                            unsigned mode, std::string& error) {
    // Unnamed when the filesystem has unnamed files and /proc can name it for other programs
    // and for the link that puts it in place.
    comm::UniqueFd fd;
    if (::access("/proc/self/fd", X_OK) == 0)
        fd.Reset(::open(FolderOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    std::string temp;
    if (!fd.valid()) {
        temp = TemporaryPrefix(path) + std::string(kSuffixLength, 'X');
        fd.Reset(::mkostemp(temp.data(), O_CLOEXEC));
        if (!fd.valid()) {
            error = "create " + temp + ": " + std::strerror(errno);
            return std::nullopt;
        }
    }
    StagedFile staged(path, std::move(fd), std::move(temp));
    auto fail = [&](const char* step) {
        error = std::string(step) + " temporary file for " + path + ": " + std::strerror(errno);
        return std::nullopt;
    };
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(staged.fd_.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail("write");
        done += static_cast<size_t>(n);
    }
    if (::fchmod(staged.fd_.get(), mode) != 0)
        return fail("chmod");
    if (::fsync(staged.fd_.get()) != 0)
        return fail("sync");
    return std::optional<StagedFile>(std::move(staged));
}

StagedFile::~StagedFile() {
    if (!temp_.empty())
        ::unlink(temp_.c_str());
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      temp_(std::exchange(other.temp_, std::string())) {}

std::string StagedFile::OpenablePath() const {
    if (!temp_.empty())
        return temp_;
    return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd_.get());
}

bool StagedFile::Commit(std::string& error) {
    // An unnamed file gets its temporary name only now, just before the rename: a link cannot
    // replace an existing file, a rename can.
    if (temp_.empty()) {
        temp_ = LinkUnderTemporaryName("/proc/self/fd/" + std::to_string(fd_.get()), path_,
                                       AT_SYMLINK_FOLLOW, error);
        if (temp_.empty())
            return false;
    }
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        error = "rename " + temp_ + ": " + std::strerror(errno);
        return false;
    }
    temp_.clear();
    return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view text, unsigned mode,
                         std::string& error) {
    std::optional<StagedFile> staged = StagedFile::Write(path, text, mode, error);
    return staged && staged->Commit(error);
}

std::string LinkToTemporaryName(const std::string& from, const std::string& path,
                                std::string& error) {
    return LinkUnderTemporaryName(from, path, 0, error);
}

void RemoveLeftoverTemporaries(const std::string& path) {
    const std::string prefix = fs::path(TemporaryPrefix(path)).filename().string();
    std::error_code ec;
    for (fs::directory_iterator it(FolderOf(path), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + kSuffixLength || name.rfind(prefix, 0) != 0)
            continue;
        if (name.find_first_not_of(kNameLetters, prefix.size()) != std::string::npos)
            continue;
        std::error_code type_ec;
        if (it->symlink_status(type_ec).type() == fs::file_type::regular)
            ::unlink(it->path().c_str());
    }
}

}  // namespace porvane::install
