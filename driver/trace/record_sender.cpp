#include "driver/trace/record_sender.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "driver/link/host_link.h"
#include "driver/sievra_protocol.h"

namespace sievra::trace {
namespace {

// How long the first record of a batch waits for others: short beside what a person notices,
// long beside many calls, so that the host (and whoever reads from it) wakes seldom.
constexpr auto kGather = std::chrono::milliseconds(2);
// Queued bytes beyond which the tracer sends them itself: a host that has fallen behind holds
// the program back rather than the tracer's memory growing.
constexpr size_t kMaxQueuedBytes = 1 << 20;
constexpr size_t kMaxQueuedRecords = 4096;

}  // namespace

RecordSender::RecordSender() : thread_([this] { Run(); }) {}

RecordSender::~RecordSender() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    SendQueued();
}

void RecordSender::Push(std::shared_ptr<PortOpen> open, uint8_t op, std::vector<uint8_t> bytes) {
    bool notify = false, full = false, other_open = false;
    {
        const std::lock_guard lock(mutex_);
        other_open = !queue_.empty() && queue_.back().open != open;
    }
    // The host serves each open's connection on its own: records of another open (another
    // process's) would overtake the queued ones; those go first.
    if (other_open)
        Flush(open.get());
    {
        const std::lock_guard lock(mutex_);
        queued_bytes_ += bytes.size();
        queue_.push_back({std::move(open), op, std::move(bytes)});
        notify = idle_;
        full = queued_bytes_ >= kMaxQueuedBytes || queue_.size() >= kMaxQueuedRecords;
    }
    if (full)
        Flush();
    else if (notify)
        wake_.notify_one();
}

void RecordSender::Flush(const PortOpen* next) {
    SendQueued();
    const std::lock_guard sending(send_mutex_);
    const long deadline = link::SettleDeadline();
    std::erase_if(unsettled_, [next, deadline](const std::shared_ptr<PortOpen>& open) {
        if (open.get() == next)
            return false;
        link::SettleRecords(open->link(), deadline);
        return true;
    });
}

void RecordSender::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        idle_ = true;
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        idle_ = false;
        if (stopping_)
            return;
        wake_.wait_for(lock, kGather, [this] { return stopping_; });
        lock.unlock();
        SendQueued();
        lock.lock();
    }
}

void RecordSender::SendQueued() {
    const std::lock_guard sending(send_mutex_);
    std::vector<Record> records;
    {
        const std::lock_guard lock(mutex_);
        records.swap(queue_);
        queued_bytes_ = 0;
    }
    // Consecutive records of one open go in as few messages as the limits allow.
    std::vector<link::RecordPiece> pieces;
    size_t bytes = 0;
    PortOpen* open = nullptr;
    auto send = [&] {
        if (!pieces.empty())
            link::SendRecords(open->link(), pieces.data(), static_cast<int>(pieces.size()));
        pieces.clear();
        bytes = 0;
    };
    for (const Record& r : records) {
        if (r.open.get() != open) {
            send();
            // Records of the other opens sent before these go on record first.
            const long deadline = link::SettleDeadline();
            std::erase_if(unsettled_, [&r, deadline](const std::shared_ptr<PortOpen>& sent) {
                if (sent == r.open)
                    return false;
                link::SettleRecords(sent->link(), deadline);
                return true;
            });
            if (unsettled_.empty())
                unsettled_.push_back(r.open);
        }
        open = r.open.get();
        // A record holds at most a record's data: a longer transfer is several.
        size_t done = 0;
        do {
            const size_t n = std::min<size_t>(kMaxRecordData, r.bytes.size() - done);
            if (pieces.size() == static_cast<size_t>(link::kMaxBatchRecords) ||
                bytes + n + link::kRequestHeaderSize > link::kMaxBatchBytes)
                send();
            const uint8_t op = done == 0 ? r.op : r.op | link::kContinues;
            pieces.push_back({op, r.bytes.data() + done, static_cast<uint32_t>(n)});
            bytes += n + link::kRequestHeaderSize;
            done += n;
        } while (done < r.bytes.size());
    }
    send();
}

}  // namespace sievra::trace
