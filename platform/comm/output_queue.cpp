#include "platform/comm/output_queue.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/comm/event_fd.h"
#include "platform/comm/serial_system_calls.h"

namespace comm {

OutputQueue::OutputQueue(int fd, SerialSystemCalls& calls, UniqueFd wake, SentListener sent,
                         IdleListener idle)
    : fd_(fd),
      calls_(calls),
      wake_(std::move(wake)),
      sent_(std::move(sent)),
      idle_(std::move(idle)) {}

OutputQueue::~OutputQueue() {
    Stop();
}

void OutputQueue::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    SignalEventFd(wake_.get());
    if (writer_.joinable()) {
        writer_.join();
    }
}

bool OutputQueue::Submit(const uint8_t* bytes, size_t count, size_t& sent_now, uint64_t& mark) {
    sent_now = 0;
    std::unique_lock lock(mutex_);
    if (gone_) {
        mark = enqueued_total_;
        return false;
    }
    if (head_ == out_.size()) {
        // Nothing queued: try to send at once, keeping the order of earlier writes.
        while (sent_now < count) {
            ssize_t n = calls_.Write(fd_, bytes + sent_now, count - sent_now);
            if (n > 0) {
                sent_now += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && IsVanishedError(errno)) {
                gone_ = true;
            }
            break;
        }
        sent_(sent_now);
        sent_total_ += sent_now;
        if (gone_) {
            enqueued_total_ += sent_now;  // the rest goes nowhere: not queued, not counted as sent
            mark = enqueued_total_;
            idle_();
            lock.unlock();
            changed_.notify_all();
            return false;
        }
    }
    enqueued_total_ += count;
    mark = enqueued_total_;
    if (sent_now < count) {
        if (head_ > 0 && head_ == out_.size()) {
            out_.clear();
            head_ = 0;
        }
        out_.insert(out_.end(), bytes + sent_now, bytes + count);
        if (!writer_.joinable() && !stop_) {
            writer_ = std::thread(&OutputQueue::WriterLoop, this);
        }
        lock.unlock();
        changed_.notify_all();
    }
    return true;
}

void OutputQueue::WriterLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || head_ < out_.size(); });
        if (stop_) {
            return;
        }
        lock.unlock();
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_.get(), POLLIN, 0}};
        int rc = calls_.Poll(fds, 2, -1);
        if (fds[1].revents & POLLIN) {
            DrainEventFd(wake_.get());
        }
        lock.lock();
        if (stop_) {
            return;
        }
        if (rc <= 0 || head_ == out_.size()) {
            continue;
        }
        ssize_t n = calls_.Write(fd_, out_.data() + head_, out_.size() - head_);
        if (n > 0) {
            head_ += static_cast<size_t>(n);
            sent_total_ += static_cast<uint64_t>(n);
            sent_(static_cast<size_t>(n));
        } else if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
                   (n <= 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)))) {
            // The device is gone or refuses output: what waits is dropped, not sent.
            gone_ = true;
            head_ = out_.size();
        }
        if (head_ == out_.size()) {
            out_.clear();
            head_ = 0;
            idle_();
        }
        changed_.notify_all();
    }
}

OutputQueue::Outcome OutputQueue::AwaitSent(uint64_t mark, size_t count, uint64_t limit_ms) {
    std::unique_lock lock(mutex_);
    auto done = [&] { return sent_total_ >= mark || stop_ || gone_; };
    if (limit_ms == 0) {
        changed_.wait(lock, done);
    } else {
        changed_.wait_until(
            lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms), done);
    }
    Outcome outcome;
    // Bytes queued before these ones leave first, so the unsent ones are these bytes' tail.
    outcome.unsent = static_cast<size_t>(
        std::min<uint64_t>(sent_total_ >= mark ? 0 : mark - sent_total_, count));
    outcome.gone = gone_;
    if (!gone_ && outcome.unsent > 0 && enqueued_total_ == mark) {
        // Timed out with these bytes last in the queue: take back what did not leave.
        out_.resize(out_.size() - outcome.unsent);
        enqueued_total_ -= outcome.unsent;
    }
    return outcome;
}

void OutputQueue::Clear() {
    {
        std::lock_guard lock(mutex_);
        sent_total_ += out_.size() - head_;
        out_.clear();
        head_ = 0;
    }
    changed_.notify_all();
}

size_t OutputQueue::waiting() {
    std::lock_guard lock(mutex_);
    return out_.size() - head_;
}

}  // namespace comm
