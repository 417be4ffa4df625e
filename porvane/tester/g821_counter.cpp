#include "porvane/tester/g821_counter.h"

namespace porvane::tester {

void G821Counter::AddSecond(bool severely_errored) {
    if (severely_errored)
        ++severely_errored_;
    // A run of seconds against the current state; ten of them switch it, counting themselves.
    const bool against = in_unavailable_ ? !severely_errored : severely_errored;
    run_ = against ? run_ + 1 : 0;
    if (in_unavailable_)
        ++unavailable_;
    if (run_ == 10) {
        if (in_unavailable_) {
            unavailable_ -= 10;  // the ten clean seconds belong to available time
        } else {
            unavailable_ += 10;
        }
        in_unavailable_ = !in_unavailable_;
        run_ = 0;
    }
}

}  // namespace porvane::tester
