#include "driver/host/record_drain.h"

#include <algorithm>

#include "driver/sievra_driver.h"
#include "driver/sievra_protocol.h"

namespace sievra {

using namespace kernel;

void RecordDrain::Open(DeviceObject* control, DeviceObject* filter) {
    std::lock_guard lock(mutex_);
    control_ = control;
    filter_ = filter;
    stash_.Clear();
    open_ = true;
    stalled_ = false;
    unreported_requests_ = unreported_bytes_ = 0;
    TakeQueuedLocked();  // what came between the open and now
}

void RecordDrain::Close() {
    std::lock_guard lock(mutex_);
    open_ = false;
    stalled_ = false;
    unreported_requests_ = unreported_bytes_ = 0;
    stash_.Clear();
    changed_.notify_all();
}

void RecordDrain::TakeQueued() {
    std::lock_guard lock(mutex_);
    TakeQueuedLocked();
}

bool RecordDrain::TakeQueuedLocked() {
    // Records are queued, and no read is pending (only this lock's holder reads, and never
    // without records): the read completes at once.
    if (!open_ || !stash_.HasRoom() || !RecordsQueued(filter_))
        return false;
    uint8_t data[kRecordQueueSize];
    const IoStatusBlock s = IoCallDriverAndWait(control_, IRP_MJ_READ, data, sizeof data);
    if (!NT_SUCCESS(s.Status)) {  // the control device is going: nothing reads any more
        open_ = false;
        changed_.notify_all();
        return false;
    }
    stash_.Put(data, std::min<uintptr_t>(s.Information, sizeof data));
    changed_.notify_all();
    return true;
}

bool RecordDrain::CaughtUp() {
    std::lock_guard lock(mutex_);
    TakeQueuedLocked();
    return !open_ || stash_.HalfEmpty();
}

bool RecordDrain::MakeRoomWithin(uint32_t length, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(mutex_);
    while (open_ && !RecordWouldFit(filter_, length)) {
        if (TakeQueuedLocked())
            continue;
        if (stalled_)
            return false;
        if (!changed_.wait_until(lock, deadline, [&] { return !open_ || stash_.HasRoom(); })) {
            stalled_ = limit.count() > 0;
            return false;
        }
    }
    return true;
}

void RecordDrain::CountUnreported(uint32_t requests, uint32_t bytes) {
    std::lock_guard lock(mutex_);
    if (!open_)
        return;  // nobody reads: nothing was missed
    unreported_requests_ += requests;
    unreported_bytes_ += bytes;
    ReportUnreportedLocked();
}

void RecordDrain::ReportUnreportedLocked() {
    if (!open_ || unreported_requests_ == 0 || !RecordWouldFit(filter_, kBypassReportSize))
        return;
    uint8_t report[kBypassReportSize];
    PutLe32(report, kNotRecorded);
    PutLe32(report + 4, unreported_requests_);
    PutLe32(report + 8, unreported_bytes_);
    // The filter device queues the report and completes no read: none is ever pending (see
    // TakeQueuedLocked).
    IoCallDriverAndWait(filter_, IRP_MJ_DEVICE_CONTROL, report, 0, IOCTL_SIEVRA_BYPASS_REPORT,
                        kBypassReportSize, 0);
    unreported_requests_ = unreported_bytes_ = 0;
    TakeQueuedLocked();
}

size_t RecordDrain::WaitAndTake(uint8_t* out, size_t length) {
    std::unique_lock lock(mutex_);
    TakeQueuedLocked();  // a reader never waits on records already queued
    changed_.wait(lock, [&] { return !open_ || !stash_.Empty(); });
    return TakeLocked(out, length);
}

size_t RecordDrain::TakeLocked(uint8_t* out, size_t length) {
    if (!open_ || stash_.Empty())
        return 0;
    const size_t n = stash_.Take(out, length);
    TakeQueuedLocked();  // records left queued while the stash was full
    if (stash_.HalfEmpty())
        stalled_ = false;
    ReportUnreportedLocked();
    changed_.notify_all();
    return n;
}

}  // namespace sievra
