#pragma once

// The requests of a link connection as the host reads them, and its answers.
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "driver/host/record_ring_reader.h"
#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"
#include "driver/sievra_protocol.h"
#include "platform/comm/unique_fd.h"

namespace sievra {

// One request off a link socket: its header, then its input bytes. The buffer is sized for
// whichever of input and output is larger, so the reply can be written back into it.
struct LinkRequest {
    uint32_t id = 0;
    uint8_t op = 0;
    uint32_t code = 0;
    uint32_t in = 0;
    uint32_t out = 0;
    std::vector<uint8_t> buffer;
    comm::UniqueFd passed;  // a descriptor that came with the request (SCM_RIGHTS)
};

enum class RequestRead { kOk, kGone, kOversized };

// A session's requests off its socket, read in large pieces so that a stream of small requests
// (an application's monitor records) costs few system calls. A descriptor passed with the bytes
// (SCM_RIGHTS) is kept until the next request takes it.
class RequestReader {
  public:
    // max_read: the most a read of records (kRead) may ask for on this connection.
    explicit RequestReader(int fd, uint32_t max_read = link::kMaxTransfer)
        : fd_(fd), max_read_(max_read), buffer_(kBufferSize) {}

    // Until the given time, reads end (as if the peer had gone) when nothing more comes by
    // then; none, for no limit.
    void SetDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
        deadline_ = deadline;
    }

    // From now on, the requests of ring come before each message of the socket, looked at every
    // tick while records come. Each look costs the program a share of its processor (the
    // host's wake-ups preempt it on a small machine): records that carry the program's own time
    // may wait 5 ms (under a microsecond per call) and still show at once to a person; records
    // timed on arrival are looked at every millisecond, so that their times stay that close.
    // A program that fills half the ring sooner wakes the host itself.
    void AttachRing(RecordRingReader* ring, bool program_times) {
        ring_ = ring;
        tick_ms_ = program_times ? 5 : 1;
        idle_ticks_limit_ = kIdleMs / tick_ms_;
    }

    RequestRead Next(LinkRequest& request) {
        uint8_t header[link::kRequestHeaderSize];
        if (!Take(header, sizeof header))
            return RequestRead::kGone;
        request.passed = std::move(passed_);
        request.id = GetLe32(header);
        request.op = header[4];
        request.code = GetLe32(header + 5);
        request.in = GetLe32(header + 9);
        request.out = GetLe32(header + 13);
        const bool read = request.op == link::kRead;
        if (request.in > link::kMaxTransfer ||
            request.out > (read ? max_read_ : link::kMaxTransfer))
            return RequestRead::kOversized;
        request.buffer.assign(std::max(request.in, request.out), 0);
        if (request.in > 0 && !Take(request.buffer.data(), request.in))
            return RequestRead::kGone;
        return RequestRead::kOk;
    }

  private:
    static constexpr size_t kBufferSize = 64 * 1024;

    // Copies n bytes out of the buffer, filling it from the socket as needed.
    bool Take(uint8_t* out, size_t n) {
        while (n > 0) {
            if (start_ == end_ && !Fill())
                return false;
            const size_t take = std::min(n, end_ - start_);
            std::memcpy(out, buffer_.data() + start_, take);
            start_ += take;
            out += take;
            n -= take;
        }
        return true;
    }

    // Fills the buffer with whole requests: the ring's first, then the socket's next message.
    bool Fill() {
        start_ = end_ = 0;
        if (ring_ != nullptr)
            ring_->Settle();  // every request taken before has been served
        for (;;) {
            if (ring_ != nullptr) {
                size_t got = 0;
                const RecordRingReader::Taken taken =
                    ring_->Take(buffer_.data(), buffer_.size(), got);
                if (taken == RecordRingReader::Taken::kBroken)
                    return false;
                if (taken == RecordRingReader::Taken::kData) {
                    end_ = got;
                    idle_ticks_ = 0;
                    // A ring kept full is taken without reading the socket: its end is looked
                    // for each time, so that a program that has gone (or a host that stops)
                    // ends the session however long the ring is fed from elsewhere.
                    if (!socket_gone_ && SocketEnded())
                        ring_->EndHere();
                    return true;
                }
            }
            if (!held_.empty()) {  // a socket message that came behind records of the ring
                std::memcpy(buffer_.data(), held_.data(), held_.size());
                end_ = held_.size();
                held_.clear();
                passed_ = std::move(held_passed_);
                return true;
            }
            if (socket_gone_)
                return false;
            if (!WaitForSocket())
                return false;
            iovec iov{buffer_.data(), buffer_.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC | (ring_ ? MSG_DONTWAIT : 0));
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                // What the ring still holds was published before the program went.
                socket_gone_ = true;
                if (ring_ != nullptr)
                    ring_->EndHere();
                continue;
            }
            comm::UniqueFd passed;
            link::ForEachPassedDescriptor(msg, [&](int fd) {
                passed.Reset(fd);  // only the last one is kept
            });
            if (ring_ != nullptr && ring_->HasData()) {
                // The ring's records were made first: this message waits behind them.
                held_.assign(buffer_.data(), buffer_.data() + n);
                held_passed_ = std::move(passed);
                continue;
            }
            passed_ = std::move(passed);
            end_ = static_cast<size_t>(n);
            return true;
        }
    }

    // Waits until the socket has a message, or the ring records (false: the deadline passed).
    // While records come, the ring is looked at on a short tick, so that a program's records
    // cost it no wake; once it has stayed empty a while, the host sleeps and says so.
    bool WaitForSocket() {
        for (;;) {
            int wait_ms = -1;
            if (deadline_) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    *deadline_ - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    return false;
                wait_ms = static_cast<int>(left.count());
            }
            bool sleeping = false;
            if (ring_ != nullptr && idle_ticks_ < idle_ticks_limit_) {
                wait_ms = wait_ms < 0 ? tick_ms_ : std::min(wait_ms, tick_ms_);
            } else if (ring_ != nullptr) {
                if (!ring_->Sleep())
                    return true;  // a record came: Fill takes it
                sleeping = true;
            }
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, wait_ms);
            if (sleeping)
                ring_->Awake();
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return true;  // the read says what is wrong
            if (ring_ != nullptr) {
                ++idle_ticks_;
                if (ring_->HasData())
                    return true;
            }
        }
    }

    // Whether the peer will send no more (or the host shut the socket down).
    bool SocketEnded() const {
        pollfd p{fd_, POLLRDHUP, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    }

    static constexpr int kIdleMs = 20;  // without records this long, the host sleeps

    int fd_;
    uint32_t max_read_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    comm::UniqueFd passed_;
    RecordRingReader* ring_ = nullptr;
    int tick_ms_ = 1;
    int idle_ticks_limit_ = kIdleMs;
    int idle_ticks_ = 0;
    bool socket_gone_ = false;
    std::vector<uint8_t> held_;  // a socket message waiting behind the ring's records
    comm::UniqueFd held_passed_;
};

// Answers request id on fd (whole, with fd_to_pass and second_fd when not -1), one answer at a
// time; false when the peer is gone.
bool SendResponse(int fd, std::mutex& write_mutex, uint32_t id, int32_t status,
                  uint32_t information, const uint8_t* data, uint32_t length, int fd_to_pass = -1,
                  int second_fd = -1);

}  // namespace sievra
