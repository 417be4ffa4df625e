#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/comm/comm_constants.h"
#include "platform/comm/comm_status.h"
#include "platform/comm/comm_timeouts.h"
#include "platform/comm/dcb.h"
#include "platform/comm/serial_stats.h"

namespace comm {

// One open serial port with the operations of the Windows communications interface. Every
// method may be called from any thread; one thread may wait for events or read while others
// write or query. Closing is the destruction of the object.
class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    // Line state. SetState refuses a record it cannot apply (EINVAL) and changes nothing then.
    // Besides the line and flow control it carries out the receive options: bytes received with
    // a parity or framing error replaced by ErrorChar (fErrorChar), NUL bytes dropped (fNull),
    // and EvtChar reported as EV_RXFLAG.
    virtual CommStatus SetState(const Dcb& dcb) = 0;
    virtual CommStatus GetState(Dcb& dcb) = 0;
    virtual CommStatus SetTimeouts(const CommTimeouts& timeouts) = 0;
    virtual CommStatus GetTimeouts(CommTimeouts& timeouts) = 0;

    // Sets the events WaitEvent reports. A wait in progress ends at once with an empty event word.
    virtual CommStatus SetEventMask(uint32_t mask) = 0;
    virtual uint32_t EventMask() = 0;

    // Blocks until an event of the mask occurs and returns its bits (EV_*); returns an empty word
    // when the mask changes, and ECANCELED after CancelIo. EV_RXCHAR is reported while received
    // bytes are waiting; EV_RXFLAG once after the event character came (since the mask was set
    // or the event last reported); EV_TXEMPTY once after written bytes have all left the device.
    CommStatus WaitEvent(uint32_t& events) { return WaitEventFor(events, -1); }

    // The same, giving up with ETIMEDOUT after timeout_ms (-1: no limit).
    virtual CommStatus WaitEventFor(uint32_t& events, int timeout_ms) = 0;

    // Reads up to count bytes within the time-outs. Ends early (with fewer bytes, still a
    // success) when a time-out expires; ECANCELED after CancelIo or a receive abort.
    virtual CommStatus Read(uint8_t* buffer, size_t count, size_t& got) = 0;

    // Reads what has been received, up to count bytes, without waiting and whatever the
    // time-outs: got is 0 when nothing waits. Fails as Read does (ECANCELED after CancelIo, the
    // device gone). This default asks for the queue's length and reads that much.
    virtual CommStatus ReadQueued(uint8_t* buffer, size_t count, size_t& got) {
        got = 0;
        QueueStatus queue;
        if (CommStatus status = ClearError(nullptr, &queue); !status)
            return status;
        return Read(buffer, std::min<size_t>(count, queue.in_queue), got);
    }

    // Writes all bytes, or as many as the write time-outs allow, and waits for that.
    virtual CommStatus Write(const uint8_t* bytes, size_t count, size_t& written) = 0;

    // Starts a write: the bytes are copied before the call returns and leave the device in order
    // behind earlier writes. completed_now is count when everything went out at once, 0 when the
    // write is still under way.
    virtual CommStatus WriteAsync(const uint8_t* bytes, size_t count, size_t& completed_now) = 0;

    // PURGE_* flags: abort and clear pending output and input.
    virtual CommStatus Purge(uint32_t flags) = 0;

    // Reports and clears the line errors (CE_*) seen since the last call, with the queue lengths.
    virtual CommStatus ClearError(uint32_t* errors, QueueStatus* status) = 0;

    // Modem status word (MS_*) and modem control register (DTR bit 0, RTS bit 1).
    virtual CommStatus GetModemStatus(uint32_t& status) = 0;
    virtual CommStatus GetModemControl(uint32_t& control) = 0;
    virtual CommStatus EscapeFunction(Escape function) = 0;

    // Performance counters since the last ClearStatistics (or since open).
    virtual CommStatus GetStatistics(SerialStats& stats) = 0;
    virtual CommStatus ClearStatistics() = 0;

    // Ends a WaitEvent or Read in progress, and makes every later one fail with ECANCELED: the
    // step before closing, so that no thread stays blocked in the device.
    virtual void CancelIo() = 0;

    // Whether RTS follows sending as the state last set asks (RTS_CONTROL_TOGGLE): the port's
    // driver raises RTS while bytes go out. False when the driver cannot, RTS then stays raised.
    virtual bool RtsFollowsSending() { return false; }
};

struct OpenResult {
    std::unique_ptr<SerialDevice> device;  // null on failure
    CommStatus status;
};

// Opens a port exclusively: the path of a terminal device. Fails with EBUSY when another
// program (or another open in this one) holds the port, whoever the user. A path
// "rfc2217://HOST:PORT" opens the port that server serves (Rfc2217SerialDevice).
OpenResult OpenSerialDevice(const std::string& path);
// The same, and a local port gets the settings it had before back when the device is destroyed.
OpenResult OpenSerialDeviceRestoring(const std::string& path);

// The device path of a port name: "/dev/<name>", or the name itself when it is a path (absolute,
// or relative to the working folder as "./<name>" and "../<name>" are) or a remote port's
// "rfc2217://HOST:PORT".
std::string DevicePathForPort(const std::string& port_name);

}  // namespace comm
