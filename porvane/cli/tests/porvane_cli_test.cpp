#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/comm/comm_constants.h"
#include "platform/comm/kernel_termios.h"
#include "platform/comm/serial_device.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/testing/scripted_port.h"
#include "porvane/cli/term_session.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using comm::testing::WaitForPath;

class TermCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link_ = dir_.path() + "/loop";
        vport_ = std::make_unique<ChildProcess>("vport", std::vector<std::string>{"loop", link_});
        ASSERT_TRUE(WaitForPath(link_));
    }
    TempDir dir_;
    std::string link_;
    std::unique_ptr<ChildProcess> vport_;
};

TEST_F(TermCommandTest, HexModeShowsTheEchoAsGroups) {
    std::string input = "hello";
    // A long linger: the echo's way through the plug may take a while on a busy machine.
    ChildProcess term("porvane-cli", {"term", link_, "--hex", "--linger", "3000"}, &input);
    EXPECT_EQ(term.ReadAllOutput(), "68 65 6c 6c 6f \n");  // ends with a line end
    EXPECT_EQ(term.Wait(), 0);
}

// With a decoder, each frame sent and received gets a line of its own beside the bytes.
TEST_F(TermCommandTest, DecodedFramesOfBothWaysGetLinesOfTheirOwn) {
    std::string input = "AT+CSQ\r";
    ChildProcess term("porvane-cli", {"term", link_, "--hex", "--decode", "at", "--linger", "3000"},
                      &input);
    std::string frames;
    std::istringstream lines(term.ReadAllOutput());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("» ", 0) == 0)
            frames += line + "\n";
    }
    EXPECT_EQ(term.Wait(), 0);
    EXPECT_EQ(frames, "» W at: command AT+CSQ\n» R at: echo AT+CSQ\n");
}

// A frame whose end only a pause tells is written once the pause has passed while the session
// goes on: the last frame of an exchange needs no more traffic to appear.
TEST_F(TermCommandTest, AFrameEndedByAPauseAppearsWithoutMoreTraffic) {
    int input[2], output[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    comm::UniqueFd input_read(input[0]), input_write(input[1]);
    comm::UniqueFd output_read(output[0]), output_write(output[1]);
    comm::UniqueFd sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    TermOptions options;
    options.port = link_;
    options.hex = true;
    options.decoder = "modbus-rtu";
    TermSession session(options, input_read.get(), output_write.get(), sink.get(), -1);
    int status = -1;
    std::thread run([&] { status = session.Run(); });
    const std::string unknown("\x05\x41\x01\x90\x51", 5);  // a function of unknown length
    ASSERT_EQ(::write(input_write.get(), unknown.data(), unknown.size()), 5);
    const std::string echoed = "» R modbus-rtu: slave 5, unknown function 0x41, data 01, CRC ok\n";
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen.find(echoed) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{output_read.get(), POLLIN, 0};
        char chunk[512];
        if (::poll(&p, 1, 1000) == 1) {
            const ssize_t n = ::read(output_read.get(), chunk, sizeof chunk);
            if (n <= 0)
                break;
            seen.append(chunk, static_cast<size_t>(n));
        }
    }
    input_write.Reset();  // the input ends: so does the session
    run.join();
    EXPECT_EQ(status, 0);
    EXPECT_NE(seen.find("» W modbus-rtu: slave 5, unknown function 0x41, data 01, CRC ok\n"),
              std::string::npos)
        << seen;
    EXPECT_NE(seen.find(echoed), std::string::npos) << seen;
}

TEST_F(TermCommandTest, AMegabyteComesBackWholeAndInOrder) {
    std::mt19937 gen(11);
    std::string input(1 << 20, '\0');
    for (char& c : input)
        c = static_cast<char>(gen());
    ChildProcess term("porvane-cli",
                      {"term", link_, "--baud", "115200", "--data", "8", "--parity", "no", "--stop",
                       "1", "--linger", "3000"},
                      &input);
    std::string output = term.ReadAllOutput(60000);
    EXPECT_EQ(term.Wait(), 0);
    ASSERT_EQ(output.size(), input.size());
    EXPECT_TRUE(output == input);
}

TEST_F(TermCommandTest, HeldPortNamesTheProcessThatHoldsIt) {
    comm::OpenResult held = comm::OpenSerialDevice(link_);
    ASSERT_TRUE(held.device);
    std::string self;
    std::getline(std::ifstream("/proc/self/comm"), self);
    ChildProcess term("porvane-cli", {"term", link_});
    EXPECT_EQ(term.Wait(), 1);
    EXPECT_EQ(term.ReadAllError(), "串口被占用!! (" + link_ + ": in use by process " +
                                       std::to_string(getpid()) + " (" + self + "))\n");
}

TEST_F(TermCommandTest, HexModeWithoutReplyPrintsNothing) {
    std::string input;
    ChildProcess term("porvane-cli", {"term", link_, "--hex"}, &input);
    term.CloseInput();
    EXPECT_EQ(term.ReadAllOutput(), "");
    EXPECT_EQ(term.Wait(), 0);
}

TEST_F(TermCommandTest, StopsCleanlyOnSigterm) {
    std::string keep_open;
    ChildProcess term("porvane-cli", {"term", link_}, &keep_open);
    // The stop signals are taken over before the port opens: once it holds the port, SIGTERM is
    // the program's to handle. A fixed pause could send it before then on a loaded machine.
    ASSERT_TRUE(comm::testing::WaitForHolder(link_, term.pid()));
    term.Signal(SIGTERM);
    EXPECT_EQ(term.Wait(5000), 0);
}

TEST_F(TermCommandTest, HexLinesHoldSixteenBytesAndEndWithTheBurst) {
    std::string input = "0123456789abcdefXY";
    ChildProcess term("porvane-cli", {"term", link_, "--hex", "--linger", "3000"}, &input);
    EXPECT_EQ(term.ReadAllOutput(), "30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 \n58 59 \n");
    EXPECT_EQ(term.Wait(), 0);
}

TEST_F(TermCommandTest, TimeStampsAndTheLogTakeWhatArrives) {
    const std::string log = dir_.path() + "/received.log";
    std::ofstream(log) << "earlier\n";  // appended to, not replaced
    std::string input = "hello\n";
    ChildProcess term("porvane-cli",
                      {"term", link_, "--time=delta", "--log", log, "--linger", "3000"}, &input);
    EXPECT_EQ(term.ReadAllOutput(), "+0.000000 hello\n");
    EXPECT_EQ(term.Wait(), 0);
    std::stringstream logged;
    logged << std::ifstream(log).rdbuf();
    EXPECT_EQ(logged.str(), "earlier\nhello\n");
    // A log that cannot be written is refused before the port is opened (which would fail too).
    ChildProcess refused("porvane-cli", {"term", "/dev/no-such-port", "--log", dir_.path()});
    EXPECT_EQ(refused.Wait(), 4);
    EXPECT_EQ(refused.ReadAllError(), "porvane-cli: --log: " + dir_.path() + ": Is a directory\n");
}

// The everyday options have short forms, and --time takes its value after a space too.
TEST_F(TermCommandTest, ShortOptionsAndATimeValueAfterASpace) {
    std::string input = "hi\n";
    ChildProcess term(
        "porvane-cli",
        {"term", link_, "-b", "115200", "-p", "no", "-t", "delta", "--linger", "3000"}, &input);
    EXPECT_EQ(term.ReadAllOutput(), "+0.000000 hi\n");
    EXPECT_EQ(term.Wait(), 0);
    // The help shows --time as a flag with an optional value.
    ChildProcess help("porvane-cli", {"term", "--help"});
    const std::string help_text = help.ReadAllOutput();
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help_text.find("\n  -t,--time [MODE] "), std::string::npos) << help_text;
    EXPECT_EQ(help_text.find('{' + std::string("absolute")), std::string::npos) << help_text;
    // A usage error points to the help of the command it is in.
    const struct {
        std::vector<std::string> args;
        std::string error;
    } usage_errors[] = {
        {{"term", link_, "--bogus"}, "unknown option '--bogus'"},
        {{"term", link_, "--time=sometimes"}, "--time: sometimes is neither absolute nor delta"},
        {{"term", "rfc2217://bench"},
         "PORT: rfc2217://bench: the server's port number is missing (rfc2217://HOST:PORT, "
         "PORT 1 to 65535)"},
        {{"term", "rfc2217://bench:0"},
         "PORT: rfc2217://bench:0: not a remote port (rfc2217://HOST:PORT, PORT 1 to 65535)"},
    };
    for (const auto& row : usage_errors) {
        SCOPED_TRACE(row.error);
        ChildProcess bad("porvane-cli", row.args);
        EXPECT_EQ(bad.Wait(), 2);
        EXPECT_EQ(bad.ReadAllError(),
                  "porvane-cli: " + row.error + " (see porvane-cli term --help)\n");
    }
}

// An unknown protocol is said with the names there are, by every command that decodes; watch's
// "--" put before its program is no unknown option, whatever else is wrong.
TEST(DecodeOption, AnUnknownProtocolNamesTheKnownOnes) {
    const std::string known = "unknown protocol 'foo': modbus-rtu, modbus-ascii, nmea, at";
    const struct {
        std::vector<std::string> args;
        std::string error;
    } rows[] = {
        {{"watch", "--decode", "foo", "true"}, "--decode: " + known + " (see porvane-cli watch"},
        {{"watch", "--decode=foo", "--", "true"}, "--decode: " + known + " (see porvane-cli watch"},
        {{"watch", "--pid", "0", "true"}, "--pid: must be 1 to 2147483647 (see porvane-cli watch"},
        {{"monitor", "ttyS0", "--decode", "foo"},
         "--decode: " + known + " (see porvane-cli monitor"},
        {{"term", "/dev/null", "--decode", "foo"}, "--decode: " + known + " (see porvane-cli term"},
        {{"show", "x.pcapng", "--decode", "foo"}, "--decode: " + known + " (see porvane-cli show"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args[1]);
        ChildProcess bad("porvane-cli", row.args);
        EXPECT_EQ(bad.ReadAllError(), "porvane-cli: " + row.error + " --help)\n");
        EXPECT_EQ(bad.Wait(), 2);
    }
}

// The port as given, and for a link the device it led to.
TEST(TermCommand, APipedTermSaysAtOnceThatThePortVanished) {
    for (const bool through_link : {false, true}) {
        SCOPED_TRACE(through_link ? "a link" : "the device");
        comm::testing::PtyPair port;
        TempDir dir;
        const std::string link = dir.path() + "/port";
        ASSERT_EQ(::symlink(port.slave_path().c_str(), link.c_str()), 0);
        std::string keep_open;
        ChildProcess term("porvane-cli", {"term", through_link ? link : port.slave_path()},
                          &keep_open);
        ASSERT_TRUE(comm::testing::WaitForHolder(port.slave_path(), term.pid()));
        port.CloseMaster();
        EXPECT_EQ(term.Wait(10000), 5);
        EXPECT_EQ(term.ReadAllError(),
                  "串口已断开: " +
                      (through_link ? link + " (" + port.slave_path() + ")" : port.slave_path()) +
                      "\n");
    }
}

// `porvane-cli ... | head`: the reader goes away; the command ends at once, without a word,
// whether it was printing (test, each second) or idle (term with nothing received).
TEST_F(TermCommandTest, AClosedOutputEndsTheCommandQuietly) {
    struct Row {
        const char* name;
        std::vector<std::string> args;
        std::string first_output;  // read before the reader goes away
    } rows[] = {
        {"test", {"test", link_}, "\n2\t"},  // a counted second: the line is synchronised
        {"test before synchronising", {"test", link_}, ""},
        {"term", {"term", link_}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string keep_open;
        ChildProcess command("porvane-cli", row.args, &keep_open);
        ASSERT_TRUE(comm::testing::WaitForHolder(link_, command.pid()));
        if (!row.first_output.empty()) {
            EXPECT_NE(command.ReadOutputUntil(row.first_output).find(row.first_output),
                      std::string::npos);
        }
        command.CloseOutput();
        EXPECT_EQ(command.Wait(10000), 0);
        EXPECT_EQ(command.ReadAllError(), "");
    }
}

// The cause comes first; "串口被占用!!" is kept for a port that is in use.
TEST(TermCommand, OpenFailuresSayWhichPortAndWhy) {
    TempDir dir;
    const std::string file = dir.path() + "/file";
    std::ofstream(file) << "not a port";
    struct Row {
        const char* name;
        std::string port;
        std::string reason;
    } rows[] = {
        {"missing path", "/tmp/nonexist-" + std::to_string(getpid()),
         "/tmp/nonexist-" + std::to_string(getpid()) + ": No such file or directory"},
        {"missing tty name", "ttyNoSuch", "/dev/ttyNoSuch: No such file or directory"},
        {"regular file", file, file + ": not a serial port"},
        {"folder", dir.path(), dir.path() + ": Is a directory"},
        // Port 1 of the loopback interface: nothing listens there.
        {"refused connection", "rfc2217://127.0.0.1:1",
         "rfc2217://127.0.0.1:1: cannot connect to 127.0.0.1 port 1: Connection refused"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ChildProcess term("porvane-cli", {"term", row.port});
        EXPECT_EQ(term.Wait(), 1);
        EXPECT_EQ(term.ReadAllError(), "porvane-cli: " + row.reason + "\n");
    }
    ChildProcess bad("porvane-cli", {"term", "ttyS0", "--parity", "sideways"});
    EXPECT_NE(bad.Wait(), 0);
}

// A port the user may not open names the group that may, as the cause to act on.
TEST(TermCommand, NoPermissionNamesTheGroupThatMayOpenThePort) {
    const group* dialout = ::getgrnam("dialout");
    if (::geteuid() != 0 || dialout == nullptr || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root, a dialout group and setpriv to run term as another user";
    comm::testing::PtyPair port;
    ASSERT_EQ(::chown(port.slave_path().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(port.slave_path().c_str(), 0660), 0);
    ChildProcess term("/usr/bin/setpriv",
                      {"--reuid=65534", "--regid=65534", "--clear-groups",
                       ChildProcess::BinDir() + "/porvane-cli", "term", port.slave_path()});
    EXPECT_EQ(term.Wait(), 1);
    EXPECT_EQ(term.ReadAllError(),
              "porvane-cli: " + port.slave_path() +
                  ": Permission denied; members of group dialout may open it\n");
}

// "./a" names a in the working folder, not /dev/./a.
TEST(TermCommand, ARelativePathIsOpenedFromTheWorkingFolder) {
    comm::testing::PtyPair port;
    TempDir dir;
    ASSERT_EQ(::symlink(port.slave_path().c_str(), (dir.path() + "/a").c_str()), 0);
    std::string input = "ping";
    ChildProcess term("/bin/sh",
                      {"-c", "cd '" + dir.path() + "' && exec '" + ChildProcess::BinDir() +
                                 "/porvane-cli' term ./a"},
                      &input);
    EXPECT_EQ(port.ReadExactly(4, 30000), "ping");
    EXPECT_EQ(term.Wait(), 0);
    EXPECT_EQ(term.ReadAllError(), "");
}

// Piped, term reads for as long as the port talks: the linger is a silence, not a limit.
TEST(TermCommand, APipedTermReadsUntilTheLineFallsSilent) {
    comm::testing::PtyPair port;
    std::string input;  // held open until the session is seen to run
    // A linger well above the pace of the lines, which a loaded machine may stretch.
    ChildProcess term("porvane-cli", {"term", port.slave_path(), "--linger", "5000"}, &input);
    ASSERT_TRUE(term.WriteInput("go"));
    ASSERT_EQ(port.ReadExactly(2), "go");
    term.CloseInput();
    std::string expected;
    std::string shown;
    // A line every 300 ms, each sent once the one before is shown, for longer than 5 s.
    for (int i = 0; i < 25; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        port.WriteAll(line);
        expected += line;
        shown += term.ReadOutputUntil(line, 10000);
        ASSERT_EQ(shown, expected);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(term.ReadAllOutput(), "");
    EXPECT_EQ(term.Wait(), 0);
}

// A pause in arrivals ends the burst's line, though term itself sends nothing.
TEST(TermCommand, APauseInArrivalsEndsTheLine) {
    struct Row {
        const char* option;
        std::string first, second_end;
    } rows[] = {
        {"--hex", "41 41 41 41 \n", "42 42 42 42 \n"},
        {"--time=delta", "+0.000000 AAAA\n", " BBBB\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.option);
        comm::testing::PtyPair port;
        std::string input;
        ChildProcess term("porvane-cli", {"term", port.slave_path(), row.option}, &input);
        ASSERT_TRUE(term.WriteInput("x"));
        ASSERT_EQ(port.ReadExactly(1), "x");
        port.WriteAll("AAAA");
        EXPECT_EQ(term.ReadOutputUntil(row.first, 10000), row.first);
        port.WriteAll("BBBB");
        const std::string second = term.ReadOutputUntil(row.second_end, 10000);
        EXPECT_GE(second.size(), row.second_end.size());
        EXPECT_EQ(second.substr(second.size() - std::min(second.size(), row.second_end.size())),
                  row.second_end);
        term.CloseInput();
        EXPECT_EQ(term.Wait(), 0);
    }
}

// A link that vanishes and is made again is reopened: nothing announces it but the path.
TEST(TermCommand, ReconnectReopensALinkThatComesBack) {
    TempDir dir;
    const std::string a = dir.path() + "/a";
    const std::string b = dir.path() + "/b";
    auto link = [&] {
        auto socat = std::make_unique<ChildProcess>(
            "/usr/bin/socat",
            std::vector<std::string>{"pty,rawer,link=" + a, "pty,rawer,link=" + b});
        EXPECT_TRUE(WaitForPath(a) && WaitForPath(b));
        return socat;
    };
    auto socat = link();
    std::string input;
    ChildProcess term("porvane-cli", {"term", "--reconnect", a}, &input);
    ASSERT_TRUE(comm::testing::WaitForHolder(a, term.pid()));
    socat->Signal(SIGTERM);  // socat removes its links as it ends
    socat->Wait();
    socat = link();
    ASSERT_TRUE(comm::testing::WaitForHolder(a, term.pid()));
    // Bytes that came before term purged the reopened port are gone: sent until one shows.
    std::string shown;
    for (int i = 0; i < 50 && shown.find("ping") == std::string::npos; ++i) {
        std::ofstream(b) << "ping" << std::flush;
        shown += term.ReadOutputUntil("ping", 500);
    }
    EXPECT_NE(shown.find("ping"), std::string::npos);
    term.Signal(SIGTERM);
    EXPECT_EQ(term.Wait(), 0);
    const std::string said = term.ReadAllError();
    EXPECT_NE(said.find("串口已断开: " + a), std::string::npos) << said;
    EXPECT_NE(said.find("the adapter is back: " + a), std::string::npos) << said;
}

// A server that takes another setting than asked: said, and the port not used when the setting
// was asked for on the command line.
TEST(TermCommand, ASettingTheServerDidNotTakeIsSaid) {
    ChildProcess server(PORVANE_PYTHON, {PARITYLESS_SERVER});
    const std::string first = server.ReadOutputUntil("\n", 10000);
    ASSERT_FALSE(first.empty());
    const std::string port = "rfc2217://127.0.0.1:" + first.substr(0, first.find('\n'));
    std::string input = "x";
    ChildProcess asked("porvane-cli", {"term", port, "--parity", "even"}, &input);
    EXPECT_EQ(asked.Wait(), 1);
    EXPECT_EQ(asked.ReadAllError(),
              "porvane-cli: " + port + ": the port took no parity, not even parity\n");
    // As asked: nothing to say.
    std::string ping = "ping";
    ChildProcess plain("porvane-cli", {"term", port, "--parity", "no"}, &ping);
    EXPECT_EQ(plain.Wait(), 0);
    EXPECT_EQ(plain.ReadAllError(), "");
}

// --imap and --omap translate bytes each way, by the rule names picocom gives its maps.
TEST(TermCommand, CharacterMapsTranslateEachWay) {
    comm::testing::PtyPair port;
    std::string input;
    ChildProcess term("porvane-cli",
                      {"term", port.slave_path(), "--omap", "lfcrlf,bsdel", "--imap", "crlf,delbs"},
                      &input);
    ASSERT_TRUE(term.WriteInput("a\nb\b"));
    EXPECT_EQ(port.ReadExactly(5), "a\r\nb\x7f");
    port.WriteAll("x\ry\x7f");
    EXPECT_EQ(term.ReadOutputUntil("y\b"), "x\ny\b");
    term.CloseInput();
    EXPECT_EQ(term.Wait(), 0);
    ChildProcess bad("porvane-cli", {"term", port.slave_path(), "--imap", "crlf,igncr"});
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_EQ(bad.ReadAllError(),
              "porvane-cli: --imap: igncr maps a byte that an earlier rule maps already\n");
}

// The marked log: a stamped line per burst each way, "<" received and ">" sent, escaped.
TEST(TermCommand, AMarkedLogHoldsBothDirections) {
    comm::testing::PtyPair port;
    TempDir dir;
    const std::string log = dir.path() + "/log";
    std::string input;
    ChildProcess term("porvane-cli", {"term", port.slave_path(), "--log", log, "--log-marked"},
                      &input);
    ASSERT_TRUE(term.WriteInput("hi\n"));
    EXPECT_EQ(port.ReadExactly(3), "hi\n");
    port.WriteAll("ok\r\n");
    EXPECT_EQ(term.ReadOutputUntil("ok\r\n"), "ok\r\n");
    term.CloseInput();
    EXPECT_EQ(term.Wait(), 0);
    std::ifstream logged(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(logged, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d\d:\d\d:\d\d\.\d{6} > hi\\n)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d\d:\d\d:\d\d\.\d{6} < ok\\r\\n)")))
        << lines[1];
}

// The port is left as term found it: the settings it had come back at the end.
TEST(TermCommand, ThePortGetsItsSettingsBack) {
    comm::testing::PtyPair port;
    comm::KernelTermios before;
    ASSERT_TRUE(comm::GetKernelTermios(port.slave(), before));
    comm::SetTermiosSpeed(before, 4800);
    ASSERT_TRUE(comm::SetKernelTermios(port.slave(), before));
    ASSERT_TRUE(comm::GetKernelTermios(port.slave(), before));
    ASSERT_EQ(before.ospeed, 4800u);
    std::string input = "x";
    ChildProcess term("porvane-cli", {"term", port.slave_path(), "--baud", "115200"}, &input);
    EXPECT_EQ(port.ReadExactly(1), "x");
    comm::KernelTermios during;
    ASSERT_TRUE(comm::GetKernelTermios(port.slave(), during));
    EXPECT_EQ(during.ospeed, 115200u);
    EXPECT_EQ(term.Wait(), 0);
    comm::KernelTermios after;
    ASSERT_TRUE(comm::GetKernelTermios(port.slave(), after));
    EXPECT_EQ(after.ospeed, 4800u);
    EXPECT_EQ(after.cflag, before.cflag);
    EXPECT_EQ(after.lflag, before.lflag);
}

// --no-dtr and --no-rts hold their line low from the open on; the other stays raised.
TEST(TermSession, NoDtrAndNoRtsHoldTheirLineLow) {
    struct Row {
        const char* name;
        bool no_dtr, no_rts;
        uint32_t control;
    } rows[] = {
        {"neither", false, false, comm::kModemControlDtr | comm::kModemControlRts},
        {"--no-dtr", true, false, comm::kModemControlRts},
        {"--no-rts", false, true, comm::kModemControlDtr},
        {"both", true, true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto port = comm::testing::ScriptedPort::Create();
        int input[2];
        ASSERT_EQ(::pipe(input), 0);
        comm::UniqueFd input_read(input[0]);
        ::close(input[1]);  // nothing to send
        comm::UniqueFd sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        TermOptions options;
        options.port = "ttyS0";
        options.no_dtr = row.no_dtr;
        options.no_rts = row.no_rts;
        TermSession session(options, input_read.get(), sink.get(), sink.get(), -1,
                            [port](const std::string&) { return port->Open(); });
        EXPECT_EQ(session.Run(), 0);
        EXPECT_EQ(port->ModemControl(), row.control);
    }
    // RTS cannot be held low while the flow control drives it.
    std::string error;
    serial::LineSettings s;
    TermOptions both;
    both.port = "ttyS0";
    both.flow = "rts";
    both.no_rts = true;
    EXPECT_FALSE(BuildTermSettings(both, s, error));
}

TEST(TermSettings, OptionsBecomeTheRecord) {
    TermOptions o;
    o.port = "ttyUSB0";
    o.baud = 57600;
    o.data_bits = 7;
    o.parity = "mark";
    o.stop = "1.5";
    serial::LineSettings s;
    std::string error;
    ASSERT_TRUE(BuildTermSettings(o, s, error));
    EXPECT_STREQ(s.PortName, "ttyUSB0");
    EXPECT_EQ(s.dcb.BaudRate, 57600u);
    EXPECT_EQ(s.dcb.ByteSize, 7);
    EXPECT_EQ(s.dcb.Parity, 3);
    EXPECT_EQ(s.dcb.StopBits, 1);
    EXPECT_EQ(s.dcb.fDtrControl, 1u);
    o.stop = "3";
    EXPECT_FALSE(BuildTermSettings(o, s, error));
    EXPECT_FALSE(error.empty());
    o.stop = "1";
    struct Row {
        const char* flow;
        uint32_t cts_out, rts_control, xon_out, xon_in;
    } rows[] = {
        {"none", 0, comm::RTS_CONTROL_ENABLE, 0, 0},
        {"rts", 1, comm::RTS_CONTROL_HANDSHAKE, 0, 0},
        {"xon", 0, comm::RTS_CONTROL_ENABLE, 1, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.flow);
        o.flow = row.flow;
        ASSERT_TRUE(BuildTermSettings(o, s, error));
        EXPECT_EQ(s.dcb.fOutxCtsFlow, row.cts_out);
        EXPECT_EQ(s.dcb.fRtsControl, row.rts_control);
        EXPECT_EQ(s.dcb.fOutX, row.xon_out);
        EXPECT_EQ(s.dcb.fInX, row.xon_in);
    }
    o.flow = "dsr";
    EXPECT_FALSE(BuildTermSettings(o, s, error));
}

class PortsCommandTest : public ::testing::Test {
  protected:
    void UseMap(const std::string& text) {
        map_ = dir_.path() + "/map";
        std::ofstream(map_) << text;
        setenv("PORVANE_DEVICE_MAP", map_.c_str(), 1);
    }
    void TearDown() override { unsetenv("PORVANE_DEVICE_MAP"); }
    TempDir dir_;
    std::string map_;
};

TEST_F(PortsCommandTest, ListsBuiltInPortsThenTheAdapters) {
    UseMap("ttyUSB0=ttyUSB0\nttyS1=/tmp/vport-b\nttyACM0=ttyACM0\nttyS0=ttyS0\n");
    ChildProcess ports("porvane-cli", {"ports"});
    EXPECT_EQ(ports.ReadAllOutput(), "ttyS0\n/tmp/vport-b\nttyUSB0\nttyACM0\n");
    EXPECT_EQ(ports.Wait(), 0);
    ChildProcess map("porvane-cli", {"ports", "--map"});
    EXPECT_EQ(map.ReadAllOutput(),
              "ttyUSB0=ttyUSB0\nttyS1=/tmp/vport-b\nttyACM0=ttyACM0\nttyS0=ttyS0\n");
}

// A port on another machine is named as the lists name it, in --long and --follow alike, and its
// path is the server it is reached at.
TEST_F(PortsCommandTest, RemotePortsAreNamedByTheirMapName) {
    UseMap("lab1=rfc2217://benchpc:7000\n");
    ChildProcess identity("porvane-cli", {"ports", "--long"});
    EXPECT_EQ(identity.ReadAllOutput(),
              "lab1\n  device    lab1\n  path      rfc2217://benchpc:7000\n");
    EXPECT_EQ(identity.Wait(), 0);

    ChildProcess follow("porvane-cli", {"ports", "--follow"});
    EXPECT_EQ(follow.ReadOutputUntil("lab1\n"), "lab1\n");
    const std::string next = map_ + ".next";
    std::ofstream(next) << "lab2=rfc2217://[::1]:7001\n";
    ASSERT_EQ(::rename(next.c_str(), map_.c_str()), 0);
    // Departures are reported before arrivals.
    EXPECT_EQ(follow.ReadOutputUntil("arrived lab2\n"), "departed lab1\narrived lab2\n");
    follow.Signal(SIGINT);
    EXPECT_EQ(follow.Wait(), 0);
}

TEST_F(PortsCommandTest, NoPortPrintsTheMessageAndExitsOne) {
    UseMap("VCP0=VCP0\n");
    ChildProcess ports("porvane-cli", {"ports"});
    EXPECT_EQ(ports.ReadAllOutput(), "");
    EXPECT_EQ(ports.Wait(), 1);
    EXPECT_EQ(ports.ReadAllError(), "在" + map_ + "里找不到串口!!!\n");
}

}  // namespace
}  // namespace porvane::cli
