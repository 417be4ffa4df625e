#include "porvane/cli/monitor_command.h"

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "driver/sievra_protocol.h"
#include "porvane/cli/capture_file.h"
#include "porvane/cli/exit_status.h"
#include "porvane/cli/open_port_link.h"
#include "porvane/cli/record_output.h"
#include "porvane/cli/record_printer.h"
#include "porvane/cli/stop_watcher.h"
#include "porvane/monitor/driver_link.h"

namespace porvane::cli {

int RunMonitorCommand(const MonitorOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    const std::unique_ptr<capture::SerialCaptureWriter> capture_file =
        options.capture.empty() ? nullptr
                                : OpenCaptureFile(options.capture, "porvane-cli monitor", err);
    if (!options.capture.empty() && !capture_file)
        return kExitFileNotWritten;
    // A port named twice (or by a link to it as well) is monitored once, under its first name:
    // its control device takes one client.
    std::vector<std::string> ports;
    std::vector<int> indexes;
    for (const std::string& port : options.ports) {
        const int index = PortListIndex(port);
        const auto same = std::find(indexes.begin(), indexes.end(), index);
        if (index >= 0 && same != indexes.end()) {
            std::fprintf(err, "porvane-cli: %s and %s name the same port: monitored once\n",
                         ports[static_cast<size_t>(same - indexes.begin())].c_str(), port.c_str());
            continue;
        }
        ports.push_back(port);
        indexes.push_back(index);
    }
    std::vector<std::unique_ptr<monitor::DriverLink>> links;
    std::string names;
    for (const std::string& port : ports) {
        links.push_back(std::make_unique<monitor::DriverLink>());
        if (const int code = OpenPortLink(port, sievra::kLinkModeMonitor, "不能开始监视,驱动失败!!",
                                          *links.back(), err))
            return code;
        names += (names.empty() ? "" : ", ") + port;
    }
    std::fprintf(err, "porvane-cli: monitoring %s\n", names.c_str());
    std::fflush(err);
    // A signal closes the links, which ends the blocked reads.
    StopWatcher watcher(
        stop_fd,
        [&links] {
            for (auto& link : links)
                link->Close();
        },
        fileno(out));
    const bool print = options.capture.empty() || options.print;
    RecordOutput records(out, {options.hex, options.data_only, options.stamp, RecordFormat::kText,
                               ports.size() > 1, print, options.decoder, true});
    records.SetCapture(capture_file.get());
    records.StartTimer();
    std::vector<std::thread> readers;
    for (size_t i = 0; i < links.size(); ++i) {
        readers.emplace_back([&records, &link = *links[i], &port = ports[i]] {
            std::vector<uint8_t> buffer(4096);
            for (;;) {
                const uint32_t count = link.Read(buffer.data(), 4096);
                if (count == 0 && !link.IsOpen())
                    break;
                records.Write(port, buffer.data(), count);
            }
        });
    }
    for (std::thread& reader : readers)
        reader.join();
    records.Flush();
    if (ReportCaptureError(options.capture, records.CaptureError(), err))
        return kExitFileNotWritten;
    if (watcher.stopped())
        return 0;
    std::fprintf(err, "porvane-cli: the filter driver's host went away\n");
    return 1;
}

}  // namespace porvane::cli
