#include "porvane/install/run_child.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace porvane::install {

bool RunChild(const std::vector<std::string>& args, char* const* env, bool search_path,
              bool quiet_input, ChildOutcome& outcome, std::string& failure) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        failure = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    if (quiet_input)
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = search_path
                            ? ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env)
                            : ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (spawned != 0) {
        ::close(pipe_fds[0]);
        failure = "start " + args[0] + ": " + std::strerror(spawned);
        return false;
    }
    // Read to the end even past the limit, so a talkative child never blocks on a full pipe.
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
    outcome.status = status;
    outcome.errors = std::move(errors);
    return true;
}

}  // namespace porvane::install
