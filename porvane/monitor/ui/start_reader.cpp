#include "porvane/monitor/ui/start_reader.h"

#include <QMetaObject>
#include <QString>
#include <system_error>
#include <vector>

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

void ReadRecords(QObject* page, DriverLink& link, const std::atomic<bool>& running,
                 std::function<void()> stop,
                 const std::function<void(const uint8_t* records, uint32_t length)>& take) {
    std::vector<uint8_t> buffer(4096);
    for (;;) {
        const uint32_t count = link.Read(buffer.data(), 4096);
        if (!running)
            return;
        if (count > 0) {
            take(buffer.data(), count);
        } else if (!link.IsOpen()) {
            QMetaObject::invokeMethod(
                page,
                [&link, stop = std::move(stop)] {
                    if (!link.IsOpen())
                        stop();
                },
                Qt::QueuedConnection);
            return;
        }
    }
}

}  // namespace porvane::monitor
