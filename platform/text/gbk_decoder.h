#pragma once

#include <string>
#include <string_view>

namespace text {

// Decodes a GBK byte stream that arrives in pieces. A two-byte character split across two pieces
// is held back until its second byte arrives, so no character is ever broken in two.
class GbkDecoder {
  public:
    // Decodes the bytes, with any byte held back from the previous call in front, and returns
    // UTF-8. A lead byte at the end of the bytes is held back for the next call.
    std::string Feed(std::string_view bytes);

    // Returns what is held back (a lone lead byte becomes U+FFFD) and starts afresh.
    std::string Flush();

    void Reset() { pending_.clear(); }
    bool HasPending() const { return !pending_.empty(); }

  private:
    std::string pending_;  // at most one lead byte
};

}  // namespace text
