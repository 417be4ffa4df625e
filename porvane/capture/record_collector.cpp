#include "porvane/capture/record_collector.h"

#include <algorithm>
#include <utility>

#include "driver/sievra_protocol.h"
#include "porvane/capture/serial_capture_writer.h"
#include "porvane/monitor/monitor_decoder.h"
#include "porvane/monitor/monitor_record.h"

namespace porvane::capture {
namespace {

bool IsData(uint32_t kind) {
    return kind == sievra::kKindRead || kind == sievra::kKindWrite;
}

// What a record other than a read or write says, as the monitor page's lines say it.
std::string WordsOf(const uint8_t* record, size_t size) {
    std::string text =
        monitor::DecodeRecords(record, size, monitor::ContentMode::kAllInfo, false).lower;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace

void RecordCollector::KeepLocked(SerialCall call, const uint8_t* record, size_t size) {
    call.port = port_;
    call.error = std::exchange(failure_, 0);
    call.process = process_;
    std::string words = IsData(call.kind) ? std::string() : WordsOf(record, size);
    bytes_ += call.data.size();
    calls_.push_back({std::move(call), std::move(words)});
    while (bytes_ > max_bytes_ && !calls_.empty()) {
        bytes_ -= calls_.front().call.data.size();
        calls_.pop_front();
    }
}

void RecordCollector::Add(const std::string& port, const uint8_t* records, size_t count,
                          uint64_t time_us) {
    std::lock_guard lock(mutex_);
    if (port != port_) {
        // Another port's stream starts afresh.
        held_.clear();
        failure_ = 0;
        process_ = {};
        port_ = port;
    }
    auto keep_held = [this] {
        if (held_.empty())
            return;
        const std::vector<uint8_t> record = std::exchange(held_, {});
        SerialCall call;
        call.time_us = held_time_;
        call.kind = sievra::GetLe32(record.data() + 1);
        call.data.assign(record.begin() + sievra::kRecordHeaderSize, record.end());
        KeepLocked(std::move(call), record.data(), record.size());
    };
    monitor::WalkRecords(records, count, [&](const monitor::MonitorRecord& r) {
        const uint8_t* record = r.data - sievra::kRecordHeaderSize;
        const size_t size = sievra::kRecordHeaderSize + r.length;
        if (IsData(r.kind) && r.code == sievra::kRecordContinues && !held_.empty() &&
            sievra::GetLe32(held_.data() + 1) == r.kind) {
            held_.insert(held_.end(), r.data, r.data + r.length);
            sievra::PutLe32(held_.data() + 9,
                            static_cast<uint32_t>(held_.size() - sievra::kRecordHeaderSize));
            if (r.length < sievra::kMaxRecordData)
                keep_held();
            return;
        }
        keep_held();
        if (r.kind == sievra::kKindDeviceControl && r.code == sievra::IOCTL_SIEVRA_CALL_FAILED) {
            failure_ = r.length >= 4 ? sievra::GetLe32(r.data) : 0;
            return;
        }
        if (IsData(r.kind) && r.length == sievra::kMaxRecordData) {
            held_.assign(record, record + size);
            sievra::PutLe32(held_.data() + 5, 0);
            held_time_ = time_us;
            return;
        }
        SerialCall call;
        call.time_us = time_us;
        call.kind = r.kind;
        call.code = r.code;
        call.data.assign(r.data, r.data + r.length);
        KeepLocked(std::move(call), record, size);
        // The process named comes after its report.
        if (r.kind == sievra::kKindDeviceControl && r.code == sievra::IOCTL_SIEVRA_PROCESS_REPORT &&
            r.length >= 4) {
            process_.pid = static_cast<pid_t>(sievra::GetLe32(r.data));
            process_.name.assign(reinterpret_cast<const char*>(r.data) + 4,
                                 std::min<size_t>(r.length - 4, 16));
        }
    });
}

void RecordCollector::Clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
    bytes_ = 0;
}

size_t RecordCollector::size() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

int RecordCollector::WriteTo(comm::UniqueFd fd, const std::string& application) const {
    std::lock_guard lock(mutex_);
    SerialCaptureWriter writer(std::move(fd), application);
    for (const Kept& kept : calls_) {
        writer.Add(kept.call, kept.words);
        // Written a piece at a time, so that a long session never doubles in memory.
        if (!writer.Flush())
            break;
    }
    writer.Flush();
    return writer.error();
}

}  // namespace porvane::capture
