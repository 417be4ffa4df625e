#include "porvane/cli/monitor_command.h"

#include <thread>
#include <vector>

#include "driver/sievra_protocol.h"
#include "porvane/cli/record_printer.h"
#include "porvane/cli/stop_watcher.h"
#include "porvane/monitor/driver_link.h"

namespace porvane::cli {

int RunMonitorCommand(const MonitorOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    const int index = PortListIndex(options.port);
    if (index < 0) {
        std::fprintf(err, "porvane-cli: %s is not a serial port of the device map\n",
                     options.port.c_str());
        return 2;
    }
    monitor::DriverLink link;
    if (!link.Open(index)) {
        std::fprintf(err, "不能开始监视,驱动失败!!\n(no filter control device Sievr%d in %s)\n",
                     index + 1, monitor::DriverLink::RuntimeDir().c_str());
        return 1;
    }
    link.SetMode(sievra::kLinkModeMonitor);
    std::fprintf(err, "porvane-cli: monitoring %s\n", options.port.c_str());
    std::fflush(err);
    // A signal closes the link, which ends the blocked read.
    StopWatcher watcher(stop_fd, [&link] { link.Close(); });
    std::vector<uint8_t> buffer(4096);
    for (;;) {
        const uint32_t count = link.Read(buffer.data(), 4096);
        if (count == 0 && !link.IsOpen())
            break;
        PrintRecords(out, buffer.data(), count, options.hex, options.data_only, "");
    }
    if (watcher.stopped())
        return 0;
    std::fprintf(err, "porvane-cli: the filter driver's host went away\n");
    return 1;
}

}  // namespace porvane::cli
