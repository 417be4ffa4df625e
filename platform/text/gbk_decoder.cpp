#include "platform/text/gbk_decoder.h"

#include "platform/text/gbk.h"

namespace text {
namespace {

bool IsLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

// Length of the prefix that ends on a character boundary: everything but a trailing lead byte.
size_t CompletePrefix(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        if (IsLeadByte(static_cast<unsigned char>(bytes[i]))) {
            if (i + 1 == bytes.size()) {
                return i;
            }
            i += 2;
        } else {
            ++i;
        }
    }
    return bytes.size();
}

}  // namespace

std::string GbkDecoder::Feed(std::string_view bytes) {
    std::string joined;
    if (!pending_.empty()) {
        joined = pending_;
        joined.append(bytes);
        bytes = joined;
    }
    size_t complete = CompletePrefix(bytes);
    std::string out = GbkToUtf8(bytes.substr(0, complete));
    pending_.assign(bytes.substr(complete));
    return out;
}

std::string GbkDecoder::Flush() {
    std::string out = pending_.empty() ? std::string() : GbkToUtf8(pending_);
    pending_.clear();
    return out;
}

}  // namespace text
