#include "driver/attach/tests/attached_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "platform/comm/testing/child_process.h"

extern char** environ;

namespace sievra::attach::testing {

AttachedProgram::AttachedProgram(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& environment) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    // The test's own settings first: the C library takes the first entry of a name.
    std::vector<std::string> env = environment;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
}

AttachedProgram::~AttachedProgram() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

std::string AttachedProgram::ReadLine(int timeout_ms) {
    return NextLine(timeout_ms).value_or("");
}

std::optional<std::string> AttachedProgram::NextLine(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{out_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0)
            return std::nullopt;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

void AttachedProgram::WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] ssize_t n = ::write(in_, text.data(), text.size());
}

void AttachedProgram::CloseInput() {
    if (in_ >= 0)
        ::close(in_);
    in_ = -1;
}

int AttachedProgram::Wait(int timeout_ms) {
    // The program's end closes its output: wait for that, then reap.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{out_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            return -1;
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        pending_.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_)
        return -1;
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string AttachedProgram::Errors() {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(err_, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    return out;
}

std::string AttachmentPath() {
    return comm::testing::ChildProcess::BinDir() + "/../lib/libsievra.so";
}

std::vector<std::string> AttachedEnvironment(const std::string& runtime_dir) {
    // A generous answer time: a sanitizer build of the host on a loaded machine is slow, and a
    // late answer would turn the port into pass-through in the middle of a test.
    return {"LD_PRELOAD=" + AttachmentPath(), "SIEVRA_RUNTIME_DIR=" + runtime_dir,
            "SIEVRA_REPLY_MS=10000"};
}

}  // namespace sievra::attach::testing
