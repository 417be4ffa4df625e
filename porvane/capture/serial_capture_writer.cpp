#include "porvane/capture/serial_capture_writer.h"

#include <algorithm>
#include <utility>

#include "driver/sievra_protocol.h"

namespace porvane::capture {
namespace {

void PutBe32(uint8_t* out, uint32_t v) {
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}

PacketDirection DirectionOf(uint32_t kind) {
    if (kind == sievra::kKindRead)
        return PacketDirection::kInbound;
    if (kind == sievra::kKindWrite)
        return PacketDirection::kOutbound;
    return PacketDirection::kNone;
}

}  // namespace

SerialCaptureWriter::SerialCaptureWriter(comm::UniqueFd fd, const std::string& application)
    : writer_(std::move(fd), application) {}

void SerialCaptureWriter::Add(const SerialCall& call, const std::string& words) {
    auto known = std::find(ports_.begin(), ports_.end(), call.port);
    uint32_t interface = static_cast<uint32_t>(known - ports_.begin());
    if (known == ports_.end()) {
        interface = writer_.AddInterface(kSerialLinkType, call.port,
                                         call.process.pid > 0 ? ProcessComment(call.process) : "");
        ports_.push_back(call.port);
    }
    const PacketDirection direction = DirectionOf(call.kind);
    std::vector<std::string> comments = {ProcessComment(call.process)};
    if (!words.empty())
        comments.push_back(words);
    std::vector<uint8_t> packet;
    size_t at = 0;
    do {
        const size_t n = std::min(kMaxPacketData, call.data.size() - at);
        packet.assign(kCallHeaderSize, 0);
        packet[0] = kCallHeaderVersion;
        packet[1] = static_cast<uint8_t>(std::min<uint32_t>(call.kind, 0xFF));
        packet[2] = static_cast<uint8_t>(direction);
        packet[3] = at == 0 ? 0 : kCallContinues;
        PutBe32(packet.data() + 4, call.code);
        PutBe32(packet.data() + 8, call.error);
        packet.insert(packet.end(), call.data.begin() + static_cast<std::ptrdiff_t>(at),
                      call.data.begin() + static_cast<std::ptrdiff_t>(at + n));
        writer_.AddPacket(interface, call.time_us, direction, packet.data(), packet.size(),
                          at == 0 ? comments : std::vector<std::string>{});
        at += n;
    } while (at < call.data.size());
}

}  // namespace porvane::capture
