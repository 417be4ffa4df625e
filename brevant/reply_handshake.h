#pragma once

#include <cstddef>
#include <cstdint>

namespace brevant {

// The reader's side of one sent frame: it acknowledges the frame's start byte 0x20 with 0x06,
// and once it has an answer it announces it with 0x20 and waits for the host's 0x06 before it
// sends the reply frame (0x00, status, length n, n data bytes, check, 0x03). Fed the bytes
// received after a send, it says when the host answers the announcement, and whether the reply
// frame it let come is still on its way.
class ReplyHandshake {
  public:
    // A frame was sent: the next bytes are the reader's answer to it.
    void Restart();
    // One received byte; true when the host now sends 0x06 (the reader announced its reply).
    bool Take(uint8_t byte);
    // The announcement was answered and the reply frame has not come whole yet.
    bool ReplyUnderway() const { return state_ == State::kReplyFrame; }

  private:
    enum class State { kAcknowledge, kAnnouncement, kReplyFrame, kDone };
    State state_ = State::kDone;
    size_t reply_bytes_ = 0;   // of the reply frame so far
    size_t reply_length_ = 0;  // the whole frame's, once its length byte came
};

}  // namespace brevant
