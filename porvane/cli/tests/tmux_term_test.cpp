// The Ctrl-T commands of "porvane-cli term" as a user reaches them: term runs in a tmux session
// (a real pseudo-terminal, with a terminal emulator's screen), the test types with send-keys and
// reads the screen with capture-pane; the port is a pseudo-terminal whose far end is the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::PtyPair;
using comm::testing::TempDir;

constexpr char kTmux[] = "/usr/bin/tmux";

// A detached tmux server of the test's own (its socket in a temporary folder) running one
// command in a window of 200 by 50.
class TmuxSession {
  public:
    TmuxSession(const TempDir& dir, const std::vector<std::string>& command)
        : socket_(dir.path() + "/tmux") {
        std::vector<std::string> args{"new-session", "-d", "-x", "200", "-y", "50"};
        args.insert(args.end(), command.begin(), command.end());
        started_ = Run(args) == 0;
        // The pane stays after the command ends, so that its last words can be read.
        Run({"set-option", "-g", "remain-on-exit", "on"});
    }
    ~TmuxSession() { Run({"kill-server"}); }
    bool started() const { return started_; }

    // tmux key names: "C-t", "Enter", or text typed as it is.
    void Keys(const std::vector<std::string>& keys) {
        std::vector<std::string> args{"send-keys"};
        args.insert(args.end(), keys.begin(), keys.end());
        EXPECT_EQ(Run(args), 0);
    }
    void Type(const std::string& text) { Keys({"-l", text}); }

    // Waits until the screen (with its history) holds text after what an earlier wait found;
    // tmux offers no event for that, so the screen is read again until it does or 30 s passed.
    bool WaitFor(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            screen_ = Capture();
            const size_t at = screen_.find(text, seen_);
            if (at != std::string::npos) {
                seen_ = at + text.size();
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    const std::string& screen() const { return screen_; }
    // Waits until the command has ended (its pane is dead), read as WaitFor reads the screen.
    bool WaitForEnd() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (Query({"list-panes", "-F", "#{pane_dead}"}) != "1\n") {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

  private:
    std::string Capture() { return Query({"capture-pane", "-p", "-J", "-S", "-1000"}); }
    std::string Query(const std::vector<std::string>& args) {
        std::vector<std::string> all{"-S", socket_};
        all.insert(all.end(), args.begin(), args.end());
        ChildProcess query(kTmux, all);
        std::string text = query.ReadAllOutput();
        query.Wait();
        return text;
    }
    int Run(const std::vector<std::string>& args) {
        std::vector<std::string> all{"-S", socket_};
        all.insert(all.end(), args.begin(), args.end());
        ChildProcess tmux(kTmux, all);
        return tmux.Wait();
    }

    std::string socket_;
    bool started_ = false;
    std::string screen_;
    size_t seen_ = 0;
};

TEST(TmuxTerm, TheCommandsOfTheEscapeKey) {
    if (::access(kTmux, X_OK) != 0)
        GTEST_SKIP() << "tmux is not installed";
    PtyPair port;
    TempDir dir;
    const std::string log = dir.path() + "/log";
    TmuxSession tmux(
        dir, {ChildProcess::BinDir() + "/porvane-cli", "term", port.slave_path(), "--log", log});
    ASSERT_TRUE(tmux.started());
    ASSERT_TRUE(tmux.WaitFor("Ctrl-T h lists the commands")) << tmux.screen();

    // The line: stop bits and flow control are taken; a pseudo-terminal keeps 8 data bits and
    // no parity, which term says.
    tmux.Keys({"C-t", "c"});
    tmux.Type("7E2 rts");
    tmux.Keys({"Enter"});
    ASSERT_TRUE(tmux.WaitFor("the port took 8 data bits, not 7 data bits")) << tmux.screen();
    // What the line runs is summed up, not what was asked.
    ASSERT_TRUE(tmux.WaitFor("porvane-cli: 9600 8N2, flow rts")) << tmux.screen();
    comm::KernelTermios line;
    ASSERT_TRUE(comm::GetKernelTermios(port.slave(), line));
    EXPECT_NE(line.cflag & comm::TermiosBits::kCstopb, 0u);
    EXPECT_NE(line.cflag & comm::TermiosBits::kCrtscts, 0u);
    tmux.Keys({"C-t", "c"});
    tmux.Type("8N1 none 57600");
    tmux.Keys({"Enter"});
    ASSERT_TRUE(tmux.WaitFor("porvane-cli: 57600 8N1, flow none")) << tmux.screen();
    tmux.Keys({"C-t", "c"});
    tmux.Type("fast");
    tmux.Keys({"Enter"});
    EXPECT_TRUE(tmux.WaitFor("line: fast is neither a speed")) << tmux.screen();

    // Bytes typed in hex.
    tmux.Keys({"C-t", "w"});
    tmux.Type("41 42 0a");
    tmux.Keys({"Enter"});
    EXPECT_EQ(port.ReadExactly(3), "AB\n");
    EXPECT_TRUE(tmux.WaitFor("sent 3 bytes")) << tmux.screen();

    // Local echo on: what is typed shows as well as going out.
    tmux.Keys({"C-t", "e"});
    ASSERT_TRUE(tmux.WaitFor("local echo on")) << tmux.screen();
    tmux.Type("echoed");
    EXPECT_EQ(port.ReadExactly(6), "echoed");
    EXPECT_TRUE(tmux.WaitFor("echoed")) << tmux.screen();
    tmux.Keys({"C-t", "e"});
    ASSERT_TRUE(tmux.WaitFor("local echo off")) << tmux.screen();

    // Time stamps on what arrives.
    tmux.Keys({"C-t", "t"});
    ASSERT_TRUE(tmux.WaitFor("time stamps time of day")) << tmux.screen();
    port.WriteAll("stamped\r\n");
    ASSERT_TRUE(tmux.WaitFor("stamped")) << tmux.screen();
    const std::string& screen = tmux.screen();
    const size_t line_start = screen.rfind('\n', screen.rfind("stamped")) + 1;
    EXPECT_EQ(screen.substr(line_start + 15, 8), " stamped") << screen;  // "HH:MM:SS.uuuuuu "
    tmux.Keys({"C-t", "t", "C-t", "t"});
    ASSERT_TRUE(tmux.WaitFor("time stamps off")) << tmux.screen();

    // The log off and on again: what came meanwhile is not in it.
    tmux.Keys({"C-t", "l"});
    ASSERT_TRUE(tmux.WaitFor("log " + log + " off")) << tmux.screen();
    port.WriteAll("unlogged\r\n");
    ASSERT_TRUE(tmux.WaitFor("unlogged")) << tmux.screen();
    tmux.Keys({"C-t", "l"});
    ASSERT_TRUE(tmux.WaitFor("log " + log + " on")) << tmux.screen();
    port.WriteAll("logged\r\n");
    ASSERT_TRUE(tmux.WaitFor("logged")) << tmux.screen();

    // A pulse on a line that has none, and the counts.
    tmux.Keys({"C-t", "p", "Enter"});
    EXPECT_TRUE(tmux.WaitFor("this port has no DTR line")) << tmux.screen();
    tmux.Keys({"C-t", "n"});
    EXPECT_TRUE(tmux.WaitFor("sent 9 bytes (")) << tmux.screen();
    EXPECT_TRUE(tmux.WaitFor("received 27 bytes")) << tmux.screen();

    tmux.Keys({"C-t", "q"});
    ASSERT_TRUE(tmux.WaitForEnd()) << tmux.screen();
    std::stringstream logged;
    logged << std::ifstream(log).rdbuf();
    EXPECT_EQ(logged.str(), "stamped\r\nlogged\r\n");
}

}  // namespace
}  // namespace porvane::cli
