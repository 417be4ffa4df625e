#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/serial_device.h"

namespace brevant {

// Notification messages and their numbers.
enum PortMessage : uint32_t {
    PortMsgBreak = 1025,
    PortMsgCts = 1026,
    PortMsgError = 1028,
    PortMsgRing = 1029,
    PortMsgRxChar = 1031,
    PortMsgRxFlag = 1032,
};

inline constexpr char kErrorBoxCaption[] = "Application Error";

// The window that receives an EventPort's notifications.
class EventPortOwner {
  public:
    virtual ~EventPortOwner() = default;
    // Called on the port's thread; returns once the window has handled it.
    virtual void OnPortMessage(uint32_t message, uint32_t wparam, uint32_t port_number) = 0;
    // A box without owner, caption "Application Error", stop icon; may be called on any thread.
    virtual void ShowErrorBox(const std::string& text) = 0;
    // Runs notifications the port's thread waits on while the window's thread waits for it.
    virtual void PumpNotifications() {}
    // Called on the port's thread once a queued write has gone to the port (after the purge of
    // unread input that precedes it): bytes reported from here on arrived after the write.
    virtual void OnWritten() {}
};

// The command assistant's serial port: one event thread that drains received bytes one at a
// time (1031 each), reports the configured events (1032 ends a burst with the mask 3) and
// performs queued writes. A write request is copied and queued, so bytes in flight never change.
// A line that never falls quiet does not hold the thread in the drain: a queued write ends the
// burst there (its purge would drop the rest anyway), and a shutdown ends the thread.
class EventPort {
  public:
    using Opener = std::function<comm::OpenResult(const std::string& path)>;
    explicit EventPort(Opener opener = comm::OpenSerialDevice);
    ~EventPort();
    EventPort(const EventPort&) = delete;
    EventPort& operator=(const EventPort&) = delete;

    bool Initialise(EventPortOwner* owner, int port_number, int baud, char parity, int data_bits,
                    int stop_bits, uint32_t event_mask, size_t write_buffer_size);
    bool StartMonitoring();
    // Queues a write; false (nothing sent) when longer than the write buffer or not monitoring.
    bool Write(const uint8_t* bytes, size_t length);
    bool Write(const std::string& text);
    void Shutdown();

    bool alive() const { return alive_.load(); }
    int exit_code() const { return exit_code_.load(); }
    size_t write_buffer_size() const { return buffer_size_; }

    // The line definition and the device for a port number, as the component builds them.
    static std::string LineDefinition(int baud, char parity, int data_bits, int stop_bits);
    static std::string DeviceName(int port_number);
    static std::string ErrorBoxText(const char* step, int error, int port_number);

  private:
    // Initialise under port_lock_: opens and configures the port; the first refused step is
    // returned in failed_step and status for the caller to report once the lock is released.
    bool Configure(EventPortOwner* owner, int port_number, int baud, char parity, int data_bits,
                   int stop_bits, uint32_t event_mask, size_t write_buffer_size,
                   const char*& failed_step, comm::CommStatus& status);
    void Run(std::shared_ptr<comm::SerialDevice> device);
    void Wake(comm::SerialDevice& device);
    void EndThread();
    void Fail(const char* step, int error);
    bool RequestPending();

    Opener opener_;
    EventPortOwner* owner_ = nullptr;
    int port_number_ = 0;
    uint32_t mask_ = 0;
    size_t buffer_size_ = 0;
    std::shared_ptr<comm::SerialDevice> device_;  // the port, or none
    // Guards device_ and (re)configuration. Never held while the owner is called: its handlers
    // wait for the window's thread, which takes this lock in Write and Shutdown.
    std::mutex port_lock_;
    std::thread thread_;
    std::atomic<bool> alive_{false};
    std::atomic<int> exit_code_{0};

    std::mutex requests_mutex_;  // guards writes_ and shutdown_
    // Signalled when a write is queued or a shutdown asked for: the thread of a vanished port
    // waits on it instead of on the port.
    std::condition_variable requests_changed_;
    std::deque<std::vector<uint8_t>> writes_;
    bool shutdown_ = false;
};

}  // namespace brevant
