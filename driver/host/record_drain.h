#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "driver/host/record_stash.h"
#include "platform/kernel/io_manager.h"

namespace sievra {

// Records held for a control client that reads slowly, beyond the port's own queue.
inline constexpr size_t kRecordStashSize = 256 * 1024;

// Keeps a port's record queue emptied into a stash while a control client reads the records.
// Whichever host thread made a record takes it off the queue at once, so a program's next
// record never waits for a round trip to a reader in another process that may be busy
// printing; the client's reads are served from the stash. Every read of the control device
// happens here, under one lock and only when records are queued, so none is ever left
// pending. When the stash is full, programs' records wait a little for the client, and those
// that still find no room are dropped and counted by the host.
class RecordDrain {
  public:
    explicit RecordDrain(size_t stash_capacity) : stash_(stash_capacity) {}

    // A client has opened the control device: records are taken from now on.
    void Open(kernel::DeviceObject* control, kernel::DeviceObject* filter);
    // The client is done: wakes every wait; what is stashed is dropped, later records stay
    // queued (the next open empties the queue).
    void Close();

    // Takes the queued records into the stash, when a client reads and there is room.
    void TakeQueued();
    // Whether the client has read at least half of what the stash can hold (or reads no more):
    // a host that dropped records for a lagging client takes them again from then on.
    bool CaughtUp();
    // Waits at most limit until a record of length data bytes joins the queue without the
    // queue dropping records first, or until no client reads: false when it would still not
    // fit then. A client that let such a wait run out is stalled: every later wait, whoever
    // makes it, gives up at once until the client has caught up, so that a client that stopped
    // reading holds no program's session for longer than one wait.
    bool MakeRoomWithin(uint32_t length, std::chrono::milliseconds limit);
    // Requests that made no record because the client had no room for them, left over by a
    // session that ended before it could report them: reported as not recorded as soon as the
    // client has room for the report again.
    void CountUnreported(uint32_t requests, uint32_t bytes);
    // Waits for records and moves up to length bytes of them into out (see RecordStash::Take);
    // 0 once closed.
    size_t WaitAndTake(uint8_t* out, size_t length);

  private:
    bool TakeQueuedLocked();
    size_t TakeLocked(uint8_t* out, size_t length);
    void ReportUnreportedLocked();

    std::mutex mutex_;  // guards everything below; held across each read of the queue
    std::condition_variable changed_;
    RecordStash stash_;
    bool open_ = false;
    bool stalled_ = false;  // a wait for room ran out; cleared once the client caught up
    uint32_t unreported_requests_ = 0;
    uint32_t unreported_bytes_ = 0;
    kernel::DeviceObject* control_ = nullptr;
    kernel::DeviceObject* filter_ = nullptr;
};

}  // namespace sievra
