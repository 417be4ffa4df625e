#include "porvane/install/preload_check.h"

#include <sys/wait.h>

#include <vector>

#include "porvane/install/run_child.h"

extern char** environ;

namespace porvane::install {

bool ProgramStartsWithPreload(const std::string& library, std::string& reason,
                              const std::string& program) {
    // The child's environment: ours without any preload or sanitizer settings of our own, plus
    // the library to try.
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("LD_BIND_NOW=", 0) == 0)
            continue;
        env_strings.push_back(entry);
    }
    env_strings.push_back("LD_PRELOAD=" + library);
    env_strings.push_back("LD_BIND_NOW=1");
    std::vector<char*> env;
    for (std::string& s : env_strings)
        env.push_back(s.data());
    env.push_back(nullptr);

    ChildOutcome outcome;
    if (!RunChild({program}, env.data(), false, true, outcome, reason))
        return false;
    const int status = outcome.status;
    std::string& errors = outcome.errors;
    while (!errors.empty() && (errors.back() == '\n' || errors.back() == '\r'))
        errors.pop_back();
    if (!errors.empty()) {
        reason = errors;
        return false;
    }
    if (WIFSIGNALED(status)) {
        reason = program + " was killed by signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        reason = program + " ended with status " + std::to_string(WEXITSTATUS(status));
        return false;
    }
    return true;
}

}  // namespace porvane::install
