#pragma once

#include <string>
#include <vector>

namespace porvane::install {

// How a child program ended: its wait status and the start of its error output (about 4 KiB at
// most).
struct ChildOutcome {
    int status = 0;
    std::string errors;
};

// Starts args[0] with its output on /dev/null (and its input too when quiet_input), reads its
// error output until it closes, and waits for it. env is the child's environment; search_path
// looks args[0] up in PATH. Returns false, with failure saying why, when the child could not be
// started ("pipe: ..." or "start <program>: ...").
bool RunChild(const std::vector<std::string>& args, char* const* env, bool search_path,
              bool quiet_input, ChildOutcome& outcome, std::string& failure);

}  // namespace porvane::install
