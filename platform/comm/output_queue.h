#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/comm/unique_fd.h"

namespace comm {

class SerialSystemCalls;

// The bytes that a terminal could not take at once, in order, and the writer thread that hands
// them over as the terminal drains, so that starting a write never blocks its caller. Marks
// (counts of bytes ever submitted and ever sent) let a caller wait for its own bytes.
//
// Once output fails for good (the device unplugged, the far end hung up) what waits is dropped,
// not sent, and every later submission is refused: nobody waits for ever, and nobody counts
// lost bytes as written.
class OutputQueue {
  public:
    // sent(n): n bytes reached the terminal. idle(): the queue ran empty or the device went away.
    // Both run on the submitting thread or the writer thread with the queue's lock held, so
    // they must not call into the queue.
    using SentListener = std::function<void(size_t)>;
    using IdleListener = std::function<void()>;

    // fd is the terminal (opened non-blocking); calls must outlive the queue; wake is an eventfd
    // that ends the writer thread's poll.
    OutputQueue(int fd, SerialSystemCalls& calls, UniqueFd wake, SentListener sent,
                IdleListener idle);
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Writes what the terminal takes at once and queues the rest behind earlier bytes. sent_now
    // is what went out at once; mark is the queue position after these bytes. False (nothing
    // queued) once the device is gone.
    bool Submit(const uint8_t* bytes, size_t count, size_t& sent_now, uint64_t& mark);

    struct Outcome {
        size_t unsent = 0;  // of the count bytes before the mark, those that did not leave
        bool gone = false;  // the device went away
    };
    // Waits until output has passed mark (the end of count submitted bytes), the device is gone,
    // or limit_ms (0: no limit) has passed. On a time-out with these bytes still last in the
    // queue, takes back the part of them that has not left, so it is never sent; earlier bytes
    // stay queued.
    Outcome AwaitSent(uint64_t mark, size_t count, uint64_t limit_ms);

    // Drops the waiting bytes, as a purge does: nobody waits for them any longer.
    void Clear();
    // Bytes waiting for the terminal.
    size_t waiting();
    // Ends the writer thread and every wait; safe to call twice.
    void Stop();

  private:
    void WriterLoop();

    const int fd_;
    SerialSystemCalls& calls_;
    UniqueFd wake_;
    SentListener sent_;
    IdleListener idle_;

    std::mutex mutex_;  // guards the fields down to the next blank line
    std::condition_variable changed_;
    std::vector<uint8_t> out_;  // bytes waiting to be written, from head_ on
    size_t head_ = 0;
    uint64_t enqueued_total_ = 0;  // bytes ever queued or sent at once
    uint64_t sent_total_ = 0;      // bytes ever written or dropped by a purge (not by a failure)
    bool stop_ = false;
    bool gone_ = false;  // output failed for good

    std::thread writer_;  // started with the first bytes that have to wait; joined by Stop
};

}  // namespace comm
