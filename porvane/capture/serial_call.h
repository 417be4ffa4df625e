#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How a capture keeps the calls a program made on its serial ports: every packet is a call (or a
// piece of one), its bytes a 12-byte call header followed by the call's data.
//
//   byte 0     header version, 1
//   byte 1     the request kind, as the driver numbers it: 0 open, 2 close, 3 read, 4 write,
//              14 control (speed, line settings, modem lines, break, purge, terminal settings)
//   byte 2     direction: 0 none, 1 inbound (read), 2 outbound (write), as in the packet flags
//   byte 3     bit 0: this packet continues the previous packet's call (a call of more bytes
//              than a packet holds is kept in pieces)
//   bytes 4-7  the control code (big-endian)
//   bytes 8-11 the errno the call failed with, 0 when it succeeded (big-endian)
//
// The interface's link type is the first user link type, so that Wireshark's user link type
// table can hand the bytes after the header to any dissector (Modbus RTU, or plain data).
namespace porvane::capture {

inline constexpr uint16_t kSerialLinkType = 147;  // LINKTYPE_USER0
inline constexpr size_t kCallHeaderSize = 12;
inline constexpr uint8_t kCallHeaderVersion = 1;
inline constexpr uint8_t kCallContinues = 1;
// The most data bytes a packet holds: Wireshark refuses packets of more than 256 KiB, and a
// piece this size keeps every packet well under it.
inline constexpr size_t kMaxPacketData = 65536;

// The process a call came from (pid 0: not known).
struct CallProcess {
    pid_t pid = 0;
    std::string name;
};

// One call of a port's program, as a capture keeps it.
struct SerialCall {
    std::string port;  // the interface's name: the port's device
    uint64_t time_us = 0;
    uint32_t kind = 0;
    uint32_t code = 0;
    uint32_t error = 0;  // errno, 0 when the call succeeded
    std::vector<uint8_t> data;
    CallProcess process;
};

// The comment that names a packet's process, first of its comments: "python3 (pid 1234)", or
// "process not known".
std::string ProcessComment(const CallProcess& process);
// The process a comment names; nullopt when it names none.
std::optional<CallProcess> ParseProcessComment(const std::string& comment);

}  // namespace porvane::capture
