#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "driver/link/link_protocol.h"

namespace sievra::link {

// One open of a watched port in this process (what the descriptors that share it refer to):
// its connection to the host and the host's page that says who watches. Every field is touched
// only with atomics or under the exchange lock, so signal handlers may use it.
struct OpenPort {
    std::atomic<int> refs{0};     // descriptors of this process that refer to it; 0: free slot
    std::atomic<int> socket{-1};  // the host's application socket; -1: pass-through
    std::atomic<const std::atomic<uint32_t>*> page{nullptr};  // the port's watch page
    std::atomic<void*> ring{
        nullptr};  // the connection's record ring (nullptr: records go on socket)
    std::atomic<uintptr_t> lock_owner{0};  // the thread in an exchange on socket (0: none)
    std::atomic<pid_t> writer{0};          // the thread in a filtered write (0: none)
    // The descriptor last found to be the port's device and when (see PortRegistry::Watched):
    // the number in the top 16 bits, the coarse monotonic clock in microseconds below; 0: none.
    std::atomic<uint64_t> checked{0};
    uint32_t next_id = 1;  // under the exchange lock
    // Bytes of filtered transfers that went unchanged without asking, by direction (0 sent,
    // 1 received), counted as they are decided (under the exchange lock); the ring tells how
    // many of them the host has taken.
    uint32_t passed_posted[2] = {0, 0};
    // Under the exchange lock: answers the host still owes for requests this side stopped
    // waiting for; whether the host's socket was full when last tried; and what went past the
    // filter or the record meanwhile, reported once the host keeps up again.
    struct Skipped {
        uint32_t requests = 0;
        uint32_t bytes = 0;
    };
    uint32_t stale = 0;
    bool congested = false;
    // A wait for the host to act on the ring's records that ran out, and how far the host had
    // come then: until it moves on, the host is stalled and nothing waits for it again.
    bool settle_stalled = false;
    uint32_t stalled_at = 0;
    Skipped sent_unfiltered;
    Skipped received_unfiltered;
    Skipped unrecorded;
    // Calls made by a signal handler that interrupted its own thread's exchange: they cannot
    // wait for the lock, so they pass and are counted here (atomics: no lock is held), to be
    // added to the counts above by the next report.
    struct Interrupted {
        std::atomic<uint32_t> requests{0};
        std::atomic<uint32_t> bytes{0};
        void Count(uint32_t n) {
            requests.fetch_add(1, std::memory_order_relaxed);
            bytes.fetch_add(n, std::memory_order_relaxed);
        }
        void MoveTo(Skipped& skipped) {
            skipped.requests += requests.exchange(0);
            skipped.bytes += bytes.exchange(0);
        }
        void Clear() {
            requests.store(0);
            bytes.store(0);
        }
    };
    Interrupted interrupted_sent;
    Interrupted interrupted_received;
    Interrupted interrupted_unrecorded;
    // Calls the C library made inside, where the attachment could not see them (atomics: they
    // are counted from the stream hooks without the exchange lock); reported with the others.
    Interrupted unseen;
    Skipped unseen_reported;
    // Calls left unrecorded because their descriptor was made another file while they ran
    // (counted by a tracer's thread without the lock); reported with the others.
    Interrupted descriptor_changed;
    Skipped descriptor_changed_reported;
    uint32_t port = 0;       // the port's number n
    dev_t device = 0;        // the port's device number
    ino_t socket_inode = 0;  // the socket's, to know it is still the number's
    // The socket's number is the holder's alone (a tracer's, never the program's): it cannot
    // have been closed or reused behind its back, so it is not checked before each request.
    bool private_socket = false;

    // A claimed slot starts a new session: nothing of the one that used it before carries over
    // (a late answer it was owed, a full socket, its counts, a writer of another process).
    void StartSession(uint32_t port_number, dev_t device_number) {
        port = port_number;
        device = device_number;
        next_id = 1;
        passed_posted[0] = passed_posted[1] = 0;
        stale = 0;
        congested = false;
        settle_stalled = false;
        sent_unfiltered = {};
        received_unfiltered = {};
        unrecorded = {};
        interrupted_sent.Clear();
        interrupted_received.Clear();
        interrupted_unrecorded.Clear();
        unseen.Clear();
        unseen_reported = {};
        descriptor_changed.Clear();
        descriptor_changed_reported = {};
        socket_inode = 0;
        private_socket = false;
        writer.store(0);
        checked.store(0);
        lock_owner.store(0);
    }

    // Who watches now; kUnwatched once the host is gone.
    uint32_t WatchState() const {
        const std::atomic<uint32_t>* p = page.load(std::memory_order_relaxed);
        if (p == nullptr || socket.load(std::memory_order_relaxed) < 0)
            return link::kUnwatched;
        return p->load(std::memory_order_relaxed);
    }
};

}  // namespace sievra::link
