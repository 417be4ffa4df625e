#pragma once

#include <string>

namespace porvane::install {

// Starts a small program (/bin/true) with library preloaded and every symbol bound at start.
// Returns true when it ran cleanly: exit status 0 and nothing on its error output, where the
// dynamic loader reports a library it cannot preload (and then runs the program anyway).
// Otherwise reason says what went wrong, in the loader's or the system's words.
bool ProgramStartsWithPreload(const std::string& library, std::string& reason,
                              const std::string& program = "/bin/true");

}  // namespace porvane::install
