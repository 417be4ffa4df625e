#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace porvane::install {

class Rebooter;

// Installs and removes the filter under a system root: the attachment's image as
// <root>/usr/local/lib/sievra/libsievra.so, named by the first line of <root>/etc/ld.so.preload,
// and the unit file <root>/etc/systemd/system/sievra.service that starts the driver host.
// Messages are UTF-8 texts for message boxes, in the order they arise.
class FilterInstaller {
  public:
    // The library's path on the installed system (the preload line).
    static constexpr const char* kLibraryPath = "/usr/local/lib/sievra/libsievra.so";
    static constexpr const char* kPreloadPath = "/etc/ld.so.preload";
    static constexpr const char* kUnitPath = "/etc/systemd/system/sievra.service";
    static constexpr const char* kWantsPath =
        "/etc/systemd/system/multi-user.target.wants/sievra.service";

    // $SIEVRA_SYSROOT, default "/".
    static std::string SysRoot();
    // The driver host the unit file starts, which runs as root at every boot: the sievrad
    // installed beside the program in program_folder (by default this program's folder) when
    // that is an installation only root can change, else sievrad in the folder the build
    // installs its programs to. A build folder is never an installation, even one of root's.
    static std::string DefaultSievradPath();
    static std::string DefaultSievradPath(const std::string& program_folder);
    // True when only root can replace the program at path: an executable regular file of root's
    // that no one else may write, in folders of root's that no one else may write, named with
    // characters a unit file takes as they stand.
    static bool IsRootsProgram(const std::string& path);
    // True when only root can put a program at path: IsRootsProgram, or nothing there yet and
    // every folder on the way that exists is root's and no one else may write it.
    static bool IsRootsPlace(const std::string& path);

    // image must outlive the installer.
    FilterInstaller(std::string root, std::span<const uint8_t> image, std::string sievrad_path);

    std::string LibraryFile() const { return root_ + kLibraryPath; }
    std::string PreloadFile() const { return root_ + kPreloadPath; }
    std::string UnitFile() const { return root_ + kUnitPath; }

    // True when the library is the first entry of ld.so.preload, the one the loader preloads
    // first. Entries are parted by spaces, tabs, colons and line ends; "#" starts a comment that
    // runs to the end of its line.
    bool IsFilterInstalled() const;
    // Writes the library, checks that a program starts with it preloaded, writes the unit file
    // when there is none and puts the library's line first in ld.so.preload (our entry taken
    // out of other lines, everything else kept). Returns 1 when all of it is done, with no
    // message; 0 otherwise, with messages saying why and the system as it was before.
    int InstallFilter(std::vector<std::string>& messages);
    // Why the last InstallFilter failed, when its message was "创建驱动文件失败!!".
    const std::string& failure_reason() const { return failure_reason_; }
    // Takes the library's entry out of ld.so.preload (the file goes when nothing but blank
    // lines is left), deletes the library, then disables the driver host's unit (takes out the
    // link an installation made; the unit file stays for a later installation, which enables it
    // again). When the entry cannot be taken out the library stays. False with error saying
    // what failed. unit_note (when given) says why the unit stays enabled, empty when it does
    // not.
    bool RemoveFilter(std::string& error, std::string* unit_note = nullptr);

    // Installations and removals, from any process, take turns on a lock in the root's /etc,
    // and each first removes the temporaries a killed one left behind. A preload file that is
    // a symbolic link stays one: the file it leads to (a target starting with / read under the
    // root) is read and rewritten.

  private:
    // The preload file, symbolic links followed.
    bool ResolvePreload(std::string& path, std::string& error) const;
    bool UpdatePreload(bool ours_first, std::string& error) const;
    // Writes the unit when there is none; written says whether it did.
    bool WriteUnit(bool& written, std::string& error) const;
    // Enables the unit when it is not; enabled says whether it did.
    bool EnableUnit(bool& enabled, std::string& error) const;
    // Disables the unit the installation enabled; says why not (empty when done or when the
    // unit was not enabled).
    std::string DisableUnit() const;
    void RemoveLeftovers() const;

    std::string root_;
    std::span<const uint8_t> image_;
    std::string sievrad_path_;
    std::string failure_reason_;
};

// The same operations on $SIEVRA_SYSROOT with the embedded image.
bool IsFilterInstalled();
int InstallFilter(std::vector<std::string>& messages);
void RemoveFilter();

// The message when the filter was installed under a system root that is not this machine's.
std::string NotRestartedMessage(const std::string& root);

// Asks rebooter to restart the machine; on failure adds a message naming the failed step. root is
// the system root as SysRoot gives it: under any root other than "/" (root not empty) the
// installation is not this machine's, so nothing is asked and NotRestartedMessage is added.
void RestartComputer(Rebooter& rebooter, const std::string& root,
                     std::vector<std::string>& messages);

}  // namespace porvane::install
