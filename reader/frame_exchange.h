#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "reader/reader_port.h"

namespace reader {

inline constexpr size_t kReplyBufferSize = 200;
inline constexpr uint8_t kNoReply = 0xFF;
inline constexpr int kAttempts = 3;
inline constexpr int kByteWaitMs = 100;

// The reply as received: the frame's first byte sits at index 1, so the status is at index 2,
// the length at 3 and the data from 4.
struct ReplyBuffer {
    uint8_t bytes[kReplyBufferSize] = {};

    // The most reply data a frame stored from index 1 can carry: n + 5 bytes must fit in 199.
    static constexpr size_t kMaxData = kReplyBufferSize - 1 - 5;

    uint8_t status() const { return bytes[2]; }
    uint8_t length() const { return bytes[3]; }
    // Whether reply data bytes [first, first + count) can be part of a reply at all.
    static bool Holds(size_t first, size_t count) { return first + count <= kMaxData; }
    const uint8_t* data() const { return bytes + 4; }
    uint8_t data(size_t index) const { return bytes[4 + index]; }
};

// Announces a frame (0x20), waits for the reader's 0x06 and sends the frame. A failure names
// what failed: the port's operation with its error, or "acknowledge" when the reader answered
// with another byte (EPROTO) or not at all (ETIMEDOUT).
comm::CommStatus SendFrame(ReaderPort& port, std::span<const uint8_t> frame);

// Answers the reader's 0x20 with 0x06 and reads its reply frame into reply; success when the
// check byte is right. A failure names the port's operation with its error, or the part of the
// reply that was wrong: "reply announce" (EPROTO, or ETIMEDOUT when nothing came), "reply
// length" (EMSGSIZE: more data than the buffer holds, refused before any of it is stored),
// "reply check" (EBADMSG).
comm::CommStatus ReceiveFrame(ReaderPort& port, ReplyBuffer& reply);

// Up to three attempts of send and receive. Returns the reply's status, or 0xFF when no valid
// reply came (then reply holds nothing of use). failure, when given, receives what ended the
// last attempt (success when a reply came).
uint8_t Transact(ReaderPort& port, std::span<const uint8_t> request, ReplyBuffer& reply,
                 comm::CommStatus* failure = nullptr);

}  // namespace reader
