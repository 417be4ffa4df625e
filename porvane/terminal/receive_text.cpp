#include "porvane/terminal/receive_text.h"

#include <algorithm>

#include "platform/text/gbk.h"
#include "platform/text/hex_text.h"

namespace porvane::terminal {
namespace {

std::string_view UpToZero(std::span<const uint8_t> bytes) {
    auto zero = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return {reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(zero - bytes.begin())};
}

}  // namespace

uint64_t ReceiveChecksum(std::span<const uint8_t> bytes, uint64_t hash) {
    for (uint8_t b : bytes) {
        hash = (hash ^ b) * 0x100000001b3ull;
    }
    return hash;
}

size_t CountedLength(std::string_view view_text) {
    size_t length = 0;
    for (const char c : view_text) {
        const auto b = static_cast<uint8_t>(c);
        if ((b & 0xC0) == 0x80) {
            continue;  // a continuation byte belongs to the character before
        }
        // A character beyond the basic plane takes two UTF-16 units; a line break is CR LF.
        length += (b >= 0xF0 || b == '\n') ? 2 : 1;
    }
    return length;
}

std::string ReceiveTextRenderer::Render(std::span<const uint8_t> bytes, bool hex) {
    if (hex) {
        return text::HexGroups(bytes);
    }
    std::string_view shown = UpToZero(bytes);
    std::string out = decoder_.Feed(shown);
    if (shown.size() < bytes.size()) {
        decoder_.Reset();  // the text of this block ended at its zero byte
    }
    return out;
}

std::string ReceiveTextRenderer::RenderAll(std::span<const uint8_t> bytes, bool hex) {
    if (hex) {
        return text::HexGroups(bytes);
    }
    return text::GbkToUtf8(UpToZero(bytes));
}

ViewUpdate ReceiveTextRenderer::ForView(std::string_view rendered, size_t view_length) {
    ViewUpdate update;
    if (view_length >= kViewTextLimit) {
        update.overflow = true;
        last_was_cr_ = false;
        update.text = FoldLineBreaks(kOverflowNotice);
    } else {
        update.text = FoldLineBreaks(rendered);
    }
    update.counted_length = CountedLength(update.text);
    return update;
}

std::string ReceiveTextRenderer::RenderAllForView(std::span<const uint8_t> bytes, bool hex) {
    last_was_cr_ = false;
    return FoldLineBreaks(RenderAll(bytes, hex));
}

std::string ReceiveTextRenderer::FoldLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    if (last_was_cr_ && !text.empty() && text[0] == '\n') {
        i = 1;  // the LF of a CR LF split across two arrivals
    }
    for (; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    if (!text.empty()) {
        last_was_cr_ = text.back() == '\r';
    }
    return out;
}

}  // namespace porvane::terminal
