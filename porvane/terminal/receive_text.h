#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/text/gbk_decoder.h"

namespace porvane::terminal {

inline constexpr size_t kViewTextLimit = 1'000'000;
inline constexpr char kOverflowNotice[] = "------- Too more data, delete automaticly!! -----\r\n";

// Turns received bytes into the text the receive view shows (UTF-8): in hex mode "%02x " per
// byte; otherwise the bytes as GBK text up to the first zero byte of the block. A two-byte
// character split across two blocks is shown whole when its second byte arrives.
class ReceiveTextRenderer {
  public:
    std::string Render(std::span<const uint8_t> bytes, bool hex);
    // The whole store at once (for "重新显示"): text stops at the store's first zero byte.
    static std::string RenderAll(std::span<const uint8_t> bytes, bool hex);
    void Reset() { decoder_.Reset(); }

  private:
    text::GbkDecoder decoder_;
};

}  // namespace porvane::terminal
