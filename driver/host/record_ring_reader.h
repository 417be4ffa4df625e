#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "driver/link/record_ring.h"
#include "platform/comm/unique_fd.h"

namespace sievra {

// The host's side of a connection's record ring: makes the sealed memory file and takes the
// requests the program's side published, copied out before they are read. Its own count of
// what it took is the one that counts; the shared one only tells the writer where room is.
class RecordRingReader {
  public:
    enum class Taken { kData, kEmpty, kBroken };

    RecordRingReader() = default;
    ~RecordRingReader();
    RecordRingReader(const RecordRingReader&) = delete;
    RecordRingReader& operator=(const RecordRingReader&) = delete;

    // Makes the ring; false (errno set) when it cannot be had (the connection goes without).
    bool Create();
    // The memory file, to hand to the program's side.
    int fd() const { return fd_.get(); }

    // Copies up to max bytes of published requests to out (got: how many). kBroken when the
    // writer's count is impossible: the program broke the ring, and its connection ends.
    Taken Take(uint8_t* out, size_t max, size_t& got);
    // True when something is published and not yet taken (or the ring is broken).
    bool HasData() const;
    // The program's side has gone: what it published so far is all there is to take, however
    // the count moves later (another process may still hold the memory file).
    void EndHere();
    // Tells the writer that the host sleeps until woken; false (and still awake) when a record
    // came meanwhile.
    bool Sleep();
    void Awake();
    // Everything taken so far has been acted on: tells a writer waiting for that.
    void Settle();
    // Tells the writer that its note of bytes passed unchanged in one direction was taken (after
    // the rules' glance counts them).
    void CountPassed(bool send, uint32_t bytes);

  private:
    comm::UniqueFd fd_;
    void* mapping_ = nullptr;
    uint32_t head_ = 0;
    std::optional<uint32_t> end_;  // the last count published, once the program has gone

    uint32_t Tail() const;
};

}  // namespace sievra
