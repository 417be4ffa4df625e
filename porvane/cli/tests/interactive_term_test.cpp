// "porvane-cli term" at a terminal: a real pseudo-terminal is its standard input, output and error
// (and its controlling terminal); the port is another pseudo-terminal whose far end is the test,
// or a scripted line for what pseudo-terminals lack (modem lines, breaks).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/comm/comm_constants.h"
#include "platform/comm/kernel_termios.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/testing/scripted_port.h"
#include "porvane/cli/term_session.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::PtyPair;
using comm::testing::TempDir;
using SteadyClock = std::chrono::steady_clock;

int MillisecondsLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A pseudo-terminal in its ordinary (cooked) modes: the slave is what a program uses as its
// terminal, the test types on the master and reads what the terminal shows.
class TestTerminal {
  public:
    TestTerminal() {
        master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        char name[128] = {};
        if (!master_.valid() || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0 ||
            ::ptsname_r(master_.get(), name, sizeof name) != 0)
            throw std::runtime_error("cannot create a pseudo-terminal");
        slave_path_ = name;
        slave_.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        ::tcgetattr(slave_.get(), &before_);
    }
    int master() const { return master_.get(); }
    int slave() const { return slave_.get(); }
    const std::string& slave_path() const { return slave_path_; }

    void Type(const std::string& keys) {
        ASSERT_EQ(::write(master_.get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
    }
    // Reads what the terminal shows until text appears after the previous match (true), or the
    // time runs out.
    bool WaitFor(const std::string& text, int timeout_ms = 30000) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const size_t at = screen_.find(text, seen_);
            if (at != std::string::npos) {
                seen_ = at + text.size();
                return true;
            }
            if (!ReadScreen(MillisecondsLeft(deadline)))
                return false;
        }
    }
    // Reads what is shown within timeout_ms; false when nothing came.
    bool ReadScreen(int timeout_ms) {
        pollfd p{master_.get(), POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = ::read(master_.get(), chunk, sizeof chunk);
        if (n <= 0)
            return false;
        screen_.append(chunk, static_cast<size_t>(n));
        return true;
    }
    const std::string& screen() const { return screen_; }

    // Whether the terminal has the modes it had when it was made.
    bool ModesAsBefore() const {
        termios now{};
        ::tcgetattr(slave_.get(), &now);
        return now.c_iflag == before_.c_iflag && now.c_oflag == before_.c_oflag &&
               now.c_cflag == before_.c_cflag && now.c_lflag == before_.c_lflag &&
               std::memcmp(now.c_cc, before_.c_cc, sizeof now.c_cc) == 0;
    }

  private:
    comm::UniqueFd master_;
    comm::UniqueFd slave_;
    std::string slave_path_;
    termios before_{};
    std::string screen_;
    size_t seen_ = 0;
};

// porvane-cli started on a terminal of its own, as from a shell: a session whose controlling
// terminal is the slave, which is also its standard input, output and error.
class ProgramOnTerminal : public TestTerminal {
  public:
    explicit ProgramOnTerminal(std::vector<std::string> args) {
        std::string program = ChildProcess::BinDir() + "/porvane-cli";
        std::vector<char*> argv{program.data()};
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            const int fd = ::open(slave_path().c_str(), O_RDWR);
            ::ioctl(fd, TIOCSCTTY, 0);
            for (int target = 0; target < 3; ++target)
                ::dup2(fd, target);
            ::execv(program.c_str(), argv.data());
            _exit(127);
        }
        pidfd_.Reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    }
    ~ProgramOnTerminal() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    void Signal(int signal) const { ::kill(pid_, signal); }

    // Waits for the end (reading the terminal meanwhile, so that the program is never held by
    // a full terminal); the exit status, or -1 on time-out.
    int Wait(int timeout_ms = 30000) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        while (!reaped_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            const int left = MillisecondsLeft(deadline);
            if (left == 0)
                return -1;
            pollfd p[2] = {{pidfd_.get(), POLLIN, 0}, {master(), POLLIN, 0}};
            if (::poll(p, 2, left) > 0 && (p[1].revents & POLLIN))
                ReadScreen(0);
        }
        while (ReadScreen(0)) {
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    comm::UniqueFd pidfd_;
    bool reaped_ = false;
    int status_ = -1;
};

constexpr char kBanner[] = "Ctrl-T h lists the commands";

TEST(InteractiveTerm, KeysGoAsTypedAndCommandsActOnThePort) {
    PtyPair port;
    TempDir dir;
    const std::string file = dir.path() + "/send.txt";
    std::string content;
    for (int i = 0; i < 6000; ++i)
        content += static_cast<char>('a' + i % 26);
    std::ofstream(file) << content;
    ProgramOnTerminal term({"term", port.slave_path()});
    ASSERT_TRUE(term.WaitFor(kBanner)) << term.screen();

    term.Type("ab\x03\r");  // Ctrl-C goes to the device; Enter is CR as typed
    EXPECT_EQ(port.ReadExactly(4), "ab\x03\r");
    term.Type("\x14\x14");
    EXPECT_EQ(port.ReadExactly(1), "\x14");

    term.Type("\x14h");
    EXPECT_TRUE(term.WaitFor("Ctrl-T f  send a file")) << term.screen();

    term.Type("\x14s115200\r");
    ASSERT_TRUE(term.WaitFor("porvane-cli: 115200 8N1")) << term.screen();
    comm::KernelTermios line;
    ASSERT_TRUE(comm::GetKernelTermios(port.slave(), line));
    EXPECT_EQ(line.ospeed, 115200u);
    term.Type(
        "\x14s12x\x7f\x7f"
        "9\r");  // edited to "19": below the lowest rate
    EXPECT_TRUE(term.WaitFor("baud rate: must be 50 to 4000000")) << term.screen();

    term.Type("\x14x");
    ASSERT_TRUE(term.WaitFor("hex view on")) << term.screen();
    port.WriteAll("AB");
    EXPECT_TRUE(term.WaitFor("41 42 ")) << term.screen();

    term.Type(
        "\x14"
        "f" +
        dir.path() + "/missing\r");
    EXPECT_TRUE(term.WaitFor(dir.path() + "/missing: No such file or directory")) << term.screen();
    term.Type(
        "\x14"
        "f" +
        file + "\r");
    EXPECT_EQ(port.ReadExactly(content.size()), content);
    EXPECT_TRUE(term.WaitFor("sent " + file + " (6000 bytes)")) << term.screen();

    // Without --log, the log key starts one in the file typed.
    const std::string log = dir.path() + "/typed.log";
    term.Type("\x14l" + log + "\r");
    ASSERT_TRUE(term.WaitFor("log " + log + " on")) << term.screen();
    port.WriteAll("kept");
    EXPECT_TRUE(term.WaitFor("6b 65 70 74 ")) << term.screen();  // the hex view is on

    term.Type("\x14q");
    EXPECT_EQ(term.Wait(), 0);
    EXPECT_TRUE(term.ModesAsBefore());
    std::ifstream logged(log);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(logged), {}), "kept");
}

// --escape chooses another escape key; Ctrl-T then goes to the port as typed.
TEST(InteractiveTerm, AnotherEscapeKeyTakesTheCommands) {
    PtyPair port;
    ProgramOnTerminal term({"term", "--escape", "a", port.slave_path()});
    ASSERT_TRUE(term.WaitFor("Ctrl-A h lists the commands")) << term.screen();
    term.Type("\x14");
    EXPECT_EQ(port.ReadExactly(1), "\x14");
    term.Type("\x01q");
    EXPECT_EQ(term.Wait(), 0);
}

TEST(InteractiveTerm, EnterSendsWhatMapSays) {
    struct Row {
        const char* name;
        std::vector<std::string> options;
        std::string sent;
    } rows[] = {
        {"as typed", {}, "x\r"},
        {"LF", {"--map", "LF"}, "x\n"},
        {"CRLF with echo", {"--map", "CRLF", "--echo"}, "x\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PtyPair port;
        std::vector<std::string> args{"term", port.slave_path()};
        args.insert(args.end(), row.options.begin(), row.options.end());
        ProgramOnTerminal term(args);
        ASSERT_TRUE(term.WaitFor(kBanner)) << term.screen();
        term.Type("x\r");
        EXPECT_EQ(port.ReadExactly(row.sent.size()), row.sent);
        term.Type("\x14q");
        EXPECT_EQ(term.Wait(), 0);
        // Local echo shows the key, Enter as a new line.
        EXPECT_EQ(term.screen().find("x\r\n") != std::string::npos,
                  !row.options.empty() && row.options.back() == "--echo");
    }
}

TEST(InteractiveTerm, TheTerminalGetsItsModesBackOnEveryWayOut) {
    struct Row {
        const char* name;
        std::function<void(ProgramOnTerminal&, PtyPair&)> end;
        int status;
        bool says_vanished;
        bool reconnect = false;
    } rows[] = {
        {"quit", [](ProgramOnTerminal& t, PtyPair&) { t.Type("\x14q"); }, 0, false},
        {"port vanishes", [](ProgramOnTerminal&, PtyPair& p) { p.CloseMaster(); }, 5, true},
        {"SIGTERM", [](ProgramOnTerminal& t, PtyPair&) { t.Signal(SIGTERM); }, 0, false},
        {"SIGHUP", [](ProgramOnTerminal& t, PtyPair&) { t.Signal(SIGHUP); }, 0, false},
        // With --reconnect the vanished port is waited for, in raw mode again, until a quit.
        {"quit while waiting for the port",
         [](ProgramOnTerminal& t, PtyPair& p) {
             p.CloseMaster();
             ASSERT_TRUE(t.WaitFor("Ctrl-T q or Ctrl-C quits)")) << t.screen();
             t.Type("\x14q");
         },
         5, true, true},
        {"Ctrl-C while waiting for the port",
         [](ProgramOnTerminal& t, PtyPair& p) {
             p.CloseMaster();
             ASSERT_TRUE(t.WaitFor("Ctrl-T q or Ctrl-C quits)")) << t.screen();
             t.Type("x\x03");
         },
         5, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PtyPair port;
        ProgramOnTerminal term(
            row.reconnect ? std::vector<std::string>{"term", "--reconnect", port.slave_path()}
                          : std::vector<std::string>{"term", port.slave_path()});
        ASSERT_TRUE(term.WaitFor(kBanner)) << term.screen();
        row.end(term, port);
        EXPECT_EQ(term.Wait(), row.status);
        EXPECT_TRUE(term.ModesAsBefore());
        EXPECT_EQ(term.screen().find("串口已断开: " + port.slave_path()) != std::string::npos,
                  row.says_vanished)
            << term.screen();
    }
}

// Text received without a line end is not run into by what term says next.
TEST(InteractiveTerm, MessagesStartOnALineOfTheirOwn) {
    struct Row {
        const char* name;
        std::function<void(ProgramOnTerminal&, PtyPair&)> act;
        std::string message;
    } rows[] = {
        {"a command", [](ProgramOnTerminal& t, PtyPair&) { t.Type("\x14i"); }, "porvane-cli: "},
        {"the port vanishing", [](ProgramOnTerminal&, PtyPair& p) { p.CloseMaster(); },
         "串口已断开"},
        // Quitting leaves the shell's prompt a line of its own.
        {"quitting", [](ProgramOnTerminal& t, PtyPair&) { t.Type("\x14q"); }, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PtyPair port;
        ProgramOnTerminal term({"term", port.slave_path()});
        ASSERT_TRUE(term.WaitFor(kBanner)) << term.screen();
        port.WriteAll("partial");
        ASSERT_TRUE(term.WaitFor("partial")) << term.screen();
        row.act(term, port);
        if (row.message.empty()) {
            EXPECT_EQ(term.Wait(), 0);
        } else {
            ASSERT_TRUE(term.WaitFor(row.message)) << term.screen();
        }
        // A line end between the received text and what follows.
        const std::string& screen = term.screen();
        const size_t after = screen.rfind("partial") + 7;
        const size_t next = row.message.empty() ? screen.size() : screen.rfind(row.message);
        EXPECT_NE(screen.substr(after, next - after).find('\n'), std::string::npos) << screen;
        term.Type("\x14q");
        term.Wait();
    }
}

// Break and the modem lines, on a line that has them.
TEST(InteractiveTerm, BreakDtrRtsAndTheModemLinesOnAPortThatHasThem) {
    auto port = comm::testing::ScriptedPort::Create();
    TestTerminal terminal;
    TermOptions options;
    options.port = "ttyS0";
    TermSession session(options, terminal.slave(), terminal.slave(), terminal.slave(), -1,
                        [port](const std::string&) { return port->Open(); });
    int status = -1;
    std::thread runner([&] { status = session.Run(); });
    ASSERT_TRUE(terminal.WaitFor(kBanner)) << terminal.screen();

    struct Step {
        const char* keys;
        const char* shown;
        uint32_t modem_control;
        int breaks;
    } steps[] = {
        {"\x14"
         "d",
         "DTR off", comm::kModemControlRts, 0},
        {"\x14r", "RTS off", 0, 0},
        {"\x14"
         "d",
         "DTR on", comm::kModemControlDtr, 0},
        // A pulse turns the line over and back.
        {"\x14p\r", "DTR pulsed off for 250 ms", comm::kModemControlDtr, 0},
        {"\x14prts\r", "RTS pulsed on for 250 ms", comm::kModemControlDtr, 0},
        {"\x14"
         "b",
         "break sent", comm::kModemControlDtr, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.shown);
        terminal.Type(step.keys);
        ASSERT_TRUE(terminal.WaitFor(step.shown)) << terminal.screen();
        EXPECT_EQ(port->ModemControl(), step.modem_control);
        EXPECT_EQ(port->Breaks(), step.breaks);
    }
    port->SetModemStatus(comm::MS_CTS_ON | comm::MS_RLSD_ON);
    terminal.Type("\x14i");
    EXPECT_TRUE(terminal.WaitFor("/dev/ttyS0 9600 8N1, flow none")) << terminal.screen();
    EXPECT_TRUE(terminal.WaitFor("CTS on, DSR off, RI off, DCD on; DTR on, RTS off"))
        << terminal.screen();
    port->Receive({'h', 'i'});
    EXPECT_TRUE(terminal.WaitFor("hi")) << terminal.screen();
    terminal.Type("\x14q");
    runner.join();
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(terminal.ModesAsBefore());
}

}  // namespace
}  // namespace porvane::cli
