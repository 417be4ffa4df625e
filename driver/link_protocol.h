#pragma once

// The messages between the driver host and its clients on a port's control socket. Requests:
// id, operation, code, input length, output length (each 32-bit little-endian; the operation one
// byte), then the input bytes. Responses: id, status, information, data length, then the data.
// The host first sends one response with id 0: status 0 (the control device is open for this
// client) or STATUS_SHARING_VIOLATION (another client holds it). On the application socket, an
// kAppCreate request carries the application's port descriptor (SCM_RIGHTS) and, as input, the
// 32-bit status of its open.
#include <cstdint>

namespace sievra::link {

enum Operation : uint8_t {
    kDeviceControl = 1,  // code, input, output length
    kRead = 2,           // output length: bytes wanted
    kClose = 3,
    // The port's application side ("SievrApp<n>"): its requests pass through the port's filter
    // device to the serial driver below, as an application's calls on the port do.
    kAppCreate = 4,
    kAppWrite = 5,  // input: the bytes to write; the reply carries them as the send rules left them
    // The bytes the application's own read returned; the reply carries what the receive rules
    // left of them (up to the output length).
    kAppRead = 6,
    // Answered once every other application connection of the port has been served to its end
    // (the program closed it or ended, and its last records are in), or when the milliseconds of
    // its 4-byte input have passed; the reply's information is the number of connections left.
    kAppAwaitClosed = 7,
};

// Set on an application request's operation: no response is wanted (a monitor record only), so
// the application never waits for the host.
inline constexpr uint8_t kNoReply = 0x80;

// Files beside the sockets in the runtime folder: "SievrMap" lists the ports as
// "<n> <major> <minor> <path>" lines, so the attachment recognises a port by its device number;
// "SievrPage<n>" is one page whose first 32-bit word says who watches port n.
enum WatchState : uint32_t { kUnwatched = 0, kWatchedMonitor = 1, kWatchedFilter = 2 };
inline constexpr size_t kPageSize = 4096;

inline constexpr uint32_t kMaxTransfer = 4096;
inline constexpr size_t kRequestHeaderSize = 17;
inline constexpr size_t kResponseHeaderSize = 16;
inline constexpr int32_t kStatusSharingViolation = static_cast<int32_t>(0xC0000043);
inline constexpr int32_t kStatusInvalidRequest = static_cast<int32_t>(0xC0000010);

}  // namespace sievra::link
