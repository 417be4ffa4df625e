#include "porvane/install/logind_rebooter.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace porvane::install {

bool LogindRebooter::Reboot(std::string& failed_step) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        failed_step = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const char* args[] = {busctl_.c_str(),
                          "call",
                          "org.freedesktop.login1",
                          "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager",
                          "Reboot",
                          "b",
                          "true",
                          nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, busctl_.c_str(), &actions, nullptr,
                                       const_cast<char* const*>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (spawned != 0) {
        ::close(pipe_fds[0]);
        failed_step = "start " + busctl_ + ": " + std::strerror(spawned);
        return false;
    }
    std::string errors;
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (errors.size() < 4096)
            errors.append(chunk, static_cast<size_t>(n));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    while (!errors.empty() && errors.back() == '\n')
        errors.pop_back();
    failed_step = "logind Reboot: " + (errors.empty() ? "busctl failed" : errors);
    return false;
}

}  // namespace porvane::install
