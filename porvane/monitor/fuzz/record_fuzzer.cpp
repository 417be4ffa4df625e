// Arbitrary bytes as a buffer of driver records: the walker and the decoder must never read
// past the buffer or crash, in either content mode and display.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "porvane/monitor/monitor_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // A copy of exactly the input's size, so that any read past it is caught.
    std::vector<uint8_t> buffer(data + 1, data + size);
    const auto mode = (data[0] & 1) ? porvane::monitor::ContentMode::kDataOnly
                                    : porvane::monitor::ContentMode::kAllInfo;
    porvane::monitor::DecodeRecords(buffer.data(), buffer.size(), mode, (data[0] & 2) != 0);
    return 0;
}
