#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace porvane::terminal {

// What Enter does in the send box: a new line in the text (as the box always did), or send the
// text followed by CR, LF or CR LF.
enum class EnterKey { kNewLine, kSendCr, kSendLf, kSendCrLf };

// Appends the line end that enter sends after the data (nothing for kNewLine).
void AppendLineEnd(EnterKey enter, std::vector<uint8_t>& data);

// The texts sent from the send box, the latest first, each once; the oldest go beyond kMost.
class SendHistory {
  public:
    static constexpr size_t kMost = 20;
    void Add(const std::string& text);
    const std::deque<std::string>& entries() const { return entries_; }

  private:
    std::deque<std::string> entries_;
};

}  // namespace porvane::terminal
