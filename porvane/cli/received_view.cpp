#include "porvane/cli/received_view.h"

#include "platform/text/hex_text.h"

namespace porvane::cli {

ReceivedView::ReceivedView(bool hex, StampMode stamp, std::string line_end)
    : hex_(hex), clock_(stamp), line_end_(std::move(line_end)) {}

std::string ReceivedView::EndLine() {
    line_open_ = false;
    hex_in_line_ = 0;
    return line_end_;
}

std::string ReceivedView::SetHex(bool hex) {
    std::string text;
    if (hex_ && !hex && line_open_)
        text = EndLine();
    hex_ = hex;
    return text;
}

std::string ReceivedView::Add(const uint8_t* data, size_t count, TimePoint when) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (!line_open_) {
            text += clock_.Stamp(when);
            line_open_ = true;
        }
        if (hex_) {
            text::AppendHexGroups(text, {data + i, 1});
            if (++hex_in_line_ == kHexPerLine)
                text += EndLine();
        } else {
            text += static_cast<char>(data[i]);
            if (data[i] == '\n')
                line_open_ = false;
        }
    }
    return text;
}

bool ReceivedView::WaitsForPause() const {
    return line_open_ && (hex_ || clock_.mode() != StampMode::kNone);
}

std::string ReceivedView::Pause() {
    return WaitsForPause() ? EndLine() : std::string();
}

std::string ReceivedView::Finish() {
    return hex_ && line_open_ ? EndLine() : std::string();
}

}  // namespace porvane::cli
