#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace porvane::cli {

// How an output line is stamped: not at all, with the wall-clock time, or with the time since
// the previous stamped line.
enum class StampMode { kNone, kAbsolute, kDelta };

// Stamps output lines: "HH:MM:SS.uuuuuu " (local time) or "+S.uuuuuu " (since the previous line,
// +0.000000 for the first). Not thread-safe: one clock per output stream.
class LineClock {
  public:
    using TimePoint = std::chrono::system_clock::time_point;

    explicit LineClock(StampMode mode) : mode_(mode) {}

    StampMode mode() const { return mode_; }
    // The prefix for a line stamped now, or at the given time; empty with kNone.
    std::string Stamp() { return Stamp(std::chrono::system_clock::now()); }
    std::string Stamp(TimePoint when);

  private:
    StampMode mode_;
    std::optional<TimePoint> previous_;
};

// Parses a --time value: "" or "absolute" gives kAbsolute, "delta" gives kDelta; nullopt otherwise.
std::optional<StampMode> ParseStampMode(const std::string& text);

}  // namespace porvane::cli
