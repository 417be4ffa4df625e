#pragma once

#include <linux/serial.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/output_queue.h"
#include "platform/comm/receive_filter.h"
#include "platform/comm/serial_device.h"
#include "platform/comm/serial_system_calls.h"
#include "platform/comm/unique_fd.h"

namespace comm {

// A serial port on a Linux terminal device. Exclusive through flock (which binds root too) and
// TIOCEXCL. Writes that cannot go out at once wait in an OutputQueue that its writer thread
// drains, so a started write never blocks its caller. Reads follow PlanRead. Statistics come from
// TIOCGICOUNT where the driver has it; otherwise (pseudo-terminals, some USB adapters) the device
// counts bytes itself and reports no errors. Modem-line changes are found by sampling the line
// counters (or the status word) every few milliseconds while the event mask asks for them:
// TIOCMIWAIT cannot be interrupted without signals, and the counters still catch a pulse shorter
// than the sampling period. Every system call on the terminal goes through one SerialSystemCalls.
// Received bytes pass a ReceiveFilter (error character, null stripping, event character); while
// the mask asks for EV_RXFLAG a wait reads what has come ahead of the program to find the event
// character, and reads take those bytes first. RTS toggling is the driver's RS-485 mode
// (TIOCSRS485 with RTS on send) where the driver has one.
class TermiosSerialDevice final : public SerialDevice {
  public:
    static OpenResult Open(const std::string& path);
    // The same with the device's system calls going through calls (tests inject faults there;
    // null: straight to the kernel). The device shares calls until it is destroyed.
    static OpenResult Open(const std::string& path, std::shared_ptr<SerialSystemCalls> calls);
    // The same, and the terminal's settings from before the open are put back as the device is
    // destroyed (a command-line terminal leaves the port as it found it).
    static OpenResult OpenRestoring(const std::string& path);
    ~TermiosSerialDevice() override;

    CommStatus SetState(const Dcb& dcb) override;
    CommStatus GetState(Dcb& dcb) override;
    CommStatus SetTimeouts(const CommTimeouts& timeouts) override;
    CommStatus GetTimeouts(CommTimeouts& timeouts) override;
    CommStatus SetEventMask(uint32_t mask) override;
    uint32_t EventMask() override;
    CommStatus WaitEventFor(uint32_t& events, int timeout_ms) override;
    CommStatus Read(uint8_t* buffer, size_t count, size_t& got) override;
    // One read of the terminal (or of what was read ahead), with no queue query before it.
    CommStatus ReadQueued(uint8_t* buffer, size_t count, size_t& got) override;
    CommStatus Write(const uint8_t* bytes, size_t count, size_t& written) override;
    CommStatus WriteAsync(const uint8_t* bytes, size_t count, size_t& completed_now) override;
    CommStatus Purge(uint32_t flags) override;
    CommStatus ClearError(uint32_t* errors, QueueStatus* status) override;
    CommStatus GetModemStatus(uint32_t& status) override;
    CommStatus GetModemControl(uint32_t& control) override;
    CommStatus EscapeFunction(Escape function) override;
    CommStatus GetStatistics(SerialStats& stats) override;
    CommStatus ClearStatistics() override;
    void CancelIo() override;
    bool RtsFollowsSending() override;

    // Whether the driver keeps line counters (TIOCGICOUNT) and modem lines (TIOCMGET).
    bool HasLineCounters() const { return has_icount_; }
    bool HasModemLines() const { return has_modem_; }
    // How many waits and reads have taken their mask, time-outs and abort marks: a mask change,
    // cancel or receive abort made after that reaches the call. Tests act on pending calls by it.
    uint64_t calls_begun();

  private:
    static OpenResult Open(const std::string& path, std::shared_ptr<SerialSystemCalls> calls,
                           KernelTermios* before);
    // The driver's line counters that the device uses, in one place.
    struct LineCounters {
        uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
        uint32_t rx = 0, tx = 0;
        uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
    };

    TermiosSerialDevice(UniqueFd fd, UniqueFd wait_wake, UniqueFd read_wake, UniqueFd writer_wake,
                        std::shared_ptr<SerialSystemCalls> calls);

    bool ReadLineCounters(LineCounters& counters) const;
    bool ReadModemBits(int& bits) const;
    LineCounters CurrentCounters() const;  // driver counters, or the device's own byte counts
    uint32_t TakeModemChanges();           // needs mutex_
    void SnapshotModemLines();             // needs mutex_
    bool OutputDrained();
    // Hands the bytes to the output queue and arms transmit-empty; false once the device is gone.
    bool Submit(const uint8_t* bytes, size_t count, size_t& sent_now, uint64_t& mark);
    void CountTransmitted(size_t n);
    // Turns the driver's RS-485 mode with RTS on send on or off; false when the driver has none.
    bool SetRtsOnSend(bool on);  // needs mutex_
    // Received bytes for a read, at most max into out: those read ahead first, else one read of
    // the terminal, filtered. Returns the bytes taken off the terminal or read ahead (kept says
    // how many of them the filter kept), or what the terminal's read returned (0, or -1 and
    // errno). latch_event: the mask asks for EV_RXFLAG.
    ssize_t TakeReceived(uint8_t* out, size_t max, bool latch_event, size_t& kept);
    // For a wait: reads ahead what the terminal holds (watch_event: the mask asks for EV_RXFLAG)
    // and says whether bytes read ahead wait (those in the terminal are left to the wait's
    // poll), whether the event character came (the event is then taken), and whether the
    // read-ahead store is full.
    struct Received {
        bool waiting = false;
        bool event = false;
        bool ahead_full = false;
    };
    Received CheckReceived(bool watch_event);
    // Reads what has come through the filter into ahead_ (needs receive_mutex_); the event
    // character latches rx_flag_ when latch_event. True when ahead_ grew.
    bool ReadAheadLocked(bool latch_event);

    const std::shared_ptr<SerialSystemCalls> calls_;
    UniqueFd fd_;
    UniqueFd wait_wake_;  // eventfd: wakes WaitEvent (mask change, cancel, output drained)
    UniqueFd read_wake_;  // eventfd: wakes Read (cancel, receive abort)
    bool has_icount_ = false;
    bool has_modem_ = false;

    std::mutex mutex_;  // guards the fields down to the next blank line
    Dcb dcb_;
    CommTimeouts timeouts_;
    uint32_t mask_ = 0;
    uint64_t mask_generation_ = 0;
    uint64_t read_abort_generation_ = 0;
    bool cancelled_ = false;
    bool tx_armed_ = false;  // bytes were written since the last EV_TXEMPTY
    uint64_t calls_begun_ = 0;
    LineCounters modem_seen_;
    int modem_bits_seen_ = 0;
    LineCounters error_baseline_;
    LineCounters stats_baseline_;
    bool rts_on_send_ = false;  // the driver's RS-485 mode was turned on by SetState
    bool rs485_saved_ = false;  // rs485_before_ holds the driver's setting from before that
    serial_rs485 rs485_before_{};
    std::optional<KernelTermios> restore_;  // put back on destruction (OpenRestoring)

    // Taken after mutex_ where both are held, never before it.
    std::mutex receive_mutex_;  // guards the fields down to the next blank line
    ReceiveFilter filter_;
    std::deque<uint8_t> ahead_;  // bytes read ahead of the program, filtered
    bool rx_flag_ = false;       // the event character came while the mask asked for EV_RXFLAG

    // Bytes counted by the device itself when the driver has no counters.
    std::atomic<uint32_t> own_rx_{0};
    std::atomic<uint32_t> own_tx_{0};

    OutputQueue queue_;  // last: its writer thread uses the fields above until it is stopped
};

}  // namespace comm
