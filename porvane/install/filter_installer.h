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
    // The driver host the unit file starts: sievrad beside this program, else
    // /usr/local/bin/sievrad.
    static std::string DefaultSievradPath();

    // image must outlive the installer.
    FilterInstaller(std::string root, std::span<const uint8_t> image, std::string sievrad_path);

    std::string LibraryFile() const { return root_ + kLibraryPath; }
    std::string PreloadFile() const { return root_ + kPreloadPath; }
    std::string UnitFile() const { return root_ + kUnitPath; }

    // True when the first line of ld.so.preload names the library.
    bool IsFilterInstalled() const;
    // Writes the library, checks that a program starts with it preloaded, puts its line first
    // in ld.so.preload (other lines kept) and writes the unit file when there is none. Returns 1
    // when the library was written and loads; 0 otherwise, with nothing left changed.
    int InstallFilter(std::vector<std::string>& messages);
    // Takes the library's line out of ld.so.preload (the file goes when no line is left), then
    // deletes the library; when the line cannot be taken out the library stays. The unit file
    // stays, as a later installation expects. False with error saying what failed.
    bool RemoveFilter(std::string& error);

  private:
    bool UpdatePreload(bool ours_first, std::string& error) const;
    void WriteUnit(std::vector<std::string>& messages) const;

    std::string root_;
    std::span<const uint8_t> image_;
    std::string sievrad_path_;
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
