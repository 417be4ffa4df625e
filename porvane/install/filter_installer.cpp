#include "porvane/install/filter_installer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string_view>

#include "platform/comm/unique_fd.h"
#include "porvane/install/atomic_file.h"
#include "porvane/install/driver_image.h"
#include "porvane/install/preload_check.h"
#include "porvane/install/rebooter.h"

namespace porvane::install {
namespace {

namespace fs = std::filesystem;

// What separates the entries on a line of ld.so.preload, as the loader reads the file; "#"
// starts a comment that runs to the end of its line.
constexpr const char* kSeparators = " \t:";

// The installer's lock, beside the preload file that every installation and removal edits. Only
// root may create files in /etc, so no one else can take or hold the lock.
constexpr const char* kLockPath = "/etc/.sievra-install.lock";

// Up to how many symbolic links deep the preload file is followed.
constexpr int kMaxLinks = 40;

std::string ErrnoText() {
    return std::strerror(errno);
}

// Creates dir and the folders above it as needed; false with error saying why not.
bool MakeDirectories(const std::string& dir, std::string& error) {
    // Each folder made is 0755 whatever the umask: a library folder that others could write
    // (after "umask 0") would let them replace what every program loads.
    fs::path made;
    for (const fs::path& part : fs::path(dir)) {
        made /= part;
        if (::mkdir(made.c_str(), 0755) == 0) {
            if (::chmod(made.c_str(), 0755) != 0) {
                error = "Can't create " + made.string() + ": " + ErrnoText();
                return false;
            }
        } else if (errno != EEXIST) {
            error = "Can't create " + dir + ": " + ErrnoText();
            return false;
        }
    }
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        error = "Can't create " + dir + ": " +
                std::make_error_code(std::errc::not_a_directory).message();
        return false;
    }
    return true;
}

// Reads the whole file into text; a file that does not exist reads as empty with exists false.
bool ReadFile(const std::string& path, std::string& text, bool& exists, std::string& error) {
    text.clear();
    exists = false;
    const comm::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return true;
        error = "open " + path + ": " + ErrnoText();
        return false;
    }
    exists = true;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "read " + path + ": " + ErrnoText();
            return false;
        }
        if (n == 0)
            return true;
        text.append(chunk, static_cast<size_t>(n));
    }
}

// The lines of text without their line ends; a last line without one counts too.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

// The part of a line before its comment.
std::string_view Entries(std::string_view line) {
    return line.substr(0, line.find('#'));
}

// The first entry in the file, the library the loader preloads first; empty when there is none.
std::string_view FirstEntry(std::string_view text) {
    for (const std::string_view line : Lines(text)) {
        const std::string_view entries = Entries(line);
        const size_t begin = entries.find_first_not_of(kSeparators);
        if (begin != std::string_view::npos)
            return entries.substr(begin, entries.find_first_of(kSeparators, begin) - begin);
    }
    return {};
}

// The line without each entry that is entry, with the separators that went with it (those after
// it, or, after the line's last entry, those before it); every other entry, separator and comment
// stays as it was. A line left without entries keeps its comment alone, or goes (nullopt). found
// tells whether the entry was there.
std::optional<std::string> LineWithout(std::string_view line, std::string_view entry, bool& found) {
    const std::string_view entries = Entries(line);
    struct Span {
        size_t begin, end;
    };
    std::vector<Span> spans;
    for (size_t at = entries.find_first_not_of(kSeparators); at != std::string_view::npos;) {
        const size_t end = std::min(entries.find_first_of(kSeparators, at), entries.size());
        spans.push_back({at, end});
        at = entries.find_first_not_of(kSeparators, end);
    }
    std::vector<bool> dropped(line.size(), false);
    size_t left = spans.size();
    for (size_t i = 0; i < spans.size(); ++i) {
        if (entries.substr(spans[i].begin, spans[i].end - spans[i].begin) != entry)
            continue;
        --left;
        const size_t from = i + 1 < spans.size() ? spans[i].begin : i > 0 ? spans[i - 1].end : 0;
        const size_t to = i + 1 < spans.size() ? spans[i + 1].begin : spans[i].end;
        std::fill(dropped.begin() + from, dropped.begin() + to, true);
    }
    if (left == spans.size())
        return std::string(line);
    found = true;
    const std::string_view comment = line.substr(entries.size());
    if (left == 0)
        return comment.empty() ? std::nullopt : std::optional<std::string>(comment);
    std::string kept;
    for (size_t i = 0; i < line.size(); ++i) {
        if (!dropped[i])
            kept += line[i];
    }
    return kept;
}

// The file's text without our entry, every line ending in a line end.
std::string TextWithout(std::string_view text, std::string_view entry, bool& found) {
    std::string kept;
    for (const std::string_view line : Lines(text)) {
        if (std::optional<std::string> rest = LineWithout(line, entry, found))
            kept += *rest + "\n";
    }
    return kept;
}

// Takes the installer's lock, waiting while another installation or removal holds it. The lock
// goes with the returned descriptor. The file is never removed: a run that removed it while
// another waited on it would let a third lock a new file beside them. O_NOFOLLOW: a link planted
// in its place must not make us create or lock a file elsewhere.
comm::UniqueFd LockInstallation(const std::string& path, std::string& error) {
    if (!MakeDirectories(fs::path(path).parent_path().string(), error))
        return {};
    comm::UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        error = "lock " + path + ": " + ErrnoText();
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        error = "lock " + path + ": not a regular file";
        return {};
    }
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = "lock " + path + ": " + ErrnoText();
            return {};
        }
    }
    return fd;
}

}  // namespace

std::string FilterInstaller::SysRoot() {
    const char* root = std::getenv("SIEVRA_SYSROOT");
    std::string value = root != nullptr && *root != '\0' ? root : "/";
    while (value.size() > 1 && value.back() == '/')
        value.pop_back();
    return value == "/" ? std::string() : value;
}

std::string FilterInstaller::DefaultSievradPath() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return DefaultSievradPath(ec ? std::string() : self.parent_path().string());
}

std::string FilterInstaller::DefaultSievradPath(const std::string& program_folder) {
    const std::string installed = std::string(PORVANE_INSTALL_BINDIR) + "/sievrad";
    if (program_folder.empty())
        return installed;
    // A build folder's programs (bin/ beside CMakeCache.txt) are never what a system service
    // should start: the next build replaces them, and they go with the folder.
    const fs::path folder = fs::path(program_folder).lexically_normal();
    std::error_code ec;
    if (fs::exists(folder.parent_path() / "CMakeCache.txt", ec))
        return installed;
    const std::string beside = (folder / "sievrad").string();
    return IsRootsProgram(beside) ? beside : installed;
}

bool FilterInstaller::IsRootsProgram(const std::string& path) {
    if (path.empty() || path.front() != '/' ||
        path.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+-") !=
            std::string::npos) {
        return false;
    }
    // Only a name that leads nowhere else: every folder on the way, and the file, are looked at
    // as they are (lstat), so a link cannot stand in for one of root's.
    auto roots_alone = [](const std::string& name, bool file) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0 || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)))
            return false;
        return file ? S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) : S_ISDIR(st.st_mode);
    };
    const fs::path file(path);
    if (file.lexically_normal() != file || !roots_alone(path, true))
        return false;
    for (fs::path folder = file.parent_path();; folder = folder.parent_path()) {
        if (!roots_alone(folder.string(), false))
            return false;
        if (folder == folder.root_path())
            return true;
    }
}

bool FilterInstaller::IsRootsPlace(const std::string& path) {
    struct stat st {};
    if (IsRootsProgram(path))
        return true;
    if (path.empty() || path.front() != '/' || fs::path(path).lexically_normal() != path ||
        ::lstat(path.c_str(), &st) == 0 || errno != ENOENT) {
        return false;
    }
    // The nearest folder that exists decides, with every folder above it.
    fs::path folder = fs::path(path).parent_path();
    while (::lstat(folder.c_str(), &st) != 0 && errno == ENOENT && folder != folder.root_path())
        folder = folder.parent_path();
    for (;; folder = folder.parent_path()) {
        if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
            (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return false;
        }
        if (folder == folder.root_path())
            return true;
    }
}

FilterInstaller::FilterInstaller(std::string root, std::span<const uint8_t> image,
                                 std::string sievrad_path)
    : root_(std::move(root)), image_(image), sievrad_path_(std::move(sievrad_path)) {
    while (!root_.empty() && root_.back() == '/')
        root_.pop_back();
}

bool FilterInstaller::IsFilterInstalled() const {
    std::string path, text, error;
    bool exists = false;
    return ResolvePreload(path, error) && ReadFile(path, text, exists, error) &&
           FirstEntry(text) == kLibraryPath;
}

int FilterInstaller::InstallFilter(std::vector<std::string>& messages) {
    // Every failure leaves the system as it was, with the panel's message and the reason kept
    // for whoever can show more than a message box.
    failure_reason_.clear();
    auto fail = [this, &messages](const std::string& reason) {
        messages.push_back("创建驱动文件失败!!");
        failure_reason_ = reason;
        return 0;
    };
    std::string error;
    const comm::UniqueFd lock = LockInstallation(root_ + kLockPath, error);
    if (!lock.valid())
        return fail(error);
    RemoveLeftovers();

    // The library goes in under a temporary name and replaces the old one by a rename: every
    // running program may have the old one mapped, and a broken library must never take its
    // place.
    const std::string library = LibraryFile();
    if (!MakeDirectories(fs::path(library).parent_path().string(), error))
        return fail(error);
    std::optional<StagedFile> staged = StagedFile::Write(
        library, {reinterpret_cast<const char*>(image_.data()), image_.size()}, 0644, error);
    if (!staged)
        return fail(error);
    std::string reason;
    if (!ProgramStartsWithPreload(staged->OpenablePath(), reason)) {
        messages.push_back("驱动文件不能加载,没有安装!!\r\n" + reason);
        return 0;
    }

    // The unit first: a unit whose library is not yet in place starts a host nobody talks to,
    // and taking it out again is a removal, which does not fail for want of space.
    bool unit_written = false;
    bool unit_enabled = false;
    if (!WriteUnit(unit_written, error) || !EnableUnit(unit_enabled, error)) {
        if (unit_written)
            ::unlink(UnitFile().c_str());
        return fail(error);
    }
    auto undo_unit = [&] {
        if (unit_enabled)
            ::unlink((root_ + kWantsPath).c_str());
        if (unit_written)
            ::unlink(UnitFile().c_str());
    };

    // The library that was there before keeps a second name until the preload line is written,
    // so that a failure can put it back.
    std::string earlier;
    struct stat st {};
    if (::lstat(library.c_str(), &st) == 0) {
        earlier = LinkToTemporaryName(library, library, error);
        if (earlier.empty()) {
            undo_unit();
            return fail(error);
        }
    }
    auto drop_earlier = [&] {
        if (!earlier.empty())
            ::unlink(earlier.c_str());
    };
    if (!staged->Commit(error)) {
        drop_earlier();
        undo_unit();
        return fail(error);
    }
    if (!UpdatePreload(true, error)) {
        // The preload file is as it was, so the library goes back to what it was too.
        if (earlier.empty())
            ::unlink(library.c_str());
        else
            ::rename(earlier.c_str(), library.c_str());
        undo_unit();
        return fail("Can't create " + PreloadFile() + ": " + error);
    }
    drop_earlier();
    return 1;
}

bool FilterInstaller::RemoveFilter(std::string& error, std::string* unit_note) {
    const comm::UniqueFd lock = LockInstallation(root_ + kLockPath, error);
    if (!lock.valid())
        return false;
    RemoveLeftovers();
    // The preload line goes first: a line naming a library that is gone makes the loader
    // complain in every program started afterwards. When the line cannot be taken out, the
    // library stays where the line points.
    if (!UpdatePreload(false, error))
        return false;
    if (::unlink(LibraryFile().c_str()) != 0 && errno != ENOENT) {
        error = "remove " + LibraryFile() + ": " + ErrnoText();
        return false;
    }
    // The host goes with the library it serves: it no longer starts at boot.
    std::string note = DisableUnit();
    if (unit_note != nullptr)
        *unit_note = std::move(note);
    return true;
}

bool FilterInstaller::ResolvePreload(std::string& path, std::string& error) const {
    // A link is read as the installed system's loader reads it: a target starting with / lies
    // under the root.
    path = PreloadFile();
    for (int depth = 0; depth < kMaxLinks; ++depth) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (status.type() != fs::file_type::symlink)
            return true;  // what is there (nothing, a file, or something that will not read)
        const fs::path target = fs::read_symlink(path, ec);
        if (ec) {
            error = "read link " + path + ": " + ec.message();
            return false;
        }
        path = (target.is_absolute() ? fs::path(root_ + target.string())
                                     : fs::path(path).parent_path() / target)
                   .lexically_normal()
                   .string();
    }
    error = PreloadFile() + ": " + std::strerror(ELOOP);
    return false;
}

void FilterInstaller::RemoveLeftovers() const {
    RemoveLeftoverTemporaries(LibraryFile());
    RemoveLeftoverTemporaries(UnitFile());
    std::string path, error;
    if (ResolvePreload(path, error))
        RemoveLeftoverTemporaries(path);
}

bool FilterInstaller::UpdatePreload(bool ours_first, std::string& error) const {
    std::string path, text;
    bool exists = false;
    if (!ResolvePreload(path, error) || !ReadFile(path, text, exists, error))
        return false;
    bool found = false;
    const std::string others = TextWithout(text, kLibraryPath, found);
    std::string updated;
    if (ours_first) {
        updated = std::string(kLibraryPath) + "\n" + others;
    } else {
        if (!found)
            return true;  // nothing of ours: the file stays as it is
        // With nothing else in it the file goes, unless it is reached through a link, which
        // then keeps leading to a file, empty or with blank lines only.
        if (others.find_first_not_of(" \t\n") == std::string::npos && path == PreloadFile()) {
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                error = "remove " + path + ": " + ErrnoText();
                return false;
            }
            return true;
        }
        updated = others;
    }
    if (exists && updated == text)
        return true;
    if (path == PreloadFile() && !MakeDirectories(fs::path(path).parent_path().string(), error))
        return false;
    return WriteFileAtomically(path, updated, 0644, error);
}

bool FilterInstaller::WriteUnit(bool& written, std::string& error) const {
    written = false;
    const std::string unit = UnitFile();
    std::error_code ec;
    if (fs::exists(fs::symlink_status(unit, ec)))
        return true;  // written by an earlier installation or by the administrator: left as it is
    // The path goes into the unit file as it stands: one that systemd would read differently
    // (spaces, quotes, a line end that starts a new setting) is refused.
    if (sievrad_path_.empty() || sievrad_path_.front() != '/' ||
        sievrad_path_.find_first_of(" \t\r\n\"'\\;$%") != std::string::npos) {
        error = "the driver host's path cannot go into " + UnitFile() + ": " + sievrad_path_;
        return false;
    }
    // The unit runs it as root at every boot: a program (or a folder on its way) that someone
    // else could replace would run their code as root.
    if (!IsRootsPlace(sievrad_path_)) {
        error =
            "the driver host " + sievrad_path_ + " is not root's alone: others could replace it";
        return false;
    }
    // The sockets are the dialout group's as well as root's: the programs that use serial ports
    // run as users of that group, and their attachment must reach the host (with the owner's
    // sockets alone, only root's programs would be watched).
    std::ostringstream text;
    text << "[Unit]\n"
            "Description=Sievra serial filter driver host\n"
            "\n"
            "[Service]\n"
            "ExecStart="
         << sievrad_path_
         << " --runtime-dir /run/sievra --group dialout\n"
            "RuntimeDirectory=sievra\n"
            "Restart=on-failure\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n";
    if (!MakeDirectories(fs::path(unit).parent_path().string(), error))
        return false;
    if (!WriteFileAtomically(unit, text.str(), 0644, error)) {
        error = "Can't create " + unit + ": " + error;
        return false;
    }
    written = true;
    return true;
}

bool FilterInstaller::EnableUnit(bool& enabled, std::string& error) const {
    // Enabled as systemctl enable does it, so the host starts with the next boot; a unit that is
    // enabled already (the link there, whatever it names) is left as it is.
    enabled = false;
    const std::string wants = root_ + kWantsPath;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(wants, ec)))
        return true;
    if (!MakeDirectories(fs::path(wants).parent_path().string(), error))
        return false;
    if (::symlink(kUnitPath, wants.c_str()) != 0) {
        error = "Can't create " + wants + ": " + ErrnoText();
        return false;
    }
    enabled = true;
    return true;
}

std::string FilterInstaller::DisableUnit() const {
    // Disabled as systemctl disable does it: the link an installation made goes. Anything else
    // in its place is the administrator's, and stays.
    const std::string wants = root_ + kWantsPath;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(wants, ec);
    if (!fs::exists(status))
        return {};
    if (status.type() != fs::file_type::symlink || fs::read_symlink(wants, ec) != kUnitPath)
        return "the driver host stays enabled: " + wants +
               " is not the link the installation made, and is left as it is";
    if (::unlink(wants.c_str()) != 0)
        return "the driver host stays enabled: cannot remove " + wants + ": " + ErrnoText();
    return {};
}

namespace {
FilterInstaller SystemInstaller() {
    return FilterInstaller(FilterInstaller::SysRoot(), EmbeddedDriverImage(),
                           FilterInstaller::DefaultSievradPath());
}
}  // namespace

bool IsFilterInstalled() {
    return SystemInstaller().IsFilterInstalled();
}

int InstallFilter(std::vector<std::string>& messages) {
    return SystemInstaller().InstallFilter(messages);
}

void RemoveFilter() {
    std::string error;
    SystemInstaller().RemoveFilter(error);  // the panel reports no failure of removal
}

std::string NotRestartedMessage(const std::string& root) {
    return "驱动安装在 " + root + " 下, 不是本机的系统, 没有重新启动计算机.";
}

void RestartComputer(Rebooter& rebooter, const std::string& root,
                     std::vector<std::string>& messages) {
    if (!root.empty()) {
        messages.push_back(NotRestartedMessage(root));
        return;
    }
    std::string failed_step;
    if (!rebooter.Reboot(failed_step))
        messages.push_back("Reboot Error: " + failed_step);
}

}  // namespace porvane::install
