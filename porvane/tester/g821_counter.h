#pragma once

#include <cstdint>

namespace porvane::tester {

// The G.821 figures: severely errored seconds (bit error ratio ≥ 1e-3, or no signal) and
// unavailable time (starts with 10 consecutive severely errored seconds, which count as
// unavailable, and ends with 10 consecutive seconds that are not, which count as available).
class G821Counter {
  public:
    void AddSecond(bool severely_errored);
    uint32_t severely_errored_seconds() const { return severely_errored_; }
    uint32_t unavailable_seconds() const { return unavailable_; }

  private:
    uint32_t severely_errored_ = 0;
    uint32_t unavailable_ = 0;
    bool in_unavailable_ = false;
    uint32_t run_ = 0;  // consecutive seconds against the current state
};

}  // namespace porvane::tester
