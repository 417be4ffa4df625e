#include "porvane/cli/record_output.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <string_view>
#include <tuple>
#include <utility>

#include "driver/sievra_protocol.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/text/gbk.h"
#include "platform/text/hex_text.h"
#include "platform/text/utf8.h"
#include "porvane/monitor/monitor_decoder.h"
#include "porvane/monitor/monitor_record.h"

namespace porvane::cli {
namespace {

using monitor::MonitorRecord;

const char* RequestName(const MonitorRecord& r) {
    switch (r.kind) {
        case sievra::kKindCreate:
            return "open";
        case sievra::kKindClose:
            return "close";
        case sievra::kKindRead:
            return "read";
        case sievra::kKindWrite:
            return "write";
        case sievra::kKindDeviceControl:
            if (r.code == sievra::IOCTL_SIEVRA_PROCESS_REPORT)
                return "process";
            if (r.code == sievra::IOCTL_SIEVRA_BYPASS_REPORT)
                return "unwatched";
            if (r.code == sievra::IOCTL_SIEVRA_TERMINAL_FLAGS)
                return "stty";
            return "control";
        default:
            return "other";
    }
}

// Hex data goes this many bytes a line, so that a long read or write is not one line of
// thousands of characters.
constexpr size_t kHexBytesPerLine = 32;

bool IsData(const MonitorRecord& r) {
    return r.kind == sievra::kKindRead || r.kind == sievra::kKindWrite;
}

// A record as the monitor decodes it: its text without the final line end (empty when the
// options leave the record out) and the settings fields it sets.
struct DecodedRecord {
    std::string text;
    monitor::MonitorFields fields;
};

std::string WithoutLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// The bytes of a read or write as text, every one of them: a zero byte is shown (escaped by the
// output) where the monitor page's text ends.
std::string DataText(const MonitorRecord& r) {
    return text::GbkToUtf8(std::string_view(reinterpret_cast<const char*>(r.data), r.length));
}

DecodedRecord Decode(const MonitorRecord& r, bool hex, bool data_only) {
    const uint8_t* record = r.data - sievra::kRecordHeaderSize;
    const size_t size = sievra::kRecordHeaderSize + r.length;
    if (IsData(r) && !hex) {
        const bool write = r.kind == sievra::kKindWrite;
        if (data_only)
            return {(write ? "W " : "R ") + DataText(r), {}};
        return {std::string(write ? "写串口 " : "读串口 ") + std::to_string(r.length) +
                    " bytes: " + DataText(r),
                {}};
    }
    auto all_info = [&] {
        monitor::MonitorOutput decoded =
            monitor::DecodeRecords(record, size, monitor::ContentMode::kAllInfo, hex);
        std::string& text = decoded.lower;
        if (!IsData(r)) {
            text = WithoutLineEnds(std::move(text));
        } else if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
            text.resize(text.size() - 2);  // the decoder's line end; the data's own stay
        }
        return DecodedRecord{std::move(text), std::move(decoded.fields)};
    };
    if (r.kind == sievra::kKindDeviceControl) {
        // What the driver could not watch is told in either mode; a break, which the page leaves
        // out, is told on the command line, where it is often what is being debugged.
        if (r.code == sievra::IOCTL_SIEVRA_BYPASS_REPORT)
            return {monitor::BypassText(r.data, r.length), {}};
        if (data_only)
            return {};
        if (r.code == sievra::IOCTL_SIEVRA_TERMINAL_FLAGS) {
            return {"stty: " + std::string(reinterpret_cast<const char*>(r.data), r.length), {}};
        }
        if (r.code == comm::IOCTL_SERIAL_SET_BREAK_ON)
            return {"设置Break: 开始发送Break信号", {}};
        if (r.code == comm::IOCTL_SERIAL_SET_BREAK_OFF)
            return {"清除Break: 停止发送Break信号", {}};
        return all_info();
    }
    if (!data_only)
        return all_info();
    if (!IsData(r))
        return {};
    const monitor::MonitorOutput text =
        monitor::DecodeRecords(record, size, monitor::ContentMode::kDataOnly, hex);
    return {r.kind == sievra::kKindWrite ? "W " + text.upper : "R " + text.lower, {}};
}

uint32_t Le32(const MonitorRecord& r, uint32_t offset) {
    return r.length >= offset + 4 ? sievra::GetLe32(r.data + offset) : 0;
}

// The record a buffer of one record (header and data) holds.
MonitorRecord RecordIn(const std::vector<uint8_t>& record) {
    return {record[0], sievra::GetLe32(record.data() + 1), sievra::GetLe32(record.data() + 5),
            sievra::GetLe32(record.data() + 9), record.data() + sievra::kRecordHeaderSize};
}

std::chrono::system_clock::time_point TimeOfUs(int64_t us) {
    return std::chrono::system_clock::time_point(std::chrono::microseconds(us));
}

int64_t UsOf(std::chrono::system_clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
}

// "ENOTTY" for an errno value ("error 1234" for one the C library does not name).
std::string ErrorName(uint32_t error) {
    const char* name = ::strerrorname_np(static_cast<int>(error));
    return name != nullptr ? name : "error " + std::to_string(error);
}

// " [failed: ENOTTY, Inappropriate ioctl for device]"
std::string FailureText(uint32_t error) {
    return " [failed: " + ErrorName(error) + ", " + std::strerror(static_cast<int>(error)) + "]";
}

std::string JsonTime(std::chrono::system_clock::time_point when) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(us / 1000000);
    struct tm utc {};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(us % 1000000));
    return text;
}

std::string JsonFields(const monitor::MonitorFields& f) {
    std::string out;
    auto add = [&out](const char* name, const std::string& value) {
        out += (out.empty() ? "{" : ",") + JsonString(name) + ":" + value;
    };
    auto text = [&](const char* name, const std::optional<std::string>& v) {
        if (v)
            add(name, JsonString(*v));
    };
    auto flag = [&](const char* name, const std::optional<bool>& v) {
        if (v)
            add(name, *v ? "true" : "false");
    };
    text("baud", f.baud);
    text("data_bits", f.data_bits);
    text("parity", f.parity);
    text("stop_bits", f.stop_bits);
    flag("cts_out", f.cts_out);
    flag("dsr_out", f.dsr_out);
    flag("dsr_input", f.dsr_input);
    flag("xon_out", f.xon_out);
    flag("xon_in", f.xon_in);
    text("dtr_mode", f.dtr_mode);
    text("rts_mode", f.rts_mode);
    text("xon_limit", f.xon_limit);
    text("xoff_limit", f.xoff_limit);
    text("xon_char", f.xon_char);
    text("xoff_char", f.xoff_char);
    text("read_timeouts", f.read_timeouts);
    text("write_timeouts", f.write_timeouts);
    return out.empty() ? out : out + "}";
}

// The hex digits of the bytes, without spaces: "70696e67".
std::string HexDigits(const uint8_t* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
    }
    return out;
}

}  // namespace

std::string EscapeControls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        const auto c = static_cast<unsigned char>(ch);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // A C1 control in UTF-8 (CSI is one): a terminal would act on it.
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\xc2\\x%02x", next);
            out += escaped;
            ++i;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            const size_t n = text::Utf8SequenceLength(text, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no UTF-8 character
                ++i;
                continue;
            }
            out.append(text, i, n);
            i += n;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

RecordOutput::RecordOutput(std::FILE* out, RecordOutputOptions options)
    : out_(out), options_(std::move(options)), clock_(options_.stamp) {}

RecordOutput::~RecordOutput() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    due_changed_.notify_all();
    if (timer_.joinable())
        timer_.join();
}

std::chrono::system_clock::time_point RecordOutput::Now() const {
    return options_.clock ? options_.clock() : std::chrono::system_clock::now();
}

void RecordOutput::StartTimer() {
    timer_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            const auto due = NextDueLocked();
            if (!due) {
                due_changed_.wait(lock);
            } else if (const auto left = *due - Now(); left > left.zero()) {
                due_changed_.wait_for(lock, left);
            }
            if (!stopping_)
                TickLocked(Now());
        }
    });
}

void RecordOutput::Tick() {
    std::lock_guard lock(mutex_);
    TickLocked(Now());
}

void RecordOutput::TickLocked(std::chrono::system_clock::time_point now) {
    ReleaseLocked(now, false);
    EndSilencesLocked(now, true);
    if (capture_ != nullptr)
        capture_->Flush();
    if (options_.print)
        std::fflush(out_);
}

std::optional<std::chrono::system_clock::time_point> RecordOutput::NextDueLocked() {
    std::optional<std::chrono::system_clock::time_point> due;
    const auto sooner = [&due](std::chrono::system_clock::time_point at) {
        if (!due || at < *due)
            due = at;
    };
    for (const PortTally& tally : tallies_) {
        if (!tally.waiting.empty()) {
            sooner(tally.waiting.front().came + kReorderBound);  // the port's oldest
        } else if (tally.decoder && tally.decoder->SilenceEnds() >= 0) {
            sooner(TimeOfUs(tally.decoder->SilenceEnds()) +
                   (tally.timed ? kReorderBound : kReorderBound.zero()) +
                   std::chrono::microseconds(1));
        }
    }
    return due;
}

void RecordOutput::QueueLocked(const std::string& port, const MonitorRecord& r,
                               std::chrono::system_clock::time_point when,
                               std::chrono::system_clock::time_point now) {
    if (!options_.live) {
        EmitLocked(port, r, when);
        return;
    }
    PortTally& tally = TallyOf(port);
    tally.horizon = std::max(tally.horizon, when);
    const uint8_t* start = r.data - sievra::kRecordHeaderSize;
    tally.waiting.push_back({std::vector<uint8_t>(start, r.data + r.length), when, now, queued_++});
}

void RecordOutput::ReleaseLocked(std::chrono::system_clock::time_point now, bool all) {
    for (;;) {
        // The earliest record held, and when the longest-held one came.
        PortTally* first = nullptr;
        auto oldest = std::chrono::system_clock::time_point::max();
        for (PortTally& tally : tallies_) {
            if (tally.waiting.empty())
                continue;
            const PortTally::Waiting& head = tally.waiting.front();
            oldest = std::min(oldest, head.came);
            if (first == nullptr ||
                std::tie(head.when, head.order) <
                    std::tie(first->waiting.front().when, first->waiting.front().order)) {
                first = &tally;
            }
        }
        if (first == nullptr)
            return;
        const auto when = first->waiting.front().when;
        // Its turn has come when no other stream can still bring an earlier record: one whose
        // records are stamped as they come brings none before now, but one whose call is held
        // for its further pieces may bring that call.
        const bool turn =
            all || oldest + kReorderBound <= now ||
            std::all_of(tallies_.begin(), tallies_.end(), [&](const PortTally& tally) {
                return &tally == first ||
                       ((tally.timed ? tally.horizon : std::max(tally.horizon, now)) >= when &&
                        (tally.held.empty() || tally.held_time >= when));
            });
        if (!turn)
            return;
        PortTally::Waiting next = std::move(first->waiting.front());
        first->waiting.pop_front();
        const std::string port = first->port;
        EmitLocked(port, RecordIn(next.record), next.when);
    }
}

void RecordOutput::EndSilencesLocked(std::chrono::system_clock::time_point before, bool by_clock) {
    for (PortTally& tally : tallies_) {
        // By the clock, a port with records held has its silence ended by the next of them, in
        // its turn; and the host's times come late, so that a record of the port may still be
        // on its way for a while.
        if (!tally.decoder || (by_clock && !tally.waiting.empty()))
            continue;
        const int64_t ends = tally.decoder->SilenceEnds();
        const auto late = by_clock && tally.timed
                              ? std::chrono::system_clock::duration(kReorderBound)
                              : std::chrono::system_clock::duration::zero();
        if (ends < 0 || TimeOfUs(ends) + late + std::chrono::microseconds(1) > before)
            continue;
        const std::string port = tally.port;
        WriteFramesLocked(port, tally.decoder->Quiet(UsOf(before - late)), TimeOfUs(ends));
    }
}

void RecordOutput::ExpectDefaultProcess() {
    std::lock_guard lock(mutex_);
    process_pending_ = true;
}

void RecordOutput::SetDefaultProcess(RecordProcess process) {
    std::lock_guard lock(mutex_);
    default_process_ = std::move(process);
    process_pending_ = false;
    process_known_.notify_all();
}

void RecordOutput::SetDefaultProcessIfPending(RecordProcess process) {
    std::lock_guard lock(mutex_);
    if (!process_pending_)
        return;
    default_process_ = std::move(process);
    process_pending_ = false;
    process_known_.notify_all();
}

RecordOutput::PortTally& RecordOutput::TallyOf(const std::string& port) {
    for (PortTally& tally : tallies_) {
        if (tally.port == port)
            return tally;
    }
    tallies_.push_back({port, default_process_});
    return tallies_.back();
}

void RecordOutput::EmitLocked(const std::string& port, const MonitorRecord& r,
                              std::chrono::system_clock::time_point now) {
    // Frames the line's silence ended before this record come before it.
    EndSilencesLocked(now, false);
    PrintLocked(port, r, now);
    DecodeLocked(TallyOf(port), port, r, now);  // the frames go under the record
}

void RecordOutput::PrintLocked(const std::string& port, const MonitorRecord& r,
                               std::chrono::system_clock::time_point now) {
    const bool json = options_.format == RecordFormat::kJson;
    const std::string prefix = options_.port_prefix ? port + ": " : "";
    PortTally& tally = TallyOf(port);
    tally.recorded = true;
    const bool report =
        r.kind == sievra::kKindDeviceControl && (r.code == sievra::IOCTL_SIEVRA_PROCESS_REPORT ||
                                                 r.code == sievra::IOCTL_SIEVRA_BYPASS_REPORT ||
                                                 r.code == sievra::IOCTL_SIEVRA_TERMINAL_FLAGS ||
                                                 r.code == sievra::IOCTL_SIEVRA_CALL_FAILED);
    if (r.kind == sievra::kKindDeviceControl && r.code == sievra::IOCTL_SIEVRA_CALL_FAILED) {
        tally.failure = Le32(r, 0);  // the next request's
        return;
    }
    // The failure noted for this request, if any.
    const uint32_t failure = report ? 0 : std::exchange(tally.failure, 0);
    if (capture_ != nullptr)
        CaptureLocked(port, r, now, failure, tally.process);
    if (failure != 0)
        ++tally.errors;
    if (!report)
        ++tally.requests;
    if (r.kind == sievra::kKindWrite)
        tally.bytes_written += r.length;
    if (r.kind == sievra::kKindRead)
        tally.bytes_read += r.length;
    if ((r.kind == sievra::kKindCreate || r.kind == sievra::kKindClose) && Le32(r, 0) != 0)
        ++tally.errors;
    if (r.kind == sievra::kKindDeviceControl) {
        if (r.code == sievra::IOCTL_SIEVRA_BYPASS_REPORT && Le32(r, 0) == sievra::kUnseen) {
            tally.unseen += Le32(r, 4);
        } else if (r.code == sievra::IOCTL_SIEVRA_BYPASS_REPORT) {
            tally.unwatched += Le32(r, 4);
        }
        if (r.code == sievra::IOCTL_SIEVRA_PROCESS_REPORT) {
            tally.process.pid = static_cast<pid_t>(Le32(r, 0));
            tally.process.name.clear();
            for (uint32_t i = 4; i < r.length && i < 4 + 16; ++i)
                tally.process.name += static_cast<char>(r.data[i]);
        }
    }
    if (!options_.print)
        return;
    DecodedRecord decoded = Decode(r, options_.hex, options_.data_only);
    if (decoded.text.empty())
        return;
    if (failure != 0 && !json)
        decoded.text = WithoutLineEnds(std::move(decoded.text)) + FailureText(failure);
    if (json) {
        std::string line = "{\"time\":\"" + JsonTime(now) + "\",\"process\":";
        line += tally.process.pid == 0 ? std::string("null")
                                       : "{\"pid\":" + std::to_string(tally.process.pid) +
                                             ",\"name\":" + JsonString(tally.process.name) + "}";
        line += ",\"port\":" + JsonString(port) + ",\"request\":\"" + RequestName(r) + "\"";
        if (r.kind == sievra::kKindDeviceControl) {
            char code[16];
            std::snprintf(code, sizeof code, "\"0x%08" PRIx32 "\"", r.code);
            line += std::string(",\"code\":") + code;
        }
        if (r.kind == sievra::kKindCreate || r.kind == sievra::kKindClose)
            line += std::string(",\"ok\":") + (Le32(r, 0) == 0 ? "true" : "false");
        else if (failure != 0)
            line += ",\"ok\":false,\"error\":" + JsonString(ErrorName(failure));
        line += ",\"text\":" + JsonString(decoded.text);
        if (const std::string fields = JsonFields(decoded.fields); !fields.empty())
            line += ",\"fields\":" + fields;
        line += ",\"length\":" + std::to_string(r.length) + ",\"data\":\"" +
                HexDigits(r.data, r.length) + "\"}\n";
        std::fputs(line.c_str(), out_);
        return;
    }
    // Data stays on its record's line; other records' texts are single lines already, but a
    // decoded text of several lines is written as several lines, blank ones left out.
    if (IsData(r) && options_.hex && r.length > kHexBytesPerLine &&
        decoded.text.size() >= 3 * r.length) {
        // The text ends in the "xx " groups of the data; the first line keeps the record's
        // head, the others are indented under it.
        const size_t hex_at = decoded.text.size() - 3 * r.length;
        const std::string head = EscapeControls(decoded.text.substr(0, hex_at));
        for (size_t at = 0; at < r.length; at += kHexBytesPerLine) {
            const size_t n = std::min<size_t>(kHexBytesPerLine, r.length - at);
            std::fprintf(out_, "%s%s%s%s\n", clock_.Stamp(now).c_str(), prefix.c_str(),
                         at == 0 ? head.c_str() : "  ",
                         decoded.text.substr(hex_at + 3 * at, 3 * n).c_str());
        }
        return;
    }
    if (IsData(r)) {
        std::fprintf(out_, "%s%s%s\n", clock_.Stamp(now).c_str(), prefix.c_str(),
                     EscapeControls(decoded.text).c_str());
        return;
    }
    size_t start = 0;
    while (start < decoded.text.size()) {
        size_t end = decoded.text.find('\n', start);
        if (end == std::string::npos)
            end = decoded.text.size();
        const std::string line = WithoutLineEnds(decoded.text.substr(start, end - start));
        start = end + 1;
        if (!line.empty()) {
            std::fprintf(out_, "%s%s%s\n", clock_.Stamp(now).c_str(), prefix.c_str(),
                         EscapeControls(line).c_str());
        }
    }
}

void RecordOutput::DecodeLocked(PortTally& tally, const std::string& port, const MonitorRecord& r,
                                std::chrono::system_clock::time_point now) {
    if (options_.decoder.empty())
        return;
    if (!tally.decoder)
        tally.decoder = decode::MakeFrameDecoder(options_.decoder);
    if (!tally.decoder)
        return;
    if (r.kind == sievra::kKindDeviceControl && r.length >= 4 &&
        (r.code == comm::IOCTL_SERIAL_SET_BAUD_RATE ||
         r.code == comm::IOCTL_SERIAL_GET_BAUD_RATE)) {
        tally.decoder->SetSpeed(Le32(r, 0));
    } else if (IsData(r)) {
        const int64_t us =
            std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
        WriteFramesLocked(port,
                          tally.decoder->Take({r.kind == sievra::kKindWrite ? decode::Flow::kWritten
                                                                            : decode::Flow::kRead,
                                               r.data, r.length, us}),
                          now);
    } else if (r.kind == sievra::kKindClose) {
        WriteFramesLocked(port, tally.decoder->Finish(), now);
    }
}

void RecordOutput::WriteFramesLocked(const std::string& port,
                                     const std::vector<decode::Frame>& frames,
                                     std::chrono::system_clock::time_point now) {
    if (!options_.print)
        return;
    for (const decode::Frame& frame : frames) {
        if (options_.format == RecordFormat::kJson) {
            const std::string line =
                "{\"time\":\"" + JsonTime(now) + "\",\"port\":" + JsonString(port) +
                ",\"request\":\"frame\",\"decoder\":" + JsonString(options_.decoder) +
                ",\"direction\":\"" + (frame.flow == decode::Flow::kWritten ? "write" : "read") +
                "\",\"text\":" + JsonString(frame.text) + "}\n";
            std::fputs(line.c_str(), out_);
        } else {
            std::fprintf(out_, "%s%s%s %s\n", clock_.Stamp(now).c_str(),
                         options_.port_prefix ? (port + ": ").c_str() : "",
                         frame.flow == decode::Flow::kWritten ? "» W" : "» R",
                         EscapeControls(frame.text).c_str());
        }
    }
}

void RecordOutput::SetCapture(capture::SerialCaptureWriter* capture) {
    std::lock_guard lock(mutex_);
    capture_ = capture;
}

void RecordOutput::CaptureLocked(const std::string& port, const MonitorRecord& r,
                                 std::chrono::system_clock::time_point now, uint32_t failure,
                                 const RecordProcess& process) {
    // A failure is kept with the request it belongs to.
    if (r.kind == sievra::kKindDeviceControl && r.code == sievra::IOCTL_SIEVRA_CALL_FAILED)
        return;
    capture::SerialCall call;
    call.port = port;
    call.time_us = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count());
    call.kind = r.kind;
    call.code = r.code;
    call.error = failure;
    call.data.assign(r.data, r.data + r.length);
    call.process = {process.pid, process.name};
    // What any call but a read or write was, in the words of the lines.
    std::string words;
    if (!IsData(r)) {
        words = WithoutLineEnds(Decode(r, false, false).text);
        if (failure != 0)
            words += FailureText(failure);
    }
    capture_->Add(call, words);
}

void RecordOutput::WriteRecord(const std::string& port, const MonitorRecord& record,
                               std::chrono::system_clock::time_point when) {
    std::lock_guard lock(mutex_);
    EmitLocked(port, record, when);
    if (options_.print)
        std::fflush(out_);
}

void RecordOutput::Write(const std::string& port, const uint8_t* buffer, size_t count) {
    std::unique_lock lock(mutex_);
    process_known_.wait(lock, [this] { return !process_pending_; });
    // Taken under the lock, so that the times of the ports' records never go back in the output
    // or the capture; microseconds, as a capture keeps them, so that show stamps its lines alike.
    const auto now = std::chrono::time_point_cast<std::chrono::microseconds>(Now());
    // A read or write of more bytes than a record holds comes in pieces: shown as one call.
    monitor::WalkRecords(buffer, count, [&](const MonitorRecord& r) {
        PortTally& tally = TallyOf(port);
        // The host's time of the next request, when it gives one: the call's own, which the
        // time of reading its record may be well after.
        if (r.kind == sievra::kKindDeviceControl && r.code == sievra::IOCTL_SIEVRA_TIME_REPORT) {
            if (r.length >= 8) {
                tally.timed = true;
                const uint64_t us = Le32(r, 0) | static_cast<uint64_t>(Le32(r, 4)) << 32;
                tally.next_time = std::chrono::system_clock::time_point(
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::microseconds(us)));
            }
            return;
        }
        const auto when = tally.next_time.value_or(now);
        std::vector<uint8_t>& held = tally.held;
        if (IsData(r) && r.code == sievra::kRecordContinues && !held.empty() &&
            sievra::GetLe32(held.data() + 1) == r.kind) {
            held.insert(held.end(), r.data, r.data + r.length);
            sievra::PutLe32(held.data() + 9,
                            static_cast<uint32_t>(held.size() - sievra::kRecordHeaderSize));
            if (r.length == sievra::kMaxRecordData)
                return;  // more may follow
            const std::vector<uint8_t> call = std::exchange(held, {});
            QueueLocked(port, RecordIn(call), tally.held_time, now);
            return;
        }
        if (!held.empty()) {
            const std::vector<uint8_t> call = std::exchange(held, {});
            QueueLocked(port, RecordIn(call), tally.held_time, now);
        }
        if (IsData(r) && r.length == sievra::kMaxRecordData) {
            held.assign(r.data - sievra::kRecordHeaderSize, r.data + r.length);
            sievra::PutLe32(held.data() + 5, 0);
            tally.held_time = when;
            return;
        }
        QueueLocked(port, r, when, now);
    });
    ReleaseLocked(now, false);
    due_changed_.notify_all();
    // Each batch reaches the capture file whole, so that a crash loses no more than the batch.
    if (capture_ != nullptr)
        capture_->Flush();
    if (options_.print)
        std::fflush(out_);
}

void RecordOutput::Flush() {
    std::lock_guard lock(mutex_);
    FlushLocked();
    if (options_.print)
        std::fflush(out_);
}

void RecordOutput::FlushLocked() {
    const auto now = std::chrono::time_point_cast<std::chrono::microseconds>(Now());
    for (size_t i = 0; i < tallies_.size(); ++i) {
        if (!tallies_[i].held.empty()) {
            const std::vector<uint8_t> call = std::exchange(tallies_[i].held, {});
            QueueLocked(tallies_[i].port, RecordIn(call), tallies_[i].held_time, now);
        }
    }
    ReleaseLocked(now, true);
    for (size_t i = 0; i < tallies_.size(); ++i) {
        if (tallies_[i].decoder)
            WriteFramesLocked(tallies_[i].port, tallies_[i].decoder->Finish(), now);
    }
    if (capture_ != nullptr)
        capture_->Flush();
}

void RecordOutput::WriteSummary() {
    std::lock_guard lock(mutex_);
    FlushLocked();
    for (const PortTally& t : tallies_) {
        if (!t.recorded)
            continue;
        if (options_.format == RecordFormat::kJson) {
            std::fprintf(out_,
                         "{\"summary\":true,\"port\":%s,\"requests\":%" PRIu64
                         ",\"bytes_written\":%" PRIu64 ",\"bytes_read\":%" PRIu64
                         ",\"errors\":%" PRIu64 ",\"unwatched\":%" PRIu64 "}\n",
                         JsonString(t.port).c_str(), t.requests, t.bytes_written, t.bytes_read,
                         t.errors, t.unwatched);
        } else {
            std::fprintf(
                out_,
                "%s: summary: %" PRIu64 " requests, %" PRIu64 " bytes written, %" PRIu64
                " bytes read, %" PRIu64 " errors%s\n",
                t.port.c_str(), t.requests, t.bytes_written, t.bytes_read, t.errors,
                t.unwatched == 0
                    ? ""
                    : (", " + std::to_string(t.unwatched) + " requests not watched").c_str());
        }
    }
    std::fflush(out_);
}

std::vector<std::pair<std::string, uint64_t>> RecordOutput::UnseenCalls() {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, uint64_t>> unseen;
    for (const PortTally& t : tallies_) {
        if (t.unseen > 0)
            unseen.emplace_back(t.port, t.unseen);
    }
    return unseen;
}

size_t RecordOutput::PortsWithRecords() {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(tallies_.begin(), tallies_.end(),
                                             [](const PortTally& t) { return t.recorded; }));
}

int RecordOutput::CaptureError() {
    std::lock_guard lock(mutex_);
    return capture_ != nullptr ? capture_->error() : 0;
}

bool RecordOutput::failed() {
    std::lock_guard lock(mutex_);
    return std::ferror(out_) != 0;
}

}  // namespace porvane::cli
