#pragma once

#include <termios.h>

namespace porvane::cli {

// Puts a terminal in raw mode (every key as typed, Ctrl-C and Ctrl-Z included, no echo, no
// output processing) for its lifetime and gives it back its modes on destruction, whatever the
// way out.
class RawTerminal {
  public:
    explicit RawTerminal(int fd);
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    // False when the modes could not be read or set (errno says why); nothing is restored then.
    bool active() const { return active_; }

  private:
    int fd_;
    bool active_ = false;
    termios saved_{};
};

}  // namespace porvane::cli
