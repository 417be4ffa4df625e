#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/comm/unique_fd.h"

namespace porvane::capture {

// The direction bits of a packet's flags (epb_flags): inbound is what the port's program read,
// outbound what it wrote.
enum class PacketDirection : uint32_t { kNone = 0, kInbound = 1, kOutbound = 2 };

// Writes a pcapng file: a section header, an interface description per interface as it is
// added, and an enhanced packet per packet, in the byte order of this machine, times in
// microseconds. Blocks are gathered in memory and written by Flush, whole: after a crash the file
// is readable up to the last flush. A write that fails (a full disk, a file size limit) cuts the
// file back to its last whole block, is remembered with its errno, and makes every later call do
// nothing, so that what was written stays a well-formed capture. Not thread-safe.
class PcapngWriter {
  public:
    // Takes fd, open for writing at its start; application names the writer in the section
    // header (shb_userappl). Writes the section header at once.
    PcapngWriter(comm::UniqueFd fd, const std::string& application);

    // Adds an interface of link_type, named name (if_name) and described by description
    // (if_description, left out when empty); returns its number.
    uint32_t AddInterface(uint16_t link_type, const std::string& name,
                          const std::string& description);
    // Adds a packet of interface at time_us (microseconds since the epoch), with its direction
    // and comments (one opt_comment each, in order).
    void AddPacket(uint32_t interface, uint64_t time_us, PacketDirection direction,
                   const uint8_t* data, size_t length, const std::vector<std::string>& comments);
    // Writes what was added since the last flush; false once a write failed.
    bool Flush();
    // The errno of the write that failed, 0 while none did.
    int error() const { return error_; }

  private:
    void Block(uint32_t type, const std::vector<uint8_t>& body);

    comm::UniqueFd fd_;
    std::vector<uint8_t> pending_;  // whole blocks not yet written
    uint64_t written_ = 0;          // bytes of whole blocks in the file
    uint32_t interfaces_ = 0;
    int error_ = 0;
};

}  // namespace porvane::capture
