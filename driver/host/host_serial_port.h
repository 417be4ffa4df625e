#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/comm/unique_fd.h"
#include "platform/kernel/io_manager.h"

namespace sievra {

// A device-control request whose call the application has already made on its own descriptor:
// the lower driver only completes it, so the filter above records what the call did.
inline constexpr uint8_t kMinorAlreadyCarriedOut = 1;

// The host's lower serial driver for one port: the bottom of the port's device stack. It holds
// duplicates of the descriptors of the applications that have the port open (passed by the
// attachment) and carries out the requests that reach it on the real port, through the one that
// opened last. Without an application, requests succeed with no data and queries answer zeros
// (a baud of 0).
class HostSerialPort {
  public:
    // Takes fd as the port's descriptor for the application connection `owner`. True when
    // another connection already holds the same open file (a child that inherited it): the
    // open is one the port has on record already.
    bool Attach(comm::UniqueFd fd, uint64_t owner);
    // Lets go of the descriptor if `owner` is the connection that passed it. True when no
    // other connection holds the same open file any more: the open ends with this one.
    bool Detach(uint64_t owner);
    bool attached() const;
    // True when fd is the very open file (not just the same device) that `owner` passed.
    bool SameOpenFile(uint64_t owner, int fd) const;
    // Bytes of the application's reads and writes that reached this driver, for statistics on
    // a port that keeps no counters of its own.
    void CountTransfer(bool received, uintptr_t bytes) {
        (received ? received_ : transmitted_) += static_cast<uint32_t>(bytes);
    }

    // Carries out one serial control request on the real port; buffer holds the input and
    // receives the output. Returns the status and sets information to the output length.
    kernel::NTSTATUS Control(uint32_t code, uint8_t* buffer, uint32_t in, uint32_t out,
                             uintptr_t& information);

  private:
    mutable std::mutex mutex_;  // guards opens_ and every call on their descriptors
    std::vector<std::pair<uint64_t, comm::UniqueFd>> opens_;  // owner, descriptor; oldest first
    std::atomic<uint32_t> received_{0};
    std::atomic<uint32_t> transmitted_{0};
};

// The dispatch routine of the host's serial driver: every request type of the physical devices,
// whose extension holds a HostSerialPort*. Runs on the thread that passes the request down.
kernel::NTSTATUS HostSerialDispatch(kernel::DeviceObject* device, kernel::Irp* irp);

}  // namespace sievra
