#include "porvane/cli/raw_terminal.h"

namespace porvane::cli {

RawTerminal::RawTerminal(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0)
        return;
    termios raw = saved_;
    ::cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &raw) == 0;
}

RawTerminal::~RawTerminal() {
    // TCSANOW: output that a hung-up or stopped reader never takes must not hold the restore.
    if (active_)
        ::tcsetattr(fd_, TCSANOW, &saved_);
}

}  // namespace porvane::cli
