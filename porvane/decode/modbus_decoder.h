#pragma once

// Modbus over a serial line, in its two framings: RTU (binary, frames ended by a pause of 3.5
// characters and checked by a CRC) and ASCII (":" hex pairs, an LRC, CR LF).
#include <memory>

#include "porvane/decode/frame_decoder.h"

namespace porvane::decode {

std::unique_ptr<FrameDecoder> MakeModbusRtuDecoder();
std::unique_ptr<FrameDecoder> MakeModbusAsciiDecoder();

}  // namespace porvane::decode
