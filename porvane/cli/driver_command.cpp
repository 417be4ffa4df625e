#include "porvane/cli/driver_command.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "porvane/cli/exit_status.h"
#include "porvane/install/driver_image.h"
#include "porvane/install/filter_installer.h"

namespace porvane::cli {
namespace {

// The program the unit file starts (the first word of its ExecStart line); empty when the unit
// has none.
std::string UnitHost(const std::string& unit_file) {
    std::ifstream unit(unit_file);
    std::string line;
    constexpr std::string_view kKey = "ExecStart=";
    while (std::getline(unit, line)) {
        if (line.rfind(kKey, 0) == 0)
            return line.substr(kKey.size(), line.find(' ') - kKey.size());
    }
    return {};
}

}  // namespace

int RunDriverCommand(const std::string& action, const std::string& root, std::FILE* out,
                     std::FILE* err) {
    install::FilterInstaller installer(root.empty() ? install::FilterInstaller::SysRoot() : root,
                                       install::EmbeddedDriverImage(),
                                       install::FilterInstaller::DefaultSievradPath());
    if (action == "status") {
        const bool installed = installer.IsFilterInstalled();
        std::fprintf(out, "%s\n",
                     installed ? "监视/过滤驱动程序已经安装!!!" : "监视过滤驱动程序没有安装!!!");
        return installed ? kExitDone : kExitDriverNotInstalled;
    }
    if (action == "install") {
        std::vector<std::string> messages;
        const int installed = installer.InstallFilter(messages);
        for (const std::string& message : messages)
            std::fprintf(err, "%s\n", message.c_str());
        if (!installer.failure_reason().empty())
            std::fprintf(err, "%s\n", installer.failure_reason().c_str());
        // The restart request only when everything was installed.
        if (installed == 0 || !messages.empty())
            return kExitDriverNotChanged;
        std::fprintf(out, "监视/过滤驱动程序已经安装,请重新启动计算机!!!\n");
        // A unit whose host is not there starts nothing at boot, and every program would pass
        // straight through unwatched: say so while it can still be mended.
        const std::string unit = installer.UnitFile();
        const std::string root_folder = unit.substr(
            0, unit.size() - std::string_view(install::FilterInstaller::kUnitPath).size());
        const std::string host = UnitHost(unit);
        std::error_code ec;
        if (!host.empty() && !std::filesystem::exists(root_folder + host, ec)) {
            std::fprintf(err,
                         "porvane-cli: warning: %s starts %s, which is not installed: install the "
                         "programs (cmake --install, or the package) before the restart\n",
                         unit.c_str(), host.c_str());
        }
        return kExitDone;
    }
    std::string error;
    std::string unit_note;
    if (!installer.RemoveFilter(error, &unit_note)) {
        std::fprintf(err, "porvane-cli: the filter driver was not removed: %s\n", error.c_str());
        return kExitDriverNotChanged;
    }
    std::fprintf(out, "监视/过滤驱动程序已经删除,请重新启动计算机!!!\n");
    if (!unit_note.empty())
        std::fprintf(err, "porvane-cli: warning: %s\n", unit_note.c_str());
    return kExitDone;
}

}  // namespace porvane::cli
