#include "porvane/install/filter_installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "porvane/install/atomic_file.h"
#include "porvane/install/driver_image.h"
#include "porvane/install/preload_check.h"
#include "porvane/install/rebooter.h"

namespace porvane::install {
namespace {

namespace fs = std::filesystem;

std::string Trimmed(const std::string& line) {
    const size_t begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    const size_t end = line.find_last_not_of(" \t\r");
    return line.substr(begin, end - begin + 1);
}

// The lines of a file; empty when it cannot be read.
std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool MakeDirectories(const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec);
}

// Writes bytes to a new temporary file in dir; returns its path, or empty on failure.
std::string WriteTemporary(const std::string& dir, std::span<const uint8_t> bytes) {
    std::string temp = dir + "/.libsievra.so.XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return {};
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(temp.c_str());
        return {};
    }
    return temp;
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
    if (!ec) {
        const fs::path beside = self.parent_path() / "sievrad";
        if (::access(beside.c_str(), X_OK) == 0)
            return beside.string();
    }
    return "/usr/local/bin/sievrad";
}

FilterInstaller::FilterInstaller(std::string root, std::span<const uint8_t> image,
                                 std::string sievrad_path)
    : root_(std::move(root)), image_(image), sievrad_path_(std::move(sievrad_path)) {
    while (!root_.empty() && root_.back() == '/')
        root_.pop_back();
}

bool FilterInstaller::IsFilterInstalled() const {
    const std::vector<std::string> lines = ReadLines(PreloadFile());
    return !lines.empty() && Trimmed(lines.front()) == kLibraryPath;
}

int FilterInstaller::InstallFilter(std::vector<std::string>& messages) {
    // The library goes in under a temporary name and replaces the old one by a rename: every
    // running program may have the old one mapped, and a broken library must never take its
    // place.
    const std::string library = LibraryFile();
    const std::string dir = fs::path(library).parent_path().string();
    const std::string temp = MakeDirectories(dir) ? WriteTemporary(dir, image_) : std::string();
    if (temp.empty()) {
        messages.push_back("创建驱动文件失败!!");
        return 0;
    }
    std::string reason;
    if (!ProgramStartsWithPreload(temp, reason)) {
        ::unlink(temp.c_str());
        messages.push_back("驱动文件不能加载,没有安装!!\r\n" + reason);
        return 0;
    }
    if (::rename(temp.c_str(), library.c_str()) != 0) {
        ::unlink(temp.c_str());
        messages.push_back("创建驱动文件失败!!");
        return 0;
    }
    std::string error;
    if (!UpdatePreload(true, error))
        messages.push_back("Can't create " + PreloadFile() + ": " + error);
    WriteUnit(messages);
    return 1;
}

bool FilterInstaller::RemoveFilter(std::string& error) {
    // The preload line goes first: a line naming a library that is gone makes the loader
    // complain in every program started afterwards. When the line cannot be taken out, the
    // library stays where the line points.
    if (!UpdatePreload(false, error))
        return false;
    if (::unlink(LibraryFile().c_str()) != 0 && errno != ENOENT) {
        error = "remove " + LibraryFile() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool FilterInstaller::UpdatePreload(bool ours_first, std::string& error) const {
    const std::string path = PreloadFile();
    std::vector<std::string> kept;
    for (const std::string& line : ReadLines(path)) {
        if (Trimmed(line) != kLibraryPath)
            kept.push_back(line);
    }
    bool others = false;
    for (const std::string& line : kept)
        others = others || !Trimmed(line).empty();
    if (!ours_first && !others) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = std::strerror(errno);
            return false;
        }
        return true;
    }
    std::string text;
    if (ours_first)
        text = std::string(kLibraryPath) + "\n";
    for (const std::string& line : kept)
        text += line + "\n";
    if (!MakeDirectories(fs::path(path).parent_path().string())) {
        error = std::strerror(errno);
        return false;
    }
    return WriteFileAtomically(path, text, 0644, error);
}

void FilterInstaller::WriteUnit(std::vector<std::string>& messages) const {
    const std::string unit = UnitFile();
    std::error_code ec;
    if (fs::exists(unit, ec))
        return;  // written by an earlier installation or by the administrator: left as it is
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
    std::string error;
    if (!MakeDirectories(fs::path(unit).parent_path().string()) ||
        !WriteFileAtomically(unit, text.str(), 0644, error)) {
        messages.push_back("Can't create " + unit + (error.empty() ? "" : ": " + error));
        return;
    }
    // Enabled as systemctl enable does it, so the host starts with the next boot.
    const std::string wants = root_ + kWantsPath;
    fs::create_directories(fs::path(wants).parent_path(), ec);
    fs::remove(wants, ec);
    if (::symlink(kUnitPath, wants.c_str()) != 0)
        messages.push_back("Can't create " + wants + ": " + std::strerror(errno));
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
