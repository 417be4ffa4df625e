#include "porvane/cli/record_printer.h"

#include <algorithm>
#include <vector>

#include "driver/sievra_protocol.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/devicemap/device_map.h"
#include "porvane/monitor/monitor_decoder.h"
#include "porvane/monitor/monitor_record.h"
#include "porvane/serial/port_list_fill.h"

namespace porvane::cli {
namespace {

void PrintLines(std::FILE* out, const std::string& text, const std::string& prefix) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::fprintf(out, "%s%s\n", prefix.c_str(), line.c_str());
        start = end + 1;
    }
}

class NameList : public serial::PortListTarget, public serial::DiscoveryUi {
  public:
    void AddString(const std::string& text) override { names.push_back(text); }
    int Count() const override { return static_cast<int>(names.size()); }
    void ShowMessage(const std::string&) override {}
    void RequestQuit(int) override {}
    std::vector<std::string> names;
};

}  // namespace

void PrintRecords(std::FILE* out, const uint8_t* buffer, size_t count, bool hex, bool data_only,
                  const std::string& prefix) {
    monitor::WalkRecords(buffer, count, [&](const monitor::MonitorRecord& r) {
        const uint8_t* record = r.data - sievra::kRecordHeaderSize;
        const size_t size = sievra::kRecordHeaderSize + r.length;
        if (r.kind == sievra::kKindDeviceControl) {
            // What the driver could not watch is printed in either mode; a break, which the
            // page leaves out, is printed on the command line, where it is often what is
            // being debugged.
            if (r.code == sievra::IOCTL_SIEVRA_BYPASS_REPORT) {
                PrintLines(out, monitor::BypassText(r.data, r.length), prefix);
            } else if (data_only) {
                return;
            } else if (r.code == comm::IOCTL_SERIAL_SET_BREAK_ON) {
                PrintLines(out, "设置Break: 开始发送Break信号", prefix);
            } else if (r.code == comm::IOCTL_SERIAL_SET_BREAK_OFF) {
                PrintLines(out, "清除Break: 停止发送Break信号", prefix);
            } else {
                PrintLines(
                    out,
                    monitor::DecodeRecords(record, size, monitor::ContentMode::kAllInfo, hex).lower,
                    prefix);
            }
            return;
        }
        if (!data_only) {
            PrintLines(
                out,
                monitor::DecodeRecords(record, size, monitor::ContentMode::kAllInfo, hex).lower,
                prefix);
            return;
        }
        if (r.kind != sievra::kKindRead && r.kind != sievra::kKindWrite)
            return;
        const monitor::MonitorOutput text =
            monitor::DecodeRecords(record, size, monitor::ContentMode::kDataOnly, hex);
        if (r.kind == sievra::kKindWrite)
            std::fprintf(out, "%sW %s\n", prefix.c_str(), text.upper.c_str());
        else
            std::fprintf(out, "%sR %s\n", prefix.c_str(), text.lower.c_str());
    });
    std::fflush(out);
}

int PortListIndex(const std::string& name) {
    NameList list;
    serial::PortListFill(list, list);
    // The name as listed, or a device name of the map (ttyS0) standing for its port.
    std::string port = name;
    if (std::find(list.names.begin(), list.names.end(), name) == list.names.end()) {
        if (const auto map = devicemap::ReadDeviceMap()) {
            for (const auto& entry : map->entries) {
                if (entry.device == name)
                    port = entry.port;
            }
        }
    }
    for (size_t i = 0; i < list.names.size(); ++i) {
        if (list.names[i] == port)
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace porvane::cli
