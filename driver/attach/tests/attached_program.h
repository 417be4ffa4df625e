#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace sievra::attach::testing {

// A program run by a test under the attachment (or without it): its environment is the test's
// plus `environment`, its standard input a pipe the test writes lines to, its output read line
// by line. Killed and reaped on destruction if it still runs.
class AttachedProgram {
  public:
    AttachedProgram(const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment);
    ~AttachedProgram();
    AttachedProgram(const AttachedProgram&) = delete;
    AttachedProgram& operator=(const AttachedProgram&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of standard output (without its newline); empty at the end or time-out.
    std::string ReadLine(int timeout_ms = 20000);
    // The same, telling an empty line from the end or a time-out (nothing).
    std::optional<std::string> NextLine(int timeout_ms = 20000);
    void WriteLine(const std::string& line);
    // Ends the program's standard input.
    void CloseInput();
    // Waits for the end: the exit code, 128 + signal, or -1 when it does not end in time.
    int Wait(int timeout_ms = 20000);
    // Everything the program wrote to its error output (after it ended).
    std::string Errors();

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string pending_;
    bool reaped_ = false;
    int status_ = -1;
};

// The attachment's path in the build, and the environment that loads it for runtime_dir.
std::string AttachmentPath();
std::vector<std::string> AttachedEnvironment(const std::string& runtime_dir);

}  // namespace sievra::attach::testing
