#include "reader/frame_exchange.h"

#include "reader/frame/reader_frame.h"

namespace reader {
namespace {

constexpr int kDataWaitTries = 3;
constexpr int kRetrySleepMs = 10;

// Waits for received bytes, up to three times 100 ms with 10 ms between the tries.
bool AwaitData(ReaderPort& port) {
    for (int attempt = 0; attempt < kDataWaitTries; ++attempt) {
        if (port.WaitForData(kByteWaitMs) == 0 && port.BytesWaiting() > 0) {
            return true;
        }
        port.Pause(kRetrySleepMs);
    }
    return false;
}

}  // namespace

int SendFrame(ReaderPort& port, std::span<const uint8_t> frame) {
    port.PurgeReceive();
    const uint8_t announce = kFrameAnnounce;
    if (port.Write(&announce, 1, kByteWaitMs) != kPortOk) {
        return 1;
    }
    uint8_t answer = 0x00;
    if (port.Read(&answer, 1, nullptr, kByteWaitMs) != kPortOk || answer != kFrameAcknowledge) {
        return 1;
    }
    return port.Write(frame.data(), frame.size(), kByteWaitMs) == kPortOk ? 0 : 1;
}

int ReceiveFrame(ReaderPort& port, ReplyBuffer& reply) {
    if (!AwaitData(port)) {
        return 1;
    }
    uint8_t announce = 0x00;
    if (port.Read(&announce, 1, nullptr, kByteWaitMs) != kPortOk || announce != kFrameAnnounce) {
        return 1;
    }
    const uint8_t acknowledge = kFrameAcknowledge;
    port.Write(&acknowledge, 1, kByteWaitMs);
    if (!AwaitData(port)) {
        return 1;
    }
    // One byte at a time into index 1, 2, ...; a read that brings nothing leaves the position.
    size_t position = 1;
    size_t expected = kFrameOverhead;
    size_t received = 0;
    while (received < expected) {
        size_t got = 0;
        if (port.Read(&reply.bytes[position], 1, &got, kByteWaitMs) != kPortOk) {
            return 1;
        }
        if (got == 0) {
            break;  // the reader fell silent; the check byte decides
        }
        ++received;
        ++position;
        if (received == 3) {
            expected = reply.bytes[3] + kFrameOverhead;
            if (1 + expected > kReplyBufferSize) {
                port.PurgeReceive();
                return 1;  // announces more than the buffer holds
            }
        }
    }
    port.PurgeReceive();
    const size_t n = reply.bytes[3];
    return FrameBcc(reply.bytes + 1, n + 3) == reply.bytes[1 + n + 3] ? 0 : 1;
}

uint8_t Transact(ReaderPort& port, std::span<const uint8_t> request, ReplyBuffer& reply) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        reply = ReplyBuffer{};
        if (SendFrame(port, request) != 0) {
            continue;
        }
        if (ReceiveFrame(port, reply) == 0) {
            return reply.status();
        }
    }
    return kNoReply;
}

}  // namespace reader
