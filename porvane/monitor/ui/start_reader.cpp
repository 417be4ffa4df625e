#include "porvane/monitor/ui/start_reader.h"

#include <QString>
#include <system_error>

#include "porvane/monitor/driver_link.h"
#include "porvane/widgets/page_base.h"

namespace porvane::monitor {

bool StartReader(QWidget* page, DriverLink& link, std::atomic<bool>& running, std::thread& reader,
                 std::function<void()> loop) {
    running = true;
    try {
        reader = std::thread(std::move(loop));
    } catch (const std::system_error&) {
        running = false;
        link.Close();
        widgets::ShowProgramMessage(page, QString::fromUtf8("读线程启动失败!!"));
        return false;
    }
    return true;
}

}  // namespace porvane::monitor
