#pragma once

// The messages between the driver host and its clients on a port's control socket. Requests:
// id, operation, code, input length, output length (each 32-bit little-endian; the operation one
// byte), then the input bytes. Responses: id, status, information, data length, then the data.
// The host first sends one response with id 0: status 0 (the control device is open for this
// client), STATUS_SHARING_VIOLATION (another client holds it) or STATUS_ACCESS_DENIED (the
// client's user may not open the port's device; the data is the device's path). On the
// application socket, a kAppCreate request carries, as input, the 32-bit status of the
// application's open and, when that is 0, its descriptor of the port (SCM_RIGHTS); the answer to
// a successful open carries the port's watch page (a sealed memory file, SCM_RIGHTS) and, after
// it, the connection's record ring (see record_ring.h).
#include <atomic>
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
    // left of them (up to the output length). For both, the code is the time (CLOCK_MONOTONIC
    // milliseconds, low 32 bits) after which the application no longer waits: a request taken
    // up later is answered kStatusExpired and left alone; 0 for no limit.
    kAppRead = 6,
    // Answered once every other application connection of the port has been served to its end
    // (the program closed it or ended, and its last records are in), or when the milliseconds of
    // its 4-byte input have passed; the reply's information is the number of connections left.
    kAppAwaitClosed = 7,
    // Input: a bypass report (kBypassReportSize bytes): requests of the program that passed
    // unfiltered or unrecorded because the host did not answer in time.
    kAppBypassed = 8,
    // A new program image takes over its predecessor's connection (kept open across exec): the
    // descriptor passed along must be the same open file as the open's own. The answer carries
    // the watch page again.
    kAppAdopt = 9,
    // A tracer that makes the requests of a program it follows (root or the host's own user
    // only, before the open): input, the 32-bit id of the process the connection speaks for,
    // which the port's process notes name instead of the tracer's own.
    kAppOnBehalf = 10,
    // A tracer that stops following a program which goes on holding the port (root or the
    // host's own user only): the open stays the program's, so when this connection ends no
    // close is on record.
    kAppLetGo = 11,
    // On "SievrHome" (see below): input, the 32-bit number n of a port; the descriptor passed
    // along is one end of a socket pair the program has just made. The host serves it as a
    // connection to "SievrApp<n>" made by whoever made the pair; no answer on "SievrHome".
    kHomeConnect = 12,
    // On "SievrHome": the process is about to run a new program under a user who cannot read
    // the attachment, so that program's calls go unwatched; input, the 32-bit error of the
    // check and the process's name (at most 16 bytes). No answer. The host says so, naming the
    // process and its user as the kernel gives them.
    kHomeUnfollowed = 13,
    // On an application socket with a record ring (see record_ring.h): the ring holds records
    // and the host, which had found it empty, sleeps. No input, no answer.
    kAppWake = 14,
    // In a record ring, before each request: the time the program made it (64-bit
    // little-endian microseconds of the real-time clock), taken for the request's record time.
    // No answer.
    kAppTime = 15,
    // In a record ring: a filtered read or write whose bytes went unchanged without asking,
    // because the rules as the watch page showed them would not act on any of its bytes (see
    // RuleGlance). Input: the direction (0 sent, 1 received) and the 32-bit byte count. The host
    // advances the rules' counts; if a rule would act after all (the page was stale), the bytes
    // are told as passed unfiltered. No answer.
    kAppPassed = 16,
};

// "SievrHome", beside the application sockets, takes one connection from each program that may
// change its user later (root, or holding the right to change user), made while it still may
// reach the runtime folder. A program that can no longer reach the folder after the change
// makes its port connections through it: it makes a socket pair, so that the kernel stamps the
// pair with the user and groups it has now, and passes one end. The host judges each such
// connection by the pair's credentials alone, never by the link's, which are the ones the
// program had before it gave up its rights.

// The application socket keeps message boundaries (SOCK_SEQPACKET): a request goes whole or not
// at all, so a program never waits for a host with a full queue, and a late answer is told from
// the next by its id.
//
// Set on an application request's operation: no response is wanted (a monitor record only), so
// the application never waits for the host.
inline constexpr uint8_t kNoReply = 0x80;
// Set on an application's record of a read or write: its bytes continue the previous record's,
// one call of more bytes than a record holds, recorded in pieces.
inline constexpr uint8_t kContinues = 0x40;

// "SievrMap", beside the sockets in the runtime folder, lists the ports as
// "<n> <major> <minor> <path>" lines, so the attachment recognises a port by its device number.
// The watch page is one page whose first 32-bit word says who watches the port.
enum WatchState : uint32_t { kUnwatched = 0, kWatchedMonitor = 1, kWatchedFilter = 2 };
inline constexpr size_t kPageSize = 4096;
// Beside it, at kRuleGlanceOffset, what the rules will do next in each direction (0 send,
// 1 receive), which the host publishes after every request it serves: a time rule armed (it acts
// on the next byte), and a count rule's bytes still to pass before it acts (0: none set). A
// writer's sequence is odd while it writes; a reader that sees it change does not trust the rest.
struct RuleGlance {
    std::atomic<uint32_t> sequence;
    std::atomic<uint32_t> time_armed[2];
    std::atomic<uint32_t> count_left[2];
};
inline constexpr size_t kRuleGlanceOffset = 64;

inline constexpr uint32_t kMaxTransfer = 4096;
// A control client's read of records may ask for more than one transfer: the host keeps what
// the port's queue hands over for a client that reads slowly, and one read takes many records.
inline constexpr uint32_t kMaxRecordRead = 64 * 1024;
inline constexpr size_t kRequestHeaderSize = 17;
inline constexpr size_t kResponseHeaderSize = 16;
inline constexpr int32_t kStatusSharingViolation = static_cast<int32_t>(0xC0000043);
inline constexpr int32_t kStatusInvalidRequest = static_cast<int32_t>(0xC0000010);
inline constexpr int32_t kStatusExpired = static_cast<int32_t>(0xC00000B5);  // STATUS_IO_TIMEOUT
// The client's user may not open the port's device for reading and writing (the welcome's data
// is the device's path), or an application's open came without a descriptor of that device.
inline constexpr int32_t kStatusAccessDenied = static_cast<int32_t>(0xC0000022);

}  // namespace sievra::link
