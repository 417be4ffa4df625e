// Arbitrary text as hex send text, through both hex-text parsers (the send panel's and the
// command assistant's pair converter): neither may crash or read past the text, neither makes
// more bytes than there are hex digits, and bytes written out as hex pairs parse back unchanged.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "brevant/omnix.h"
#include "platform/text/hex_text.h"
#include "porvane/terminal/hex_text_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t digits = 0;
    for (unsigned char c : text)
        digits += std::isxdigit(c) ? 1 : 0;
    const std::vector<uint8_t> panel = porvane::terminal::ParseHexText(text);
    const std::vector<uint8_t> pairs = brevant::HexToBytes(text);
    if (panel.size() > digits || pairs.size() * 2 > digits)
        std::abort();
    const std::string written = text::HexGroups(panel);  // "41 00 " form
    if (porvane::terminal::ParseHexText(written) != panel || brevant::HexToBytes(written) != panel)
        std::abort();
    return 0;
}
