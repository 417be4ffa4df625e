#pragma once

// Sends the tracer's monitor records to the host from a thread of its own, gathered: the records
// of the calls made within a short while go in one message per open, so the host is woken once
// for many of them and the tracer never waits while it takes them. Records keep their order, and
// Flush sends every queued one before anything else is said to the host.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/trace/port_calls.h"

namespace sievra::trace {

class RecordSender {
  public:
    RecordSender();
    // Sends what is still queued.
    ~RecordSender();
    RecordSender(const RecordSender&) = delete;
    RecordSender& operator=(const RecordSender&) = delete;

    // Queues a record of op with bytes (none: an empty record) on open.
    void Push(std::shared_ptr<PortOpen> open, uint8_t op, std::vector<uint8_t> bytes);
    // Sends every queued record on the calling thread before it returns, and waits until the
    // host has put those of every open but next on record: what is said next on another
    // connection (or another open's records) cannot overtake them.
    void Flush(const PortOpen* next = nullptr);

  private:
    struct Record {
        std::shared_ptr<PortOpen> open;
        uint8_t op;
        std::vector<uint8_t> bytes;
    };
    void Run();
    void SendQueued();

    std::mutex mutex_;  // guards queue_, queued_bytes_, idle_, stopping_
    std::condition_variable wake_;
    std::vector<Record> queue_;
    size_t queued_bytes_ = 0;
    bool idle_ = false;  // the thread waits for a first record
    bool stopping_ = false;
    std::mutex send_mutex_;  // one batch on its way at a time: the order stays
    // Opens whose records were sent and may not be on record yet (under send_mutex_).
    std::vector<std::shared_ptr<PortOpen>> unsettled_;
    std::thread thread_;
};

}  // namespace sievra::trace
