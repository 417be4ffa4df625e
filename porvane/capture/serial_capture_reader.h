#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "porvane/capture/pcapng_reader.h"
#include "porvane/capture/serial_call.h"

namespace porvane::capture {

// Reads the calls of a capture that SerialCaptureWriter wrote, in order, a call's pieces joined
// again. A file of any other kind (another link type, a packet without the call header) is a
// fault like a malformed one, with a message that says so. Not thread-safe.
class SerialCaptureReader {
  public:
    // The most bytes a call's pieces are joined into; a longer call comes as several.
    static constexpr size_t kMaxCallData = 64 * 1024 * 1024;

    // Reads from in, which stays the caller's.
    explicit SerialCaptureReader(std::FILE* in) : packets_(in) {}

    enum class Result { kCall, kEnd, kFault };
    Result Next(SerialCall& call);
    const std::string& fault() const { return fault_; }

  private:
    // Reads the next packet into next_ as a call; kCall, kEnd or kFault.
    Result ReadPacket();

    PcapngReader packets_;
    // A packet read ahead (to see whether the next continues its call), and whether it
    // continues the one before it.
    std::optional<SerialCall> next_;
    bool next_continues_ = false;
    uint32_t next_interface_ = 0;
    std::string fault_;
};

}  // namespace porvane::capture
