#include "porvane/install/logind_rebooter.h"

#include <sys/wait.h>

#include "porvane/install/run_child.h"

extern char** environ;

namespace porvane::install {

bool LogindRebooter::Reboot(std::string& failed_step) {
    ChildOutcome outcome;
    if (!RunChild({busctl_, "call", "org.freedesktop.login1", "/org/freedesktop/login1",
                   "org.freedesktop.login1.Manager", "Reboot", "b", "true"},
                  environ, true, false, outcome, failed_step))
        return false;
    if (WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0)
        return true;
    std::string& errors = outcome.errors;
    while (!errors.empty() && errors.back() == '\n')
        errors.pop_back();
    failed_step = "logind Reboot: " + (errors.empty() ? "busctl failed" : errors);
    return false;
}

}  // namespace porvane::install
