#include "platform/comm/testing/faulty_system_calls.h"

#include <cerrno>

namespace comm::testing {

void FaultySystemCalls::FailNext(Call call, std::vector<int> errors) {
    std::lock_guard lock(mutex_);
    Faults& f = faults_[static_cast<int>(call)];
    f.next.insert(f.next.end(), errors.begin(), errors.end());
}

void FaultySystemCalls::FailEvery(Call call, int every, std::vector<int> errors) {
    std::lock_guard lock(mutex_);
    Faults& f = faults_[static_cast<int>(call)];
    f.every = errors.empty() ? 0 : every;
    f.every_errors = std::move(errors);
    f.every_turn = 0;
    f.calls = 0;
}

void FaultySystemCalls::LimitWrites(size_t max_bytes) {
    std::lock_guard lock(mutex_);
    write_limit_ = max_bytes;
}

void FaultySystemCalls::Vanish() {
    std::lock_guard lock(mutex_);
    vanished_ = true;
}

void FaultySystemCalls::VanishAfterWriting(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    vanish_after_ = true;
    vanish_budget_ = bytes;
    vanished_ = bytes == 0;
}

int FaultySystemCalls::injected(Call call) {
    std::lock_guard lock(mutex_);
    return faults_[static_cast<int>(call)].injected;
}

uint64_t FaultySystemCalls::bytes_written() {
    std::lock_guard lock(mutex_);
    return bytes_written_;
}

int FaultySystemCalls::TakeFault(Call call) {
    Faults& f = faults_[static_cast<int>(call)];
    int error = 0;
    if (!f.next.empty()) {
        error = f.next.front();
        f.next.pop_front();
    } else if (f.every > 0 && ++f.calls % static_cast<uint64_t>(f.every) == 0) {
        error = f.every_errors[f.every_turn++ % f.every_errors.size()];
    }
    if (error != 0) {
        ++f.injected;
    }
    return error;
}

int FaultySystemCalls::Fail(int error) {
    errno = error;
    return -1;
}

int FaultySystemCalls::HungUp(pollfd* fds, nfds_t count) {
    // The wake-up descriptors keep their real state; the terminal reports only its hang-up.
    if (::poll(fds, count, 0) < 0) {
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = 0;
        }
    }
    fds[0].revents = POLLHUP;
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        ready += fds[i].revents != 0 ? 1 : 0;
    }
    return ready;
}

ssize_t FaultySystemCalls::Read(int fd, void* buffer, size_t count) {
    {
        std::lock_guard lock(mutex_);
        if (vanished_) {
            return Fail(EIO);
        }
        if (int error = TakeFault(Call::kRead)) {
            return Fail(error);
        }
    }
    return SerialSystemCalls::Read(fd, buffer, count);
}

ssize_t FaultySystemCalls::Write(int fd, const void* bytes, size_t count) {
    {
        std::lock_guard lock(mutex_);
        if (vanished_) {
            return Fail(EIO);
        }
        if (int error = TakeFault(Call::kWrite)) {
            return Fail(error);
        }
        if (write_limit_ > 0 && count > write_limit_) {
            count = write_limit_;
        }
        if (vanish_after_ && count > vanish_budget_) {
            count = static_cast<size_t>(vanish_budget_);
        }
    }
    // Writes come from one thread at a time (the device's queue lock), so the budget holds.
    ssize_t n = SerialSystemCalls::Write(fd, bytes, count);
    std::lock_guard lock(mutex_);
    if (n > 0) {
        bytes_written_ += static_cast<uint64_t>(n);
        if (vanish_after_) {
            vanish_budget_ -= static_cast<uint64_t>(n);
            vanished_ = vanish_budget_ == 0;
        }
    }
    return n;
}

int FaultySystemCalls::Poll(pollfd* fds, nfds_t count, int timeout_ms) {
    {
        std::lock_guard lock(mutex_);
        if (vanished_) {
            return HungUp(fds, count);
        }
        if (int error = TakeFault(Call::kPoll)) {
            for (nfds_t i = 0; i < count; ++i) {
                fds[i].revents = 0;
            }
            return Fail(error);
        }
    }
    int ready = SerialSystemCalls::Poll(fds, count, timeout_ms);
    std::lock_guard lock(mutex_);
    return vanished_ ? HungUp(fds, count) : ready;
}

int FaultySystemCalls::Ioctl(int fd, unsigned long request, void* argument) {
    {
        std::lock_guard lock(mutex_);
        if (vanished_) {
            return Fail(EIO);
        }
    }
    return SerialSystemCalls::Ioctl(fd, request, argument);
}

}  // namespace comm::testing
