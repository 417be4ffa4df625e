#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "brevant/reply_handshake.h"

namespace brevant {

// One sent frame's reply, as the window's row and brevant-cli both record it: every byte the
// reader sent from the send on (its acknowledgement 06, its announcement 20 and, when the
// announcement is answered, the reply frame), however many bursts they came in, and the
// milliseconds from the send to the end of the last burst recorded. Each burst end records the
// reply so far, so a reply in several bursts ends up whole in the row with the time it took to
// come whole; only while a reply frame the host let come is still on its way is a burst end
// passed over, so that a row never holds half a frame.
class ReplyCollector {
  public:
    using Clock = std::chrono::steady_clock;
    // The bytes kept of one reply: a reader's frame is at most 512 bytes, and a few KiB past it
    // leave room for what a chatty reader adds; a flooding peer must not grow the reply without
    // end.
    static constexpr size_t kMostBytes = 512 + 4096;

    void set_answer_handshake(bool on) { answer_handshake_ = on; }
    bool answer_handshake() const { return answer_handshake_; }

    // A frame was handed to the port at `sent`: what comes from now on is its reply.
    void Start(Clock::time_point sent);
    // One received byte; true when the host is to answer the reader's announcement with 06 now
    // (only when answering the handshake).
    bool Take(uint8_t byte);
    // A burst ended at `now`. True when the reply is recorded now: bytes came since the last
    // recording and no answered reply frame is half-way.
    bool EndBurst(Clock::time_point now);

    // The reply's bytes as the monitor shows them ("%02X " each, or the bytes themselves).
    std::string Text(int receive_format) const;
    // Bytes that came since the send, kept or not; more than kMostBytes means the reply was cut.
    uint64_t byte_count() const { return byte_count_; }
    // From the send to the end of the last burst recorded; none before a recording, and none for
    // bytes that came without a send.
    std::optional<std::chrono::milliseconds> elapsed() const { return elapsed_; }

  private:
    bool answer_handshake_ = false;
    ReplyHandshake handshake_;
    std::optional<Clock::time_point> sent_;
    std::vector<uint8_t> bytes_;  // at most kMostBytes
    uint64_t byte_count_ = 0;
    bool unrecorded_ = false;  // bytes came since the last recording
    std::optional<std::chrono::milliseconds> elapsed_;
};

}  // namespace brevant
