#include "brevant/reply_collector.h"

#include "brevant/row_frame.h"

namespace brevant {

void ReplyCollector::Start(Clock::time_point sent) {
    sent_ = sent;
    handshake_.Restart();
    bytes_.clear();
    byte_count_ = 0;
    unrecorded_ = false;
    elapsed_.reset();
}

bool ReplyCollector::Take(uint8_t byte) {
    if (bytes_.size() < kMostBytes)
        bytes_.push_back(byte);
    ++byte_count_;
    unrecorded_ = true;
    return handshake_.Take(byte) && answer_handshake_;
}

bool ReplyCollector::EndBurst(Clock::time_point now) {
    if (!unrecorded_ || (answer_handshake_ && handshake_.ReplyUnderway()))
        return false;
    unrecorded_ = false;
    if (sent_)
        elapsed_ = std::chrono::duration_cast<std::chrono::milliseconds>(now - *sent_);
    return true;
}

std::string ReplyCollector::Text(int receive_format) const {
    std::string text;
    for (uint8_t byte : bytes_)
        text += ReceivedByteText(byte, receive_format);
    return text;
}

}  // namespace brevant
