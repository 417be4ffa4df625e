#include "porvane/capture/serial_capture_reader.h"

#include <utility>

namespace porvane::capture {
namespace {

uint32_t GetBe32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
           static_cast<uint32_t>(in[2]) << 8 | static_cast<uint32_t>(in[3]);
}

}  // namespace

SerialCaptureReader::Result SerialCaptureReader::ReadPacket() {
    CapturedPacket packet;
    const PcapngReader::Result result = packets_.Next(packet);
    if (result == PcapngReader::Result::kEnd)
        return Result::kEnd;
    if (result == PcapngReader::Result::kFault) {
        fault_ = packets_.fault();
        return Result::kFault;
    }
    const CapturedInterface& interface = packets_.interfaces()[packet.interface];
    if (interface.link_type != kSerialLinkType) {
        fault_ = "interface " + std::to_string(packet.interface) + " (" + interface.name +
                 ") has link type " + std::to_string(interface.link_type) +
                 ": not a capture of serial ports' calls";
        return Result::kFault;
    }
    if (packet.data.size() < kCallHeaderSize || packet.data[0] != kCallHeaderVersion) {
        fault_ = "a packet of " + interface.name + " has no call header" +
                 (packet.data.empty() ? "" : " (version " + std::to_string(packet.data[0]) + ")");
        return Result::kFault;
    }
    SerialCall call;
    call.port = interface.name;
    call.time_us = packet.time_us;
    call.kind = packet.data[1];
    call.code = GetBe32(packet.data.data() + 4);
    call.error = GetBe32(packet.data.data() + 8);
    call.data.assign(packet.data.begin() + kCallHeaderSize, packet.data.end());
    if (!packet.comments.empty()) {
        if (const auto process = ParseProcessComment(packet.comments.front()))
            call.process = *process;
    }
    next_continues_ = (packet.data[3] & kCallContinues) != 0;
    next_interface_ = packet.interface;
    next_ = std::move(call);
    return Result::kCall;
}

SerialCaptureReader::Result SerialCaptureReader::Next(SerialCall& call) {
    if (!fault_.empty())
        return Result::kFault;
    if (!next_) {
        const Result result = ReadPacket();
        if (result != Result::kCall)
            return result;
    }
    call = std::move(*next_);
    next_.reset();
    const uint32_t interface = next_interface_;
    // The pieces that follow the call's first packet, on its interface, of its kind.
    for (;;) {
        const Result result = ReadPacket();
        if (result == Result::kFault) {
            next_.reset();
            return Result::kCall;  // the call read so far; the fault comes next
        }
        if (result == Result::kEnd)
            return Result::kCall;
        if (!next_continues_ || next_interface_ != interface || next_->kind != call.kind ||
            call.data.size() + next_->data.size() > kMaxCallData) {
            return Result::kCall;
        }
        call.data.insert(call.data.end(), next_->data.begin(), next_->data.end());
        next_.reset();
    }
}

}  // namespace porvane::capture
