#include "brevant/reply_handshake.h"

#include "reader/frame/reader_frame.h"

namespace brevant {

void ReplyHandshake::Restart() {
    state_ = State::kAcknowledge;
    reply_bytes_ = 0;
    reply_length_ = 0;
}

bool ReplyHandshake::Take(uint8_t byte) {
    switch (state_) {
        case State::kAcknowledge:
            // Anything but the acknowledgement is not the exchange this follows.
            state_ = byte == reader::kFrameAcknowledge ? State::kAnnouncement : State::kDone;
            return false;
        case State::kAnnouncement:
            if (byte != reader::kFrameAnnounce) {
                state_ = State::kDone;
                return false;
            }
            state_ = State::kReplyFrame;
            return true;
        case State::kReplyFrame:
            ++reply_bytes_;
            if (reply_bytes_ == 3)
                reply_length_ = byte + reader::kFrameOverhead;
            if (reply_length_ != 0 && reply_bytes_ >= reply_length_)
                state_ = State::kDone;
            return false;
        case State::kDone:
            return false;
    }
    return false;
}

}  // namespace brevant
