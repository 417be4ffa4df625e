#include "platform/comm/receive_filter.h"

#include <cstring>

namespace comm {

void ReceiveFilter::Configure(const Settings& settings) {
    if (!settings.replace_errors)
        mark_ = Mark::kNone;  // unmarked input from now on
    settings_ = settings;
}

size_t ReceiveFilter::Filter(uint8_t* bytes, size_t n, bool& event_seen) {
    if (!Drops()) {
        // Every byte is kept as it came: only the event character is looked for.
        if (n > 0 && std::memchr(bytes, settings_.event_char, n) != nullptr)
            event_seen = true;
        return n;
    }
    size_t kept = 0;
    // Writes trail reads, so the bytes are filtered where they lie.
    auto keep = [&](uint8_t byte, bool errored) {
        if (byte == 0 && settings_.strip_null && !errored)
            return;
        if (byte == settings_.event_char)
            event_seen = true;
        bytes[kept++] = byte;
    };
    for (size_t i = 0; i < n; ++i) {
        const uint8_t byte = bytes[i];
        if (!settings_.replace_errors) {
            keep(byte, false);
            continue;
        }
        switch (mark_) {
            case Mark::kNone:
                if (byte == 0xFF)
                    mark_ = Mark::kMarked;
                else
                    keep(byte, false);
                break;
            case Mark::kMarked:
                if (byte == 0x00) {
                    mark_ = Mark::kErrored;
                } else if (byte == 0xFF) {
                    mark_ = Mark::kNone;
                    keep(0xFF, false);  // 0xFF 0xFF: a received 0xFF
                } else {
                    // A lone 0xFF is no mark the terminal writes (it can only have waited in
                    // the queue from before marking was switched on): it is dropped, so that no
                    // input byte ever gives two.
                    mark_ = Mark::kNone;
                    keep(byte, false);
                }
                break;
            case Mark::kErrored:
                mark_ = Mark::kNone;
                keep(settings_.error_char, true);  // a break (0xFF 0x00 0x00) is a framing error
                break;
        }
    }
    return kept;
}

}  // namespace comm
