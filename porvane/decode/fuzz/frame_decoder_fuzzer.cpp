// Feeds arbitrary calls to every decoder: the first byte of each piece picks its direction,
// speed change and time step, so that splits, pauses and speeds are explored as well as bytes;
// a silence seen by the clock alone comes between some of them.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "porvane/decode/frame_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const char* name : {"modbus-rtu", "modbus-ascii", "nmea", "at"}) {
        auto decoder = porvane::decode::MakeFrameDecoder(name);
        int64_t time = 0;
        for (size_t at = 0; at < size;) {
            const uint8_t control = data[at++];
            const size_t length = std::min<size_t>(control & 0x1F, size - at);
            if (control & 0x20)
                decoder->SetSpeed(control & 0x40 ? 115200 : 1200);
            time += (control >> 6) * 1000;
            decoder->Take(
                {control & 1 ? porvane::decode::Flow::kRead : porvane::decode::Flow::kWritten,
                 data + at, length, control == 0xFF ? -1 : time});
            at += length;
            // A live view's clock between the calls.
            if (decoder->SilenceEnds() >= 0 && (control & 0x10))
                decoder->Quiet(time + (control & 0x0F) * 500);
        }
        decoder->Finish();
    }
    return 0;
}
