#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/sievra_protocol.h"

namespace porvane::monitor {

// The client side of the driver's control protocol: one open control device of one port,
// reached through the driver host's socket. Control calls may come from one thread while
// another blocks in Read; Close from any thread ends a blocked Read (it returns 0).
class DriverLink {
  public:
    // The folder of the host's sockets: $SIEVRA_RUNTIME_DIR, else /run/sievra.
    static std::string RuntimeDir();

    // A host that leaves a control call (SetMode, LoadRule, Forward) unanswered for
    // reply_limit_ms is taken as hung: the call fails and the link closes, so that the caller
    // (the workbench's window) is never held for ever.
    static constexpr int kDefaultReplyLimitMs = 5000;

    explicit DriverLink(std::string runtime_dir = RuntimeDir(),
                        int reply_limit_ms = kDefaultReplyLimitMs);
    ~DriverLink();
    DriverLink(const DriverLink&) = delete;
    DriverLink& operator=(const DriverLink&) = delete;

    // Why the last Open failed.
    // kAccessDenied: the host refused this user the port's device (denied_device names it), or
    // this user may not reach the host's sockets at all (denied_device empty). kUntrustedHost:
    // the socket's host runs as neither root nor this user, so nothing it says is believed.
    enum class OpenFailure { kNone, kNoHost, kInUse, kAccessDenied, kUntrustedHost };

    // The index to open for the port a page's list names: the host numbers its ports as they
    // first appeared, which its port map ("SievrMap") tells, so port_name is looked up there
    // (by path, or by device number). list_index when there is no map to read (no host: the
    // open fails anyway); -1 when the host's map does not hold the port.
    int HostPortIndex(const std::string& port_name, int list_index) const;

    // Opens port (index + 1)'s control device; false when there is no host, no such port,
    // another client holds it, or this user may not use the port's device (open_failure says
    // which).
    bool Open(int port_index);
    OpenFailure open_failure() const { return open_failure_; }
    // The device the host refused this user (with kAccessDenied).
    const std::string& denied_device() const { return denied_device_; }
    bool IsOpen() const;
    // Each returns 1 on success, 0 on failure, on a time-out or when closed.
    int SetMode(uint32_t mode);
    int LoadRule(uint32_t code, const sievra::FilterRule& rule);
    // A serial request passed to the port's serial driver; returned gets the byte count.
    int Forward(uint32_t code, const void* input, uint32_t input_length, void* output,
                uint32_t output_length, uint32_t* returned = nullptr);
    // Up to length bytes of whole records (a record longer than length is cut, its rest comes
    // next); blocks until records come; 0 when closed. A length beyond 4096, up to
    // kMaxRecordRead, takes what the host holds for a slow reader in one round trip.
    uint32_t Read(uint8_t* buffer, uint32_t length = 4096);
    void Close();

  private:
    struct Reply {
        bool done = false;
        int32_t status = 0;
        uint32_t information = 0;
        std::vector<uint8_t> data;
    };
    // Sends a request and waits for its reply; with a time limit (milliseconds, -1 none) a reply
    // that does not come in time counts as a failure.
    bool Call(uint8_t op, uint32_t code, const void* input, uint32_t input_length,
              uint32_t output_length, Reply& reply, int timeout_ms = -1);
    // A control call: on a time-out the connection is shut down, which ends a blocked Read and
    // makes every later call fail at once.
    bool Control(uint32_t code, const void* input, uint32_t input_length, uint32_t output_length,
                 Reply& reply);
    void Receive(int fd);

    std::string runtime_dir_;
    int reply_limit_ms_;
    OpenFailure open_failure_ = OpenFailure::kNone;  // of the thread that calls Open
    std::string denied_device_;
    int fd_ = -1;
    std::thread receiver_;
    mutable std::mutex mutex_;  // guards fd_ state, next_id_, waiting_, closed_
    std::condition_variable replied_;
    uint32_t next_id_ = 1;
    std::map<uint32_t, Reply*> waiting_;
    bool closed_ = true;
    std::mutex send_mutex_;       // guards the socket's sending side and socket_closed_
    bool socket_closed_ = false;  // the socket is closed: nothing more is sent
};

}  // namespace porvane::monitor
