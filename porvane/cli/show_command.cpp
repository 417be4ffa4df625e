#include "porvane/cli/show_command.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "driver/sievra_protocol.h"
#include "porvane/capture/serial_capture_reader.h"
#include "porvane/cli/exit_status.h"
#include "porvane/cli/output_watch.h"
#include "porvane/cli/record_output.h"

namespace porvane::cli {
namespace {

// The latest time a stamp can show (the clock's range ends in 2262): a hostile file's later
// times are shown as this.
constexpr uint64_t kLatestUs = 9'000'000'000'000'000;

// One driver record (header and data) in buffer.
monitor::MonitorRecord RecordOf(std::vector<uint8_t>& buffer, uint32_t kind, uint32_t code,
                                const uint8_t* data, size_t length) {
    buffer.assign(sievra::kRecordHeaderSize, 0);
    buffer[0] = sievra::kMonitorTag;
    sievra::PutLe32(buffer.data() + 1, kind);
    sievra::PutLe32(buffer.data() + 5, code);
    sievra::PutLe32(buffer.data() + 9, static_cast<uint32_t>(length));
    buffer.insert(buffer.end(), data, data + length);
    return {sievra::kMonitorTag, kind, code, static_cast<uint32_t>(length),
            buffer.data() + sievra::kRecordHeaderSize};
}

}  // namespace

int RunShowCommand(const ShowOptions& options, std::FILE* out, std::FILE* err) {
    const bool from_stdin = options.file == "-";
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        from_stdin ? nullptr : std::fopen(options.file.c_str(), "rbe"), std::fclose);
    if (!from_stdin && !file) {
        std::fprintf(err, "porvane-cli: cannot open the capture %s: %s\n", options.file.c_str(),
                     std::strerror(errno));
        return kExitCaptureUnreadable;
    }
    capture::SerialCaptureReader reader(from_stdin ? stdin : file.get());
    RecordOutput records(out, {options.hex, options.data_only, options.stamp,
                               options.json ? RecordFormat::kJson : RecordFormat::kText, true, true,
                               options.decoder});
    std::set<std::string> ports;
    std::vector<uint8_t> buffer;
    capture::SerialCall call;
    capture::SerialCaptureReader::Result result;
    while ((result = reader.Next(call)) == capture::SerialCaptureReader::Result::kCall) {
        // A port's records start with the process of its first call, as watch's did.
        if (ports.insert(call.port).second)
            records.SetDefaultProcess({call.process.pid, call.process.name});
        const auto when = std::chrono::system_clock::time_point(
            std::chrono::microseconds(std::min(call.time_us, kLatestUs)));
        if (call.error != 0) {
            uint8_t error[4];
            sievra::PutLe32(error, call.error);
            records.WriteRecord(call.port,
                                RecordOf(buffer, sievra::kKindDeviceControl,
                                         sievra::IOCTL_SIEVRA_CALL_FAILED, error, sizeof error),
                                when);
        }
        records.WriteRecord(
            call.port, RecordOf(buffer, call.kind, call.code, call.data.data(), call.data.size()),
            when);
        if (records.failed())
            break;
    }
    if (!records.failed())
        records.WriteSummary();
    // A reader that went away (| head) ends show quietly.
    if (records.failed() && OutputClosed(fileno(out)))
        return 0;
    if (records.failed()) {
        std::fprintf(err, "porvane-cli: writing the output failed: %s\n", std::strerror(errno));
        return kExitFileNotWritten;
    }
    if (result == capture::SerialCaptureReader::Result::kFault) {
        std::fprintf(err, "porvane-cli: %s: %s\n",
                     from_stdin ? "standard input" : options.file.c_str(), reader.fault().c_str());
        return kExitCaptureUnreadable;
    }
    return 0;
}

}  // namespace porvane::cli
