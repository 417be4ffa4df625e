#pragma once

// NMEA 0183 sentences ("$GPGGA,...*47" and "!AIVDM,..." ended by CR LF) and AT commands with
// their replies: line protocols, one frame per line.
#include <memory>

#include "porvane/decode/frame_decoder.h"

namespace porvane::decode {

std::unique_ptr<FrameDecoder> MakeNmeaDecoder();
std::unique_ptr<FrameDecoder> MakeAtDecoder();

}  // namespace porvane::decode
