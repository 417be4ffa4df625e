#include "porvane/capture/pcapng_reader.h"

#include <cerrno>
#include <cstring>
#include <functional>

#include "porvane/capture/pcapng_format.h"

namespace porvane::capture {
namespace {

// Walks the options that start at options and run to end; false when one runs past the end.
bool WalkOptions(const uint8_t* options, const uint8_t* end,
                 const std::function<uint16_t(const uint8_t*)>& u16,
                 const std::function<void(uint16_t, const uint8_t*, uint16_t)>& visit) {
    while (end - options >= 4) {
        const uint16_t code = u16(options);
        const uint16_t length = u16(options + 2);
        if (code == pcapng::kOptEndOfOptions)
            return true;
        const size_t padded = (static_cast<size_t>(length) + 3) / 4 * 4;
        if (static_cast<size_t>(end - options - 4) < padded)
            return false;
        visit(code, options + 4, length);
        options += 4 + padded;
    }
    return options == end;
}

// A time in units of the interface's resolution, in microseconds; false when the resolution is
// none a clock has (finer than 10^-19 or 2^-63 seconds) or the time does not fit.
bool ToMicroseconds(uint64_t units, uint8_t tsresol, uint64_t& us) {
    const unsigned exponent = tsresol & 0x7F;
    unsigned __int128 value = units;
    if ((tsresol & 0x80) != 0) {
        if (exponent > 63)
            return false;
        value = value * 1000000 >> exponent;
    } else {
        if (exponent > 19)
            return false;
        unsigned __int128 scale = 1;
        for (unsigned i = 0; i < (exponent > 6 ? exponent - 6 : 6 - exponent); ++i)
            scale *= 10;
        value = exponent > 6 ? value / scale : value * scale;
    }
    if (value > UINT64_MAX)
        return false;
    us = static_cast<uint64_t>(value);
    return true;
}

}  // namespace

uint16_t PcapngReader::U16(const uint8_t* at) const {
    uint16_t v;
    std::memcpy(&v, at, 2);
    return swapped_ ? __builtin_bswap16(v) : v;
}

uint32_t PcapngReader::U32(const uint8_t* at) const {
    uint32_t v;
    std::memcpy(&v, at, 4);
    return swapped_ ? __builtin_bswap32(v) : v;
}

PcapngReader::Result PcapngReader::Fault(const std::string& what) {
    fault_ = "byte " + std::to_string(offset_) + ": " + what;
    return Result::kFault;
}

PcapngReader::Result PcapngReader::Next(CapturedPacket& packet) {
    if (!fault_.empty())
        return Result::kFault;
    for (;;) {
        uint8_t head[8];
        const size_t got = std::fread(head, 1, sizeof head, in_);
        if (got == 0 && std::feof(in_)) {
            if (!in_section_)
                return Fault("the file is empty, not a pcapng capture");
            return Result::kEnd;
        }
        if (got != sizeof head) {
            return Fault(std::ferror(in_) ? std::string("cannot be read: ") + std::strerror(errno)
                                          : "the file is cut short inside a block's header");
        }
        uint32_t type;
        std::memcpy(&type, head, 4);
        // A section header's byte-order magic follows its length, and says how to read both.
        uint8_t magic[4] = {};
        if (type == pcapng::kSectionHeaderBlock) {
            if (std::fread(magic, 1, 4, in_) != 4)
                return Fault("the file is cut short inside a section header");
            uint32_t m;
            std::memcpy(&m, magic, 4);
            if (m != pcapng::kByteOrderMagic && m != __builtin_bswap32(pcapng::kByteOrderMagic))
                return Fault("the section header's byte-order magic is wrong");
            swapped_ = m != pcapng::kByteOrderMagic;
        } else if (!in_section_) {
            return Fault("not a pcapng capture (no section header at its start)");
        }
        const uint32_t length = U32(head + 4);
        if (length < 12 || length % 4 != 0)
            return Fault("a block's length (" + std::to_string(length) + ") is malformed");
        if (length > kMaxBlockLength) {
            return Fault("a block of " + std::to_string(length) + " bytes is longer than " +
                         std::to_string(kMaxBlockLength) + ", the most a capture block may be");
        }
        std::vector<uint8_t> body(length - 8);
        const size_t have = type == pcapng::kSectionHeaderBlock ? 4 : 0;
        std::memcpy(body.data(), magic, have);
        if (std::fread(body.data() + have, 1, body.size() - have, in_) != body.size() - have)
            return Fault("the file is cut short inside a block");
        if (U32(body.data() + body.size() - 4) != length)
            return Fault("a block's two lengths differ");
        body.resize(body.size() - 4);
        bool ok = true;
        bool is_packet = false;
        switch (type == pcapng::kSectionHeaderBlock ? type : U32(head)) {
            case pcapng::kSectionHeaderBlock:
                ok = ReadSection(body);
                break;
            case pcapng::kInterfaceDescriptionBlock:
                ok = ReadInterface(body);
                break;
            case pcapng::kEnhancedPacketBlock:
                ok = ReadPacket(body, packet);
                is_packet = true;
                break;
            default:
                break;  // statistics, name resolution and others: nothing a packet needs
        }
        if (!ok)
            return Result::kFault;
        offset_ += length;
        if (is_packet)
            return Result::kPacket;
    }
}

bool PcapngReader::ReadSection(const std::vector<uint8_t>& body) {
    if (body.size() < 16) {
        Fault("a section header is too short");
        return false;
    }
    if (U16(body.data() + 4) != 1) {
        Fault("the section's pcapng version " + std::to_string(U16(body.data() + 4)) + " is not 1");
        return false;
    }
    in_section_ = true;
    interfaces_.clear();
    return true;
}

bool PcapngReader::ReadInterface(const std::vector<uint8_t>& body) {
    if (body.size() < 8) {
        Fault("an interface description is too short");
        return false;
    }
    CapturedInterface interface;
    interface.link_type = U16(body.data());
    const bool ok = WalkOptions(
        body.data() + 8, body.data() + body.size(), [this](const uint8_t* at) { return U16(at); },
        [&](uint16_t code, const uint8_t* value, uint16_t length) {
            const std::string text(reinterpret_cast<const char*>(value), length);
            if (code == pcapng::kIfName)
                interface.name = text;
            else if (code == pcapng::kIfDescription)
                interface.description = text;
            else if (code == pcapng::kIfTsresol && length == 1)
                interface.tsresol = value[0];
        });
    if (!ok) {
        Fault("an interface description's options run past its end");
        return false;
    }
    uint64_t unused;
    if (!ToMicroseconds(0, interface.tsresol, unused)) {
        Fault("an interface's time resolution (if_tsresol " + std::to_string(interface.tsresol) +
              ") is none a clock has");
        return false;
    }
    interfaces_.push_back(std::move(interface));
    return true;
}

bool PcapngReader::ReadPacket(const std::vector<uint8_t>& body, CapturedPacket& packet) {
    if (body.size() < 20) {
        Fault("a packet block is too short");
        return false;
    }
    packet = {};
    packet.interface = U32(body.data());
    if (packet.interface >= interfaces_.size()) {
        Fault("a packet names interface " + std::to_string(packet.interface) + ", of " +
              std::to_string(interfaces_.size()) + " described");
        return false;
    }
    const uint64_t units = static_cast<uint64_t>(U32(body.data() + 4)) << 32 | U32(body.data() + 8);
    if (!ToMicroseconds(units, interfaces_[packet.interface].tsresol, packet.time_us)) {
        Fault("a packet's time does not fit");
        return false;
    }
    const uint32_t captured = U32(body.data() + 12);
    if (captured > body.size() - 20) {
        Fault("a packet's " + std::to_string(captured) + " bytes run past its block");
        return false;
    }
    packet.data.assign(body.data() + 20, body.data() + 20 + captured);
    const size_t options = 20 + (static_cast<size_t>(captured) + 3) / 4 * 4;
    if (options > body.size()) {
        Fault("a packet's bytes run past its block");
        return false;
    }
    const bool ok = WalkOptions(
        body.data() + options, body.data() + body.size(),
        [this](const uint8_t* at) { return U16(at); },
        [&](uint16_t code, const uint8_t* value, uint16_t length) {
            if (code == pcapng::kOptComment)
                packet.comments.emplace_back(reinterpret_cast<const char*>(value), length);
            else if (code == pcapng::kEpbFlags && length == 4)
                packet.direction = static_cast<PacketDirection>(U32(value) & 3);
        });
    if (!ok) {
        Fault("a packet's options run past its end");
        return false;
    }
    return true;
}

}  // namespace porvane::capture
