#include "porvane/cli/driver_command.h"

#include <vector>

#include "porvane/install/driver_image.h"
#include "porvane/install/filter_installer.h"

namespace porvane::cli {

int RunDriverCommand(const std::string& action, const std::string& root, std::FILE* out,
                     std::FILE* err) {
    install::FilterInstaller installer(root.empty() ? install::FilterInstaller::SysRoot() : root,
                                       install::EmbeddedDriverImage(),
                                       install::FilterInstaller::DefaultSievradPath());
    if (action == "status") {
        const bool installed = installer.IsFilterInstalled();
        std::fprintf(out, "%s\n",
                     installed ? "监视/过滤驱动程序已经安装!!!" : "监视过滤驱动程序没有安装!!!");
        return installed ? 0 : 1;
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
            return 1;
        std::fprintf(out, "监视/过滤驱动程序已经安装,请重新启动计算机!!!\n");
        return 0;
    }
    std::string error;
    if (!installer.RemoveFilter(error)) {
        std::fprintf(err, "porvane-cli: the filter driver was not removed: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(out, "监视/过滤驱动程序已经删除,请重新启动计算机!!!\n");
    return 0;
}

}  // namespace porvane::cli
