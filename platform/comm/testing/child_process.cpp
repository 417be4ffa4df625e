#include "platform/comm/testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/comm/open_failure.h"

namespace comm::testing {
namespace {

// Reads until the pipe ends, the time runs out or, when until is not empty, the text read so far
// holds it.
std::string ReadPipe(int fd, int timeout_ms, const std::string& until = {}) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
        if (!until.empty() && out.find(until) != std::string::npos)
            break;
    }
    return out;
}

}  // namespace

std::string ChildProcess::BinDir() {
    const char* dir = std::getenv("PORVANE_BIN_DIR");
    return dir != nullptr ? dir : ".";
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string* stdin_text) {
    std::string path = program.find('/') != std::string::npos ? program : BinDir() + "/" + program;
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // Everything the child needs is made before the fork: it may not allocate.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        if (stdin_text != nullptr) {
            dup2(in[0], 0);
        } else {
            int null = ::open("/dev/null", O_RDONLY);
            dup2(null, 0);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (stdin_text != nullptr && stdin_text->empty()) {
        in_fd_ = in[1];
    } else if (stdin_text != nullptr) {
        std::string text = *stdin_text;
        int fd = in[1];
        std::thread([fd, text] {
            size_t done = 0;
            while (done < text.size()) {
                ssize_t n = ::write(fd, text.data() + done, text.size() - done);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            ::close(fd);
        }).detach();
    } else {
        ::close(in[1]);
    }
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

void ChildProcess::Signal(int signal) const {
    ::kill(pid_, signal);
}

void ChildProcess::CloseOutput() {
    if (out_fd_ >= 0)
        ::close(out_fd_);
    out_fd_ = -1;
}

void ChildProcess::CloseInput() {
    if (in_fd_ >= 0) {
        ::close(in_fd_);
        in_fd_ = -1;
    }
}

bool ChildProcess::WriteInput(const std::string& text) {
    size_t done = 0;
    while (in_fd_ >= 0 && done < text.size()) {
        const ssize_t n = ::write(in_fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return in_fd_ >= 0;
}

int ChildProcess::Wait(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!reaped_) {
        pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status_))
        return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_))
        return 128 + WTERMSIG(status_);
    return -1;
}

std::string ChildProcess::ReadAllOutput(int timeout_ms) {
    return ReadPipe(out_fd_, timeout_ms);
}
std::string ChildProcess::ReadOutputUntil(const std::string& text, int timeout_ms) {
    return ReadPipe(out_fd_, timeout_ms, text);
}
std::string ChildProcess::ReadAllError(int timeout_ms) {
    return ReadPipe(err_fd_, timeout_ms);
}

bool WaitForHolder(const std::string& path, pid_t pid, int timeout_ms) {
    // Between fork and exec the child still holds what this process holds (a test's own end of
    // the port among it): only the started program's hold counts.
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    auto held = [&] {
        // The image is read before the descriptors: read after, it could be the started
        // program's while the descriptors seen were still the test's, inherited until the exec.
        std::error_code exe_error;
        const std::filesystem::path exe =
            std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", exe_error);
        if (exe_error || exe == self)
            return false;
        for (const PortHolder& holder : FindPortHolders(path)) {
            if (holder.pid == pid)
                return true;
        }
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (held())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool WaitUntilAsleep(pid_t id, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat("/proc/" + std::to_string(id) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t end_of_name = line.rfind(')');
        if (end_of_name != std::string::npos && line.compare(end_of_name + 2, 1, "S") == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

namespace {

// The state letter of a process or thread as /proc shows it; 0 when it cannot be read.
char StateOf(const std::string& stat_path) {
    std::ifstream stat(stat_path);
    std::string line;
    std::getline(stat, line);
    const size_t end_of_name = line.rfind(')');
    return end_of_name != std::string::npos && end_of_name + 2 < line.size() ? line[end_of_name + 2]
                                                                             : 0;
}

}  // namespace

bool WaitUntilStopped(pid_t pid, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    while (std::chrono::steady_clock::now() < deadline) {
        bool all = true;
        std::error_code ec;
        for (const auto& task : std::filesystem::directory_iterator(tasks, ec))
            all = all && StateOf(task.path().string() + "/stat") == 'T';
        if (all && !ec)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool WaitForPath(const std::string& path, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::access(path.c_str(), F_OK) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/porvane-test-XXXXXX";
    char* made = mkdtemp(pattern);
    if (made == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace comm::testing
