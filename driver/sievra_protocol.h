#pragma once

// The contract between the workbench and the filter driver: control codes, the 16-byte filter
// rule, link modes and the monitor record stream.
#include <cstdint>
#include <cstring>

namespace sievra {

inline constexpr uint32_t IOCTL_FILTER_SEND_COUNT_RULE = 0x1B2004;
inline constexpr uint32_t IOCTL_FILTER_SEND_TIME_RULE = 0x1B2008;
inline constexpr uint32_t IOCTL_FILTER_RECV_COUNT_RULE = 0x1B200C;
inline constexpr uint32_t IOCTL_FILTER_RECV_TIME_RULE = 0x1B2010;
inline constexpr uint32_t IOCTL_FILTER_SET_MODE = 0x1B2014;

// Not a request of the port's application but the host's report about it: calls of the program
// that passed the filter unfiltered, or went unrecorded, because the host did not answer in time.
// Recorded in either mode while the control device is open, as kind 14 with this code and
// BypassReport as data.
inline constexpr uint32_t IOCTL_SIEVRA_BYPASS_REPORT = 0x1B23FC;  // function 0x8FF

// The host's note that the port's requests now come from another process than before (a child
// that inherited the port, or the parent again): recorded in monitor mode, as kind 14 with this
// code and as data the 32-bit process id and its name (at most 16 bytes).
inline constexpr uint32_t IOCTL_SIEVRA_PROCESS_REPORT = 0x1B23F8;  // function 0x8FE

// The host's note that the program's next request on the port failed: recorded in monitor mode
// just before that request's own record, as kind 14 with this code and as data the 32-bit error
// number the program was given. Readers that do not know it show the request as they would.
inline constexpr uint32_t IOCTL_SIEVRA_CALL_FAILED = 0x1B23F4;  // function 0x8FD
// The host's note of the port's terminal settings that the serial requests cannot express
// (input and output mapping, canonical mode, echo, VMIN/VTIME, CLOCAL, HUPCL, exclusive use),
// as they changed: recorded in monitor mode after the requests of the change, as kind 14 with
// this code and as data the change in the words of stty ("-icrnl -echo min 1 time 0").
inline constexpr uint32_t IOCTL_SIEVRA_TERMINAL_FLAGS = 0x1B23F0;  // function 0x8FC
// The host's note of when the port's next request reached it, from a host asked to time its
// records (a watch's): recorded in monitor mode just before that request's own record, as kind
// 14 with this code and as data the 64-bit microseconds since 1970 (little-endian).
inline constexpr uint32_t IOCTL_SIEVRA_TIME_REPORT = 0x1B23EC;  // function 0x8FB
// kUnseen: calls of the program the attachment could not see at all, as the C library made
// them inside (a stream's reads, aio requests whose result was never collected); the bytes are
// as many as it could tell.
enum BypassKind : uint32_t {
    kSentUnfiltered = 0,
    kNotRecorded = 1,
    kReceivedUnfiltered = 2,
    kUnseen = 3,
    // Calls left unrecorded because the descriptor was made another file while they ran (a dup2
    // by another thread): which file they reached cannot be told.
    kDescriptorChanged = 4,
};

inline constexpr uint32_t kLinkModeFilter = 0;
inline constexpr uint32_t kLinkModeMonitor = 1;

enum FilterAction : uint32_t { kFlip = 0, kReplace = 1, kDelete = 2 };

#pragma pack(push, 1)
struct FilterRule {
    uint32_t action;
    uint32_t count;      // count rules: period N (0 off); time rules: 1 armed, 0 off
    uint32_t countdown;  // count rules: bytes still to pass
    uint8_t periodic;
    uint8_t byte;  // mask (flip) or replacement (replace)
    uint16_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(FilterRule) == 16);

// The data of a bypass report, three little-endian 32-bit words: what happened (BypassKind), to
// how many requests of the program, carrying how many bytes.
inline constexpr uint32_t kBypassReportSize = 12;

// Record header: tag, request kind, code, data length; then the data.
inline constexpr size_t kRecordHeaderSize = 13;
inline constexpr size_t kRecordQueueSize = 4096;
inline constexpr uint32_t kMaxRecordData = 4082;
inline constexpr uint8_t kMonitorTag = 1;
// The code of a read or write record that continues the previous record's bytes: one call of
// more bytes than a record holds is recorded in pieces, the first with code 0. Readers that do
// not know it show each piece as a record of its own. On the way down, such a record's read or
// write request carries kMinorContinues.
inline constexpr uint32_t kRecordContinues = 1;
inline constexpr uint8_t kMinorContinues = 2;
// An open or a close the host carries out while the port's reader has no room for its record
// (it stopped reading): the request takes effect and makes no record, and the host counts it
// among the requests it reports as not recorded.
inline constexpr uint8_t kMinorUnrecorded = 3;

enum RequestKind : uint32_t {
    kKindCreate = 0,
    kKindClose = 2,
    kKindRead = 3,
    kKindWrite = 4,
    kKindDeviceControl = 14,
};

inline void PutLe32(uint8_t* out, uint32_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v >> 16);
    out[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetLe32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace sievra
