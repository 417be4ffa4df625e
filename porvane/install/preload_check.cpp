#include "porvane/install/preload_check.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace porvane::install {

bool ProgramStartsWithPreload(const std::string& library, std::string& reason,
                              const std::string& program) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        reason = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
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

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string program_copy = program;
    char* argv[] = {program_copy.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (spawned != 0) {
        ::close(pipe_fds[0]);
        reason = "start " + program + ": " + std::strerror(spawned);
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
