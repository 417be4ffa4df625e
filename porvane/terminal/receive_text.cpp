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

}  // namespace porvane::terminal
