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
    TakeQueuedLocked();  // what came between the open and now
}

void RecordDrain::Close() {
    std::lock_guard lock(mutex_);
    open_ = false;
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

void RecordDrain::MakeRoom(uint32_t length) {
    std::unique_lock lock(mutex_);
    while (open_ && !RecordWouldFit(filter_, length)) {
        if (!TakeQueuedLocked())
            changed_.wait(lock, [&] { return !open_ || stash_.HasRoom(); });
    }
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
        if (!TakeQueuedLocked() &&
            !changed_.wait_until(lock, deadline, [&] { return !open_ || stash_.HasRoom(); })) {
            return false;
        }
    }
    return true;
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
    changed_.notify_all();
    return n;
}

}  // namespace sievra
