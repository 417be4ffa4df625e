#include "reader/frame_exchange.h"

#include <cerrno>

#include "reader/frame/reader_frame.h"

namespace reader {
namespace {

using comm::CommStatus;

constexpr int kDataWaitTries = 3;
constexpr int kRetrySleepMs = 10;

// Waits for received bytes, up to three times 100 ms with 10 ms between the tries; the last
// try's failure when none brought any.
CommStatus AwaitData(ReaderPort& port) {
    CommStatus last;
    for (int attempt = 0; attempt < kDataWaitTries; ++attempt) {
        last = port.WaitForData(kByteWaitMs);
        if (last) {
            if (port.BytesWaiting() > 0) {
                return {};
            }
            last = CommStatus::Failure("BytesWaiting", ENODATA);
        }
        port.Pause(kRetrySleepMs);
    }
    return last;
}

// Reads the single handshake byte expected of the reader; operation names the step.
CommStatus ReadHandshake(ReaderPort& port, uint8_t expected, const char* operation) {
    uint8_t byte = 0x00;
    size_t got = 0;
    if (CommStatus read = port.Read(&byte, 1, &got, kByteWaitMs); !read) {
        return read;
    }
    if (byte != expected) {
        return CommStatus::Failure(operation, got == 0 ? ETIMEDOUT : EPROTO);
    }
    return {};
}

}  // namespace

CommStatus SendFrame(ReaderPort& port, std::span<const uint8_t> frame) {
    port.PurgeReceive();
    const uint8_t announce = kFrameAnnounce;
    if (CommStatus sent = port.Write(&announce, 1, kByteWaitMs); !sent) {
        return sent;
    }
    if (CommStatus answer = ReadHandshake(port, kFrameAcknowledge, "acknowledge"); !answer) {
        return answer;
    }
    return port.Write(frame.data(), frame.size(), kByteWaitMs);
}

CommStatus ReceiveFrame(ReaderPort& port, ReplyBuffer& reply) {
    if (CommStatus data = AwaitData(port); !data) {
        return data;
    }
    if (CommStatus announce = ReadHandshake(port, kFrameAnnounce, "reply announce"); !announce) {
        return announce;
    }
    const uint8_t acknowledge = kFrameAcknowledge;
    port.Write(&acknowledge, 1, kByteWaitMs);
    if (CommStatus data = AwaitData(port); !data) {
        return data;
    }
    // One byte at a time into index 1, 2, ...; a read that brings nothing leaves the position.
    size_t position = 1;
    size_t expected = kFrameOverhead;
    size_t received = 0;
    while (received < expected) {
        size_t got = 0;
        if (CommStatus read = port.Read(&reply.bytes[position], 1, &got, kByteWaitMs); !read) {
            return read;
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
                return CommStatus::Failure("reply length", EMSGSIZE);
            }
        }
    }
    port.PurgeReceive();
    const size_t n = reply.bytes[3];
    if (FrameBcc(reply.bytes + 1, n + 3) != reply.bytes[1 + n + 3]) {
        return CommStatus::Failure("reply check", EBADMSG);
    }
    return {};
}

uint8_t Transact(ReaderPort& port, std::span<const uint8_t> request, ReplyBuffer& reply,
                 CommStatus* failure) {
    CommStatus last;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        reply = ReplyBuffer{};
        last = SendFrame(port, request);
        if (!last) {
            continue;
        }
        last = ReceiveFrame(port, reply);
        if (last) {
            break;
        }
    }
    if (failure != nullptr) {
        *failure = last;
    }
    return last ? reply.status() : kNoReply;
}

}  // namespace reader
