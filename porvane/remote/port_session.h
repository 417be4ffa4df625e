#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/unique_fd.h"
#include "platform/rfc2217/telnet_codec.h"
#include "porvane/remote/com_port_control.h"

namespace comm {
class SerialDevice;
}

namespace remote {

// One client of a served port, on its connected socket: the Telnet stream (options, Com Port
// Control commands carried out on the port, data with IAC doubling) and the data both ways.
// Two threads: the network thread reads and writes the socket and carries out the commands;
// the port writer hands the client's data to the port, where a write may wait on a slow line.
// The server's port reader brings what the port receives and how its lines change through the
// calls marked below. Buffers are bounded both ways: the socket is not read while the port is
// behind, and the port is not read while the client is behind (or has suspended the flow).
class PortSession : private rfc2217::TelnetSink {
  public:
    // on_end runs once on the network thread as the session ends; it must not block.
    // closing_wait_ms: how long the client's data may still take to reach the port after it
    // closed, at most. stall_ms: how long the port may take none of the client's data before
    // the session ends with what waits dropped.
    PortSession(comm::SerialDevice& device, comm::UniqueFd socket, std::string peer,
                std::string signature, uint32_t closing_wait_ms, uint32_t stall_ms,
                std::function<void()> on_end);
    ~PortSession() override;
    PortSession(const PortSession&) = delete;
    PortSession& operator=(const PortSession&) = delete;

    // Starts the threads; false (and nothing started) when the system has no eventfd to spare.
    bool Start();
    // Ends the session from any thread without waiting; the first reason given is kept.
    void RequestStop(const std::string& reason);
    // Waits for the session's threads (not to be called on them).
    void Join();
    bool ended();
    // Whether the session is ending (or has ended): it takes nothing more from the port.
    bool stopping();
    std::string end_reason();
    const std::string& peer() const { return peer_; }

    // --- for the port reader thread ---
    // Waits up to timeout_ms until the client can take more of the port's data; false when it
    // cannot yet or the session ends.
    bool WaitForRoom(int timeout_ms);
    // How many received bytes may be handed over now (0 while the client is behind).
    size_t Room();
    void FromPort(std::span<const uint8_t> bytes);
    // The modem status word now (MS_*); sent to the client when a line under its mask changed.
    void ModemStatus(uint32_t status);
    // Whether the client asked for line state reports, and the line errors (CE_*) found.
    bool WantsLineState();
    void LineErrors(uint32_t errors);

  private:
    void OnData(std::span<const uint8_t> bytes) override;
    void OnNegotiation(uint8_t verb, uint8_t option) override;
    void OnSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override;

    void RunNetwork();
    // The network loop; returns why the session ends.
    std::string Serve();
    // Sends what the socket takes now; false (error says why) when the connection failed.
    bool Flush(std::string& error);
    // After the client closed: waits until its last data has gone to the port, until the
    // closing deadline at the latest.
    void DrainToPort();
    // Starts the closing deadline when the client's close is first seen.
    void StartClosing();
    void RunWriter();
    // Appends to what goes to the client and wakes the network thread. Needs mutex_.
    void QueueLocked(const std::vector<uint8_t>& bytes);
    // Sends NOTIFY-MODEMSTATE when a line under the mask changed (or always with force). Needs
    // mutex_.
    void ReportModemLocked(uint32_t status, bool force);

    comm::SerialDevice& device_;
    comm::UniqueFd socket_;
    const std::string peer_;
    const uint32_t closing_wait_ms_;
    const uint32_t stall_ms_;
    std::function<void()> on_end_;
    comm::UniqueFd wake_;  // eventfd: wakes the network thread
    // Used on the network thread only.
    rfc2217::TelnetDecoder decoder_;
    rfc2217::OptionNegotiator negotiator_;
    ComPortControl control_;
    bool com_port_on_ = false;
    // Set once the client's close was seen: its data may reach the port until then, no longer.
    std::optional<std::chrono::steady_clock::time_point> closing_deadline_;

    std::mutex mutex_;  // guards the fields down to the next blank line
    std::condition_variable changed_;
    std::vector<uint8_t> outbound_;  // Telnet stream for the client, not yet sent
    std::deque<uint8_t> to_port_;    // the client's data, not yet handed to the port
    bool stop_ = false;              // the session is ending
    std::string reason_;             // why
    bool input_done_ = false;        // the client closed its side
    bool writer_done_ = false;       // the port writer has ended
    bool writing_ = false;           // the port writer is in a write to the port
    bool network_done_ = false;      // the network thread has ended
    bool flow_suspended_ = false;    // the client asked for no more data for now
    bool client_held_ = false;       // we asked the client to hold its data
    uint8_t modem_mask_ = 0xFF;      // SET-MODEMSTATE-MASK, all lines at first
    uint8_t line_mask_ = 0;          // SET-LINESTATE-MASK, nothing at first
    uint32_t modem_reported_ = 0;    // the modem status word last reported

    std::mutex join_mutex_;  // guards the joining of the two threads
    std::thread network_;
    std::thread writer_;
};

}  // namespace remote
