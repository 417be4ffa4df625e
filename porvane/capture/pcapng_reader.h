#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "porvane/capture/pcapng_writer.h"

namespace porvane::capture {

// An interface of a pcapng section, as its description block gives it.
struct CapturedInterface {
    uint16_t link_type = 0;
    std::string name;         // if_name
    std::string description;  // if_description
    uint8_t tsresol = 6;      // if_tsresol: 10^-n seconds, or 2^-n with the top bit set
};

// One enhanced packet: its interface (an index into the current section's), its time in
// microseconds since the epoch, direction, bytes and comments.
struct CapturedPacket {
    uint32_t interface = 0;
    uint64_t time_us = 0;
    PacketDirection direction = PacketDirection::kNone;
    std::vector<uint8_t> data;
    std::vector<std::string> comments;
};

// Reads the packets of a pcapng file in order, in either byte order, section after section;
// blocks of other types are passed over. Whatever the file holds, nothing past a block is read,
// no block longer than kMaxBlockLength is taken in, and a fault (not pcapng, a malformed block, a
// file cut short) ends the walk with a message that says where. Not thread-safe.
class PcapngReader {
  public:
    static constexpr uint32_t kMaxBlockLength = 16 * 1024 * 1024;

    // Reads from in, which stays the caller's.
    explicit PcapngReader(std::FILE* in) : in_(in) {}

    enum class Result { kPacket, kEnd, kFault };
    // The next packet; kEnd at the end of a file that ends on a whole block.
    Result Next(CapturedPacket& packet);
    // The current section's interfaces, as far as their blocks were read.
    const std::vector<CapturedInterface>& interfaces() const { return interfaces_; }
    // What is wrong, after kFault: "byte 1234: ...".
    const std::string& fault() const { return fault_; }

  private:
    Result Fault(const std::string& what);
    bool ReadSection(const std::vector<uint8_t>& body);
    bool ReadInterface(const std::vector<uint8_t>& body);
    bool ReadPacket(const std::vector<uint8_t>& body, CapturedPacket& packet);
    uint16_t U16(const uint8_t* at) const;
    uint32_t U32(const uint8_t* at) const;

    std::FILE* in_;
    uint64_t offset_ = 0;      // of the block being read
    bool in_section_ = false;  // a section header was read
    bool swapped_ = false;     // the section's byte order is not this machine's
    std::vector<CapturedInterface> interfaces_;
    std::string fault_;
};

}  // namespace porvane::capture
