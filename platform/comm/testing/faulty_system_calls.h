#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/comm/serial_system_calls.h"

namespace comm::testing {

// System calls with faults put in on demand between a TermiosSerialDevice and a real terminal:
// interrupted and would-block calls, short writes and a device that vanishes. Calls that no fault
// takes reach the kernel, so the device still moves real bytes. Safe to use from every thread.
class FaultySystemCalls : public SerialSystemCalls {
  public:
    enum class Call { kRead, kWrite, kPoll, kCount };

    // The next calls of the kind fail, one error each in turn, before reaching the kernel.
    void FailNext(Call call, std::vector<int> errors);
    // From now on every nth call of the kind fails with the next error of the list, in turn
    // (every 0 stops it).
    void FailEvery(Call call, int every, std::vector<int> errors);
    // Each write passes at most max_bytes to the kernel (0: no limit).
    void LimitWrites(size_t max_bytes);
    // The device vanishes now, or once bytes more have reached it: from then on reads, writes
    // and requests fail with EIO, and the terminal polls hung up.
    void Vanish();
    void VanishAfterWriting(uint64_t bytes);

    // How many faults of the kind have been injected, and the bytes that reached the terminal.
    int injected(Call call);
    uint64_t bytes_written();

    ssize_t Read(int fd, void* buffer, size_t count) override;
    ssize_t Write(int fd, const void* bytes, size_t count) override;
    int Poll(pollfd* fds, nfds_t count, int timeout_ms) override;
    int Ioctl(int fd, unsigned long request, void* argument) override;

  private:
    struct Faults {
        std::deque<int> next;
        int every = 0;
        std::vector<int> every_errors;
        size_t every_turn = 0;
        uint64_t calls = 0;
        int injected = 0;
    };

    // The error this call of the kind is to fail with, or 0 to let it through; needs mutex_.
    int TakeFault(Call call);
    static int Fail(int error);
    static int HungUp(pollfd* fds, nfds_t count);

    std::mutex mutex_;  // guards every field below
    Faults faults_[static_cast<int>(Call::kCount)];
    size_t write_limit_ = 0;
    bool vanished_ = false;
    bool vanish_after_ = false;
    uint64_t vanish_budget_ = 0;  // bytes still to be written before the device vanishes
    uint64_t bytes_written_ = 0;
};

}  // namespace comm::testing
