#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace comm::testing {

// A program started by a test, with its standard output captured into a pipe; killed and reaped
// on destruction if it still runs.
class ChildProcess {
  public:
    // program: a path, or a name found in $PORVANE_BIN_DIR. stdin_text, when given, is fed to the
    // program's standard input, which is then closed (an empty text leaves it open until
    // CloseInput); otherwise standard input is /dev/null.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string* stdin_text = nullptr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int signal) const;
    void CloseInput();
    // Writes text to standard input while it is held open (blocking); false when it cannot.
    bool WriteInput(const std::string& text);
    // Closes the test's end of standard output, as a reader that has had enough (`| head`) does.
    void CloseOutput();
    // Waits for the end; returns the exit code (128 + signal when killed), or -1 on time-out.
    int Wait(int timeout_ms = 30000);
    // Reads standard output until it ends (or the time runs out) and returns all of it.
    std::string ReadAllOutput(int timeout_ms = 30000);
    std::string ReadAllError(int timeout_ms = 30000);
    // Reads standard output until what was read holds text (or the output ends, or the time runs
    // out) and returns what was read, which may go on past text; a later read continues after it.
    std::string ReadOutputUntil(const std::string& text, int timeout_ms = 30000);

    // The directory the build puts its programs in.
    static std::string BinDir();

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;  // write end of standard input while it is held open
    int status_ = -1;
    bool reaped_ = false;
};

// Waits until path exists (for a link a program creates); false on time-out.
bool WaitForPath(const std::string& path, int timeout_ms = 10000);

// Waits until process pid holds path (or the device a link at path leads to) open, as
// /proc/*/fd shows it; false on time-out.
bool WaitForHolder(const std::string& path, pid_t pid, int timeout_ms = 30000);

// Waits until the process or thread id sleeps (its state in /proc is S: blocked in a call that
// waits, having taken in whatever was queued for it before this call); false on time-out.
bool WaitUntilAsleep(pid_t id, int timeout_ms = 30000);

// Waits until every thread of process pid is stopped (SIGSTOP has taken effect, not only been
// sent); false on time-out.
bool WaitUntilStopped(pid_t pid, int timeout_ms = 30000);

// A fresh, empty temporary directory, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace comm::testing
