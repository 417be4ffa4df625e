// Arbitrary bytes as a capture file: the reader must end every walk with calls or a fault,
// never read past the input, crash or loop.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "porvane/capture/serial_capture_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
        ::fmemopen(const_cast<uint8_t*>(data), size, "rb"), std::fclose);
    if (!in)
        return 0;
    porvane::capture::SerialCaptureReader reader(in.get());
    porvane::capture::SerialCall call;
    while (reader.Next(call) == porvane::capture::SerialCaptureReader::Result::kCall) {
    }
    return 0;
}
