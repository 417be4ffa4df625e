#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace porvane::terminal {

// Sends a file through the page in chunks of 100 to 1024 bytes, each after the port has
// reported its transmit queue empty, on a worker thread. One transfer at a time: a start while a
// worker is still finishing its chunk is refused. A closed port ends the transfer, since no
// transmit-empty report will come.
class FileSender {
  public:
    struct Callbacks {
        std::function<void(const uint8_t* bytes, uint32_t count)>
            send_chunk;                                // returns once written
        std::function<void(uint64_t length)> started;  // the file is open and not empty
        std::function<void(uint64_t offset)> progress;
        std::function<void()> finished;     // after the last chunk, a stop, or a closed port
        std::function<void()> open_failed;  // the file cannot be opened
        // Runs on the waiting thread while it waits for the worker to end (see PageWindow).
        std::function<void()> pump;
    };

    explicit FileSender(Callbacks callbacks);
    ~FileSender();
    FileSender(const FileSender&) = delete;
    FileSender& operator=(const FileSender&) = delete;

    // Starts sending path; false when a transfer (or the end of one) is still under way.
    bool Start(const std::string& path);
    // The transfer ends after its current chunk.
    void Stop();
    // The port reported its transmit queue empty.
    void ChunkDone();
    // The port was opened (true) or closed (false); a closed port ends the transfer.
    void SetPortOpen(bool open);
    bool running() const;

  private:
    void Run(std::string path);
    void Join();

    Callbacks callbacks_;
    std::thread worker_;
    mutable std::mutex mutex_;  // guards the flags below
    std::condition_variable changed_;
    bool active_ = false;      // a worker runs (until its very end)
    bool sending_ = false;     // the transfer is to continue
    bool chunk_done_ = false;  // the chunk-done event
    bool port_open_ = true;
};

}  // namespace porvane::terminal
