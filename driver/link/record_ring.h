#pragma once

// A connection's requests that want no answer (monitor records, reports), written by the
// program's side into a ring of memory it shares with the host instead of one socket message
// each: a record costs a copy, and the host takes them in batches. The host makes the ring (a
// memory file sealed against shrinking and growing, so that neither side can make the other's
// access fault) and hands it over with the answer to the open, beside the watch page.
//
// The ring is a byte stream of requests exactly as the socket carries them, whole requests
// only: tail counts the bytes the program's side has published, head those the host has taken
// (both wrap at 2^32; the data offset is the count modulo kRingCapacity). The program may write
// anything into the ring; the host copies what it takes before it reads it, keeps its own head,
// and ends the connection when the counts make no sense, so a program spoils only its own
// records.
//
// Order: every request that wants an answer goes on the socket, and the host takes all the ring
// holds before each message the socket brings, so requests are served in the order they were
// made. The host takes the ring on a short tick while records come, and only when it has found
// it empty for a while does it sleep, saying so in host_sleeping: the next record then sends a
// wake message (kAppWake) on the socket. A writer that finds no room sets writer_waiting, wakes
// the host and waits on head (a futex), which the host wakes once it has taken bytes.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sievra::link {

struct RingHeader {
    alignas(64) std::atomic<uint32_t> tail;
    alignas(64) std::atomic<uint32_t> head;
    std::atomic<uint32_t> host_sleeping;
    std::atomic<uint32_t> writer_waiting;
    // The bytes of kAppPassed notes the host has taken, by direction (0 sent, 1 received): the
    // writer's notes not yet counted in the watch page's rule glance are the rest.
    std::atomic<uint32_t> passed_taken[2];
    // The ring's count up to which the host has acted on every request (recorded it on the
    // port): a writer that must know its records are on record before anything else happens (a
    // fork, an exec, another process's records) waits on it, saying so in settle_waiting.
    alignas(64) std::atomic<uint32_t> settled;
    std::atomic<uint32_t> settle_waiting;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

inline constexpr size_t kRingDataOffset = 4096;
inline constexpr uint32_t kRingCapacity = 1u << 20;  // a power of two
inline constexpr size_t kRingFileSize = kRingDataOffset + kRingCapacity;

inline RingHeader* RingHeaderOf(void* mapping) {
    return static_cast<RingHeader*>(mapping);
}
inline uint8_t* RingDataOf(void* mapping) {
    return static_cast<uint8_t*>(mapping) + kRingDataOffset;
}

}  // namespace sievra::link
