#include "porvane/cli/line_clock.h"

#include <time.h>

#include <cinttypes>
#include <cstdio>

namespace porvane::cli {

std::string LineClock::Stamp(TimePoint when) {
    char text[48];
    if (mode_ == StampMode::kNone)
        return {};
    if (mode_ == StampMode::kDelta) {
        const auto since = previous_ ? when - *previous_ : TimePoint::duration::zero();
        previous_ = when;
        const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
        const char* sign = us < 0 ? "-" : "+";
        const int64_t magnitude = us < 0 ? -us : us;
        std::snprintf(text, sizeof text, "%s%" PRId64 ".%06" PRId64 " ", sign, magnitude / 1000000,
                      magnitude % 1000000);
        return text;
    }
    const auto us_total =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(us_total / 1000000);
    struct tm local {};
    localtime_r(&seconds, &local);
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06d ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(us_total % 1000000));
    return text;
}

std::optional<StampMode> ParseStampMode(const std::string& text) {
    if (text.empty() || text == "absolute")
        return StampMode::kAbsolute;
    if (text == "delta")
        return StampMode::kDelta;
    return std::nullopt;
}

}  // namespace porvane::cli
