#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/text/gbk_decoder.h"

namespace porvane::terminal {

inline constexpr size_t kViewTextLimit = 1'000'000;
inline constexpr char kOverflowNotice[] = "------- Too more data, delete automaticly!! -----\r\n";

// The checksum of the bytes handed to the receive view (FNV-1a, 64 bits), continued from hash:
// a benchmark compares it with the checksum of what it sent.
inline constexpr uint64_t kChecksumStart = 0xcbf29ce484222325ull;
uint64_t ReceiveChecksum(std::span<const uint8_t> bytes, uint64_t hash = kChecksumStart);

// The length of view text (UTF-8, line breaks as LF) as the limit rule counts it: in UTF-16
// units, as the view's field holds text, with a line break counting as CR LF.
size_t CountedLength(std::string_view view_text);

// What one arrival does to the view's text.
struct ViewUpdate {
    bool overflow = false;      // empty the view and the kept bytes first: the limit was reached
    std::string text;           // UTF-8, line breaks as LF
    size_t counted_length = 0;  // CountedLength(text)
};

// Turns received bytes into the text the receive view shows (UTF-8): in hex mode "%02x " per
// byte; otherwise the bytes as GBK text up to the first zero byte of the block. A two-byte
// character split across two blocks is shown whole when its second byte arrives. The view holds
// line breaks as LF: CR, LF and CR LF each make one, also a CR LF split across two arrivals.
class ReceiveTextRenderer {
  public:
    std::string Render(std::span<const uint8_t> bytes, bool hex);
    // The whole store at once (for "重新显示"): text stops at the store's first zero byte.
    static std::string RenderAll(std::span<const uint8_t> bytes, bool hex);

    // The rendered text of an arrival for a view that holds view_length (as CountedLength
    // counts): a view at kViewTextLimit or beyond is emptied for kOverflowNotice, and the
    // arrival's text is not shown.
    ViewUpdate ForView(std::string_view rendered, size_t view_length);
    // The whole store as the view shows it after "重新显示".
    std::string RenderAllForView(std::span<const uint8_t> bytes, bool hex);
    // Line breaks as the view holds them, continuing from the last text folded.
    std::string FoldLineBreaks(std::string_view text);

    void Reset() {
        decoder_.Reset();
        last_was_cr_ = false;
    }

  private:
    text::GbkDecoder decoder_;
    bool last_was_cr_ = false;  // the last text folded ended with CR
};

}  // namespace porvane::terminal
