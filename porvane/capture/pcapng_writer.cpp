#include "porvane/capture/pcapng_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "porvane/capture/pcapng_format.h"

namespace porvane::capture {
namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    const size_t at = out.size();
    out.resize(at + 2);
    std::memcpy(out.data() + at, &v, 2);
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    const size_t at = out.size();
    out.resize(at + 4);
    std::memcpy(out.data() + at, &v, 4);
}

void PutPadded(std::vector<uint8_t>& out, const uint8_t* data, size_t length) {
    out.insert(out.end(), data, data + length);
    out.resize(out.size() + (4 - length % 4) % 4, 0);
}

// An option whose value is bytes; values longer than an option holds are cut.
void PutOption(std::vector<uint8_t>& out, uint16_t code, const void* value, size_t length) {
    length = std::min<size_t>(length, 0xFFFF);
    Put16(out, code);
    Put16(out, static_cast<uint16_t>(length));
    PutPadded(out, static_cast<const uint8_t*>(value), length);
}

void PutOption(std::vector<uint8_t>& out, uint16_t code, const std::string& value) {
    PutOption(out, code, value.data(), value.size());
}

void EndOptions(std::vector<uint8_t>& out) {
    Put32(out, 0);  // opt_endofopt, length 0
}

}  // namespace

PcapngWriter::PcapngWriter(comm::UniqueFd fd, const std::string& application) : fd_(std::move(fd)) {
    std::vector<uint8_t> body;
    Put32(body, pcapng::kByteOrderMagic);
    Put16(body, 1);  // version 1.0
    Put16(body, 0);
    Put32(body, 0xFFFFFFFF);  // section length not given
    Put32(body, 0xFFFFFFFF);
    PutOption(body, pcapng::kShbUserApplication, application);
    EndOptions(body);
    Block(pcapng::kSectionHeaderBlock, body);
}

uint32_t PcapngWriter::AddInterface(uint16_t link_type, const std::string& name,
                                    const std::string& description) {
    std::vector<uint8_t> body;
    Put16(body, link_type);
    Put16(body, 0);
    Put32(body, 0);  // no snapshot length: every byte is kept
    PutOption(body, pcapng::kIfName, name);
    if (!description.empty())
        PutOption(body, pcapng::kIfDescription, description);
    const uint8_t microseconds = 6;
    PutOption(body, pcapng::kIfTsresol, &microseconds, 1);
    EndOptions(body);
    Block(pcapng::kInterfaceDescriptionBlock, body);
    return interfaces_++;
}

void PcapngWriter::AddPacket(uint32_t interface, uint64_t time_us, PacketDirection direction,
                             const uint8_t* data, size_t length,
                             const std::vector<std::string>& comments) {
    std::vector<uint8_t> body;
    body.reserve(32 + length + comments.size() * 32);
    Put32(body, interface);
    Put32(body, static_cast<uint32_t>(time_us >> 32));
    Put32(body, static_cast<uint32_t>(time_us));
    Put32(body, static_cast<uint32_t>(length));
    Put32(body, static_cast<uint32_t>(length));
    PutPadded(body, data, length);
    const uint32_t flags = static_cast<uint32_t>(direction);
    PutOption(body, pcapng::kEpbFlags, &flags, 4);
    for (const std::string& comment : comments)
        PutOption(body, pcapng::kOptComment, comment);
    EndOptions(body);
    Block(pcapng::kEnhancedPacketBlock, body);
}

void PcapngWriter::Block(uint32_t type, const std::vector<uint8_t>& body) {
    if (error_ != 0)
        return;
    const uint32_t total = static_cast<uint32_t>(body.size() + 12);
    Put32(pending_, type);
    Put32(pending_, total);
    pending_.insert(pending_.end(), body.begin(), body.end());
    Put32(pending_, total);
}

bool PcapngWriter::Flush() {
    if (error_ != 0)
        return false;
    size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t n = ::write(fd_.get(), pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : ENOSPC;
            // A cut block would end every reader's walk with an error: the file goes back to
            // its last whole block (a device such as /dev/full has nothing to cut).
            if (::ftruncate(fd_.get(), static_cast<off_t>(written_)) == 0)
                ::lseek(fd_.get(), static_cast<off_t>(written_), SEEK_SET);
            pending_.clear();
            return false;
        }
        done += static_cast<size_t>(n);
    }
    written_ += pending_.size();
    pending_.clear();
    return true;
}

}  // namespace porvane::capture
