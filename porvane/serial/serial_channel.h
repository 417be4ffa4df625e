#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/comm/comm_constants.h"
#include "platform/comm/serial_device.h"
#include "porvane/serial/channel_tester.h"
#include "porvane/serial/line_settings.h"
#include "porvane/serial/page_window.h"

namespace porvane::serial {

inline constexpr char kMessagePortAlreadyOpen[] = "串口已经打开!!";
inline constexpr char kMessagePortBusy[] = "串口被占用!!";
inline constexpr char kMessagePortGone[] = "串口已断开";
// RTS "Toggle" asked of a port whose driver has no RS-485 mode to raise RTS while sending.
inline constexpr char kMessageNoRtsToggle[] =
    "这个串口的驱动没有RS-485模式, RTS Toggle不起作用: RTS保持有效.";

// A rate the port refused or took as another: "串口不接受波特率 5000000, 现用 921600".
inline constexpr char kMessageBaudNotTaken[] = "串口不接受波特率 ";
inline constexpr char kMessageBaudInUse[] = ", 现用 ";

// The event mask a channel waits with: received characters, transmit empty and the four modem
// lines. Line errors are seen through the statistics instead.
inline constexpr uint32_t kChannelEventMask = comm::EV_RXCHAR | comm::EV_TXEMPTY | comm::EV_CTS |
                                              comm::EV_DSR | comm::EV_RLSD | comm::EV_RING;
inline constexpr uint32_t kReceiveBufferSize = 2048;
inline constexpr uint32_t kTestBlockSize = 1000;

// One serial port opened by one page, with the event thread that reports modem-line changes
// (PN_MODEM_STATUS), transmit-empty (PN_SEND_EMPTY), each read (PN_RECV_COUNT) and received
// bytes (PN_RECV_DATA) to the owner page, in that order within one wake-up. When the device goes
// away (unplugged, far end hung up) the thread sends PN_PORT_GONE and ends; the page then closes
// the port from its own thread.
//
// Threads: the page's thread calls everything except ReadPort; the event thread waits, reads and
// runs the tester hooks. ClosePort waits until the event thread has ended before it releases the
// port, running the page's pending notifications meanwhile (PageWindow::PumpNotifications).
class SerialChannel {
  public:
    using DeviceOpener = std::function<comm::OpenResult(const std::string& path)>;

    explicit SerialChannel(DeviceOpener opener = comm::OpenSerialDevice);
    ~SerialChannel();
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    // The record OpenPort uses; the page fills it before each open.
    LineSettings& settings() { return settings_; }

    // owner must outlive the channel (or its next OpenPort). Returns 1 when the port is open and
    // the event thread runs; otherwise shows
    // "串口已经打开!!" (already open) or "串口被占用!!" (cannot open) and returns 0.
    int OpenPort(PageWindow* owner);
    // Returns 1 always; does nothing when the port is closed.
    int ClosePort();
    bool IsOpen() const;

    // Starts a write; the bytes are taken over before the call returns and counted, unless the
    // device refuses them (gone): then only what left is counted. Returns what went out at once
    // (0 while the write is under way, 0 when closed).
    uint32_t WritePort(const uint8_t* bytes, uint32_t count);
    // Event thread: reads what has been received, up to count bytes (at most a receive buffer)
    // without waiting, counts them, sends PN_RECV_COUNT, returns the count.
    uint32_t ReadPort(uint8_t* buffer, uint32_t count);

    // Applies the Dcb and then the time-outs of the record to the open port. An RTS toggle the
    // port cannot carry out is said once an open (kMessageNoRtsToggle), here and in OpenPort.
    // False when the port is closed or refused the Dcb (it then keeps its line as it was).
    bool ApplySettings(const LineSettings& settings);
    // After an open or ApplySettings, the windows' pages say kMessageBaudNotTaken to the owner
    // when the open port refused the rate asked or took it as another (beyond 2 %, which a
    // UART's divider rounds to and the line still works). Nothing when it took it, or is closed
    // or does not say. (The command line words this itself.)
    void SayIfBaudNotTaken(uint32_t asked);
    // The line the open port reports using, which a port may have taken otherwise than asked (a
    // server whose port has no parity); false when closed or the port does not say.
    bool GetLineState(comm::Dcb& dcb);
    // Modem control byte (bit 0 DTR, bit 1 RTS); 0 when closed or unknown.
    uint8_t GetModemControl();
    // Sets or clears DTR, RTS or a break on the open port; false when closed or refused.
    bool EscapeFunction(comm::Escape function);
    // The modem status word (MS_*) and control byte; false when closed or the port has no modem
    // lines (a pseudo-terminal).
    bool GetModemLines(uint32_t& status, uint32_t& control);
    // Fills out with the port's counters; leaves it alone when closed.
    void GetPortStatistics(comm::SerialStats* out);
    void ClearPortStatistics();
    // PurgeComm on the open port (PURGE_* flags); nothing when closed.
    void PurgePort(uint32_t flags);

    // Totals since the last open, for the pages and for tests.
    uint32_t bytes_written_total() const;
    uint32_t bytes_written_since_send_empty() const;
    uint32_t bytes_read_total() const { return bytes_read_total_.load(); }

    // Line tester hooks. SetTester before opening; the tester outlives the channel's use of it.
    void SetTester(ChannelTester* tester);
    // Generates one test block and writes it (while the test settings say running), as every
    // transmit-empty does; the page calls it once when it opens the port.
    void WriteTestBlock();
    void HandOverTestSettings(const TestSettings& settings);
    // Runs f on the tester under the tester lock (tally fetch, resynchronisation).
    void WithTester(const std::function<void(ChannelTester&)>& f);

  private:
    std::shared_ptr<comm::SerialDevice> Device() const;
    void EventThread(std::shared_ptr<comm::SerialDevice> device);
    // What has come, up to count bytes (at most a buffer), without waiting or reporting it.
    uint32_t TakeQueued(comm::SerialDevice& device, uint8_t* buffer, uint32_t count);
    // Counts a read of got bytes and sends PN_RECV_COUNT; returns got.
    uint32_t CountRead(uint32_t got);
    intptr_t Notify(uint32_t code, void* data);
    void JoinEventThread();
    void CheckTestBlock(const uint8_t* bytes, uint32_t count);
    void SayIfRtsCannotToggle(comm::SerialDevice& device, const comm::Dcb& dcb);

    DeviceOpener opener_;
    LineSettings settings_;
    std::atomic<PageWindow*> owner_{nullptr};  // set by every OpenPort
    bool told_no_rts_toggle_ = false;  // this open said so; OpenPort and ApplySettings' thread
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::atomic<std::thread::id> event_thread_id_{};

    mutable std::mutex device_mutex_;  // guards device_ (the event thread may drop it on close)
    std::shared_ptr<comm::SerialDevice> device_;

    mutable std::mutex counters_mutex_;  // guards the two write counters
    uint32_t bytes_written_total_ = 0;
    uint32_t bytes_written_since_send_empty_ = 0;
    std::atomic<uint32_t> bytes_read_total_{0};
    uint32_t last_read_count_ = 0;  // event thread only; its address is PN_RECV_COUNT's data

    std::mutex thread_state_mutex_;  // guards thread_done_
    std::condition_variable thread_done_cv_;
    bool thread_done_ = true;

    std::mutex tester_mutex_;  // guards tester_ and test_settings_; never held while notifying
    ChannelTester* tester_ = nullptr;
    TestSettings test_settings_;
};

}  // namespace porvane::serial
