#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/comm/serial_device.h"

namespace comm::testing {

// A serial line whose far end is the test: it hands received bytes, modem-line changes, line
// errors and whole event words to the devices opened on it, and records what they did. It
// covers what pseudo-terminals lack (modem lines, error counters) behind the same SerialDevice
// interface that real ports use. One device may be open on it at a time.
class ScriptedPort : public std::enable_shared_from_this<ScriptedPort> {
  public:
    static std::shared_ptr<ScriptedPort> Create() {
        return std::shared_ptr<ScriptedPort>(new ScriptedPort);
    }

    // Opens a device on the line; EBUSY while one is open or while SetBusy(true).
    OpenResult Open();
    void SetBusy(bool busy);

    // --- what the far end does ---
    void Receive(const std::vector<uint8_t>& bytes);  // bytes arrive (EV_RXCHAR)
    void SetModemStatus(uint32_t status);             // MS_* word; changed lines raise events
    void AddLineErrors(uint32_t frame, uint32_t overrun, uint32_t buffer_overrun, uint32_t parity);
    // The next wait returns exactly this word; bytes arrive with it (not on a wake-up of their
    // own).
    void InjectEvents(uint32_t events, const std::vector<uint8_t>& bytes = {});
    void HoldTransmit(bool hold);                // written bytes stay queued; no EV_TXEMPTY
    void SetWriteCompletesAtOnce(bool at_once);  // WriteAsync reports count or 0 (pending)
    void Vanish();                               // every later operation fails with EIO
    // A rate above baud is taken as baud, as a driver takes the nearest rate it can make.
    void SetFastestBaud(uint32_t baud);

    // --- what the device did ---
    std::vector<uint8_t> Written() const;
    Dcb LastState() const;
    CommTimeouts LastTimeouts() const;
    uint32_t LastEventMask() const;
    std::vector<uint32_t> Purges() const;
    uint32_t ModemControl() const;  // DTR bit 0, RTS bit 1
    int Breaks() const;             // breaks set (SetBreak) since the port was made
    int Opens() const;
    bool IsOpen() const;

  private:
    friend class ScriptedSerialDevice;
    ScriptedPort() = default;

    mutable std::mutex mutex_;  // guards every field below
    std::condition_variable changed_;
    bool busy_ = false;
    bool open_ = false;
    bool vanished_ = false;
    int opens_ = 0;
    uint64_t device_generation_ = 0;  // which open a device belongs to
    std::deque<uint8_t> received_;
    std::vector<uint8_t> written_;
    uint32_t modem_status_ = 0;
    uint32_t pending_events_ = 0;  // raised by the line, reported by the next wait
    std::vector<uint32_t> injected_;
    bool hold_transmit_ = false;
    bool write_at_once_ = true;
    size_t unsent_ = 0;  // written bytes not yet "on the wire" while transmit is held
    bool tx_armed_ = false;
    SerialStats counters_;  // since the last clear
    uint32_t errors_ = 0;   // CE_* since the last ClearError
    Dcb dcb_;
    CommTimeouts timeouts_;
    uint32_t mask_ = 0;
    uint64_t mask_generation_ = 0;
    bool cancelled_ = false;
    std::vector<uint32_t> purges_;
    uint32_t modem_control_ = 0;
    int breaks_ = 0;
    uint32_t fastest_baud_ = 0;  // 0: every rate is taken as asked
};

}  // namespace comm::testing
