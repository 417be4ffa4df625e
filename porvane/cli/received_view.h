#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "porvane/cli/line_clock.h"

namespace porvane::cli {

// Turns received bytes into what the terminal shows. Text passes as it is; hex is "%02x "
// groups, 16 to a line, and a pause in reception ends the line as well, so that each burst
// starts a line of its own. With a stamp mode each line (hex) or each line and burst (text)
// starts with the time it began. Not thread-safe: the owner serialises the calls.
class ReceivedView {
  public:
    using TimePoint = std::chrono::system_clock::time_point;
    static constexpr size_t kHexPerLine = 16;

    // line_end: "\n", or "\r\n" for a terminal in raw mode.
    ReceivedView(bool hex, StampMode stamp, std::string line_end);

    bool hex() const { return hex_; }
    StampMode stamp() const { return clock_.mode(); }
    // Stamps the lines from the next one on with another mode.
    void SetStamp(StampMode stamp) { clock_ = LineClock(stamp); }
    // Switching ends a hex line that is under way.
    std::string SetHex(bool hex);

    // The text for bytes received at `when`.
    std::string Add(const uint8_t* data, size_t count, TimePoint when);
    // Reception paused: ends a line under way in hex, or in text when lines are stamped (a text
    // line that goes on unstamped is left alone).
    std::string Pause();
    // Whether Pause would end a line now.
    bool WaitsForPause() const;
    // The end of the session: a hex line under way gets its line end.
    std::string Finish();
    // Ends whatever line is under way (hex or text), so that a line of another kind (a decoded
    // frame) starts at the start of one.
    std::string BreakLine() { return line_open_ ? EndLine() : std::string(); }

  private:
    std::string EndLine();

    bool hex_;
    LineClock clock_;
    std::string line_end_;
    bool line_open_ = false;  // something of the current line has been shown
    size_t hex_in_line_ = 0;  // groups on the current hex line
};

}  // namespace porvane::cli
