// brevant-cli as a newcomer meets it: the command file shipped as the example, and the messages
// for a file without commands, an unreadable file and a port that does not open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/testing/ser2net_server.h"

namespace brevant {
namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;

// The shipped example as the README runs it: without answering the reader's announcement each
// row's reply is the handshake alone; answering it brings the reply frames, the card's data.
TEST(BrevantCli, RunsTheShippedExampleFile) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::vector<std::string> rows;
    };
    const Case cases[] = {
        {"as the window sends",
         {},
         {"1\trequest: every card in the field\t20 00 41 01 52 ED 03\t06 20 ",
          "2\tanticollision: the card's serial number\t20 00 42 01 00 BC 03\t06 20 ",
          "3\thalt\t20 00 45 00 BA 03\t06 20 "}},
        {"answering the handshake",
         {"--answer-handshake"},
         {"1\trequest: every card in the field\t20 00 41 01 52 ED 03\t"
          "06 20 00 00 02 04 00 F9 03 ",
          "2\tanticollision: the card's serial number\t20 00 42 01 00 BC 03\t"
          "06 20 00 00 04 3A 7C 91 05 29 03 ",
          "3\thalt\t20 00 45 00 BA 03\t06 20 00 01 00 FE 03 "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string link = dir.path() + "/reader";
        ChildProcess sim("quor-sim", {link});
        ASSERT_TRUE(comm::testing::WaitForPath(link));
        setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        setenv("COM1", link.c_str(), 1);
        // A generous window: the reader simulator answers at once, but a loaded machine may not
        // run it at once.
        std::vector<std::string> args = {
            "run", BREVANT_EXAMPLES_DIR "/commands.ini", "--port", "1", "--wait", "1500"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ChildProcess cli("brevant-cli", args);
        const std::string output = cli.ReadAllOutput(30000);
        EXPECT_EQ(cli.Wait(), 0);
        unsetenv("COM1");
        unsetenv("XDG_CONFIG_HOME");
        std::istringstream lines(output);
        std::vector<std::string> rows;
        for (std::string line; std::getline(lines, line);)
            rows.push_back(line.substr(0, line.rfind('\t')));
        EXPECT_EQ(rows, c.rows);
    }
}

// The reader acknowledges at once and announces its reply 700 ms later: the default window of
// 300 ms ends before the announcement, a window of 3 s takes it in, and its time runs to the
// announcement, as the window's row times a reply in two bursts.
TEST(BrevantCli, EachCommandCollectsItsReplyForTheWait) {
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link, "--delay", "700"});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    setenv("COM1", link.c_str(), 1);
    const std::string file = dir.path() + "/one.ini";
    std::ofstream(file, std::ios::binary) << "/*****************/\r\nrequest\r\n00 41 01 52\r\n";
    auto reply_of = [](const std::string& output) {
        const size_t end = output.rfind('\t');
        const size_t begin = output.rfind('\t', end - 1);
        return output.substr(begin + 1, end - begin - 1);
    };
    ChildProcess wide("brevant-cli", {"run", file, "--port", "1", "--wait", "3000"});
    const std::string wide_output = wide.ReadAllOutput(30000);
    EXPECT_EQ(wide.Wait(), 0);
    ChildProcess narrow("brevant-cli", {"run", file, "--port", "1"});
    const std::string narrow_output = narrow.ReadAllOutput(30000);
    EXPECT_EQ(narrow.Wait(), 0);  // the acknowledgement came in time
    unsetenv("COM1");
    unsetenv("XDG_CONFIG_HOME");
    ASSERT_EQ(std::count(wide_output.begin(), wide_output.end(), '\t'), 4) << wide_output;
    ASSERT_EQ(std::count(narrow_output.begin(), narrow_output.end(), '\t'), 4) << narrow_output;
    EXPECT_EQ(reply_of(wide_output), "06 20 ");
    EXPECT_EQ(reply_of(narrow_output), "06 ");
    EXPECT_GE(std::stol(wide_output.substr(wide_output.rfind('\t') + 1)), 700) << wide_output;
}

// What reached the port's far end: everything before a marker the test writes after the run.
std::string WrittenToPort(comm::testing::PtyPair& pair) {
    const char marker = '\x7e';
    EXPECT_EQ(::write(pair.slave(), &marker, 1), 1);
    std::string seen;
    while (seen.empty() || seen.back() != marker) {
        const std::string byte = pair.ReadExactly(1, 10000);
        if (byte.empty())
            break;
        seen += byte;
    }
    return seen.substr(0, seen.size() - 1);
}

// A peer that floods the port after a command: the reply is cut a few KiB past the largest frame,
// and the run says so, instead of growing the reply and its line without end.
TEST(BrevantCli, AFloodedReplyIsCutAndSaidToBe) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string file = dir.path() + "/one.ini";
    std::ofstream(file, std::ios::binary) << "/*****************/\r\nrequest\r\n00 41 01 52\r\n";
    comm::testing::PtyPair pair;
    ChildProcess cli("brevant-cli", {"run", file, "--port", pair.slave_path(), "--wait", "3000"});
    ASSERT_EQ(pair.ReadExactly(7, 5000), std::string("\x20\x00\x41\x01\x52\xED\x03", 7))
        << cli.ReadAllError();
    pair.WriteAll(std::string(16 * 1024, '\x55'));
    const std::string output = cli.ReadAllOutput();
    const std::string error = cli.ReadAllError();
    EXPECT_EQ(cli.Wait(), 0);
    unsetenv("XDG_CONFIG_HOME");
    std::string kept;
    for (int i = 0; i < 4608; ++i)
        kept += "55 ";
    EXPECT_NE(output.find("\t" + kept + "\t"), std::string::npos) << output.size();
    EXPECT_EQ(error.rfind("brevant-cli: row 1: the reply was cut after 4608 bytes; ", 0), 0u)
        << error;
}

// The far end of a port that, once the first frame has come, talks without a pause: it writes as
// fast as the port takes bytes until stopped, and keeps what the port sent it.
class Flood {
  public:
    explicit Flood(comm::testing::PtyPair& pair)
        : master_(pair.master()), stop_(::eventfd(0, EFD_CLOEXEC)) {
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { Run(); });
    }
    ~Flood() {
        const uint64_t one = 1;
        EXPECT_EQ(::write(stop_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        thread_.join();
        ::close(stop_);
    }
    std::string heard() {
        std::lock_guard lock(mutex_);
        return heard_;
    }

  private:
    void Run() {
        const std::string chunk(4096, '\x55');
        char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{master_, POLLIN | POLLOUT, 0}, {stop_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
                return;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(master_, buffer, sizeof buffer);
                std::lock_guard lock(mutex_);
                heard_.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
            }
            if (fds[0].revents & POLLOUT)
                (void)::write(master_, chunk.data(), chunk.size());
        }
    }
    const int master_;
    const int stop_;
    std::mutex mutex_;  // guards heard_
    std::string heard_;
    std::thread thread_;
};

// A line that never falls quiet after the first command: each row that got bytes is answered,
// the next row's frame still goes out, and the run ends with its windows while the line talks on.
TEST(BrevantCli, ALineThatNeverFallsQuietAnswersEachRowAndEndsTheRun) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string file = dir.path() + "/two.ini";
    std::ofstream(file, std::ios::binary) << "/*****************/\r\nrequest\r\n00 41 01 52\r\n"
                                          << "/*****************/\r\nhalt\r\n00 45 00\r\n";
    comm::testing::PtyPair pair;
    ChildProcess cli("brevant-cli", {"run", file, "--port", pair.slave_path(), "--wait", "1000"});
    ASSERT_EQ(pair.ReadExactly(7, 5000), std::string("\x20\x00\x41\x01\x52\xED\x03", 7))
        << cli.ReadAllError();
    Flood flood(pair);
    const std::string output = cli.ReadAllOutput(30000);
    const int status = cli.Wait(30000);
    const std::string error = cli.ReadAllError();
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(status, 0) << error;
    EXPECT_EQ(error.find("not answered"), std::string::npos) << error;
    std::istringstream lines(output);
    std::vector<std::string> times;
    for (std::string line; std::getline(lines, line);)
        times.push_back(line.substr(line.rfind('\t') + 1));
    ASSERT_EQ(times.size(), 2u) << output.size();
    for (const std::string& time : times)
        EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos) << time;
    EXPECT_NE(flood.heard().find(std::string("\x20\x00\x45\x00\xBA\x03", 6)), std::string::npos);
}

// Each file is refused as a whole before the port opens: the status, the row and the reason, and
// not a byte on the port.
TEST(BrevantCli, RefusesRowsItCannotFrameAndSendsNothing) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string sep = "/*****************/\r\n";
    const std::string good = sep + "request\r\n00 41 01 52\r\n";
    struct Case {
        std::string name, content, error;
    } cases[] = {
        {"folder", "", "cannot read DIR: Is a directory\n"},
        {"fifo", "", "cannot read FILE: not a regular file\n"},
        {"not-hex.ini", good + sep + "bad\r\n00 4G 01\r\n" + sep + "  \r\n",
         "FILE: row 2 \"00 4G 01\": \"G\" at column 5 is not a hex digit\n"},
        {"no-comment.ini", sep + "00 41 01 52\r\n" + sep + "  \r\n",
         "FILE: line 3, row 2: the separator is read as the data of this row: a comment or data "
         "line is missing or one too many before it\nbrevant-cli: FILE: row 2 "
         "\"/*****************/\": 请输入正确规格的数据-Err2 (an odd number of hex digits), "
         "请输入正确规格的数据-Err3 (a character outside 0 to f)\n"},
        {"odd.ini", good + sep + "short\r\n00 41 0\r\n",
         "FILE: row 2 \"00 41 0\": 请输入正确规格的数据-Err1 (fewer than 6 hex digits), "
         "请输入正确规格的数据-Err2 (an odd number of hex digits)\n"},
        {"cut.ini", good + sep + "halt\r\n",
         "FILE: line 5, row 2: the file ends after this row's comment: its data line is "
         "missing\n"},
        {"long.ini", sep + "long\r\n" + std::string(1200, 'a') + "\r\n",
         "FILE: row 1 \"" + std::string(60, 'a') +
             "...\": the frame of 603 bytes does not fit the 512-byte write buffer\n"},
        {"junk.ini", std::string("\x01\xff\x00\x80\n\n\xfe", 7),
         "FILE holds no commands: each command is a separator line /*****************/, a comment "
         "line and a data line (see brevant-cli run --help)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = dir.path() + "/" + c.name;
        if (c.name == "folder") {
            file = dir.path();
        } else if (c.name == "fifo") {
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        } else {
            std::ofstream(file, std::ios::binary) << c.content;
        }
        comm::testing::PtyPair pair;
        ChildProcess cli("brevant-cli", {"run", file, "--port", pair.slave_path()});
        const std::string error = cli.ReadAllError();
        EXPECT_EQ(cli.Wait(), 3);
        std::string expected = "brevant-cli: " + c.error;
        for (const char* name : {"DIR", "FILE"}) {
            for (size_t at; (at = expected.find(name)) != std::string::npos;)
                expected.replace(at, std::string(name).size(), file);
        }
        if (c.error.rfind("FILE:", 0) == 0)
            expected += "brevant-cli: nothing was sent\n";
        EXPECT_EQ(error, expected);
        EXPECT_EQ(WrittenToPort(pair), "");
    }
    unsetenv("XDG_CONFIG_HOME");
}

// A reader on another machine: COMn names its server, and the exchange runs as on a local port.
TEST(BrevantCli, ARemoteReaderAnswersThroughItsComNumber) {
    if (!comm::testing::Ser2netServer::Available())
        GTEST_SKIP() << "ser2net is not installed";
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    comm::testing::Ser2netServer server(link);
    ASSERT_TRUE(server.listening());
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    setenv("COM3", server.port_name().c_str(), 1);
    const std::string file = dir.path() + "/one.ini";
    std::ofstream(file, std::ios::binary) << "/*****************/\r\nrequest\r\n00 41 01 52\r\n";
    ChildProcess run("brevant-cli", {"run", file, "--port", "3", "--wait", "1500"});
    const std::string output = run.ReadAllOutput(30000);
    EXPECT_EQ(run.Wait(), 0);
    unsetenv("COM3");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(output.substr(0, output.rfind('\t')), "1\trequest\t20 00 41 01 52 ED 03\t06 20 ");
}

// --port takes a device path; a COMn that falls back to /dev/ttyS(n-1) says so when it fails.
TEST(BrevantCli, PortIsANumberOrADevicePath) {
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string file = dir.path() + "/one.ini";
    std::ofstream(file, std::ios::binary) << "/*****************/\r\nrequest\r\n00 41 01 52\r\n";
    ChildProcess by_path("brevant-cli", {"run", file, "--port", link, "--wait", "1500"});
    const std::string output = by_path.ReadAllOutput(30000);
    EXPECT_EQ(by_path.Wait(), 0);
    EXPECT_EQ(output.substr(0, output.rfind('\t')), "1\trequest\t20 00 41 01 52 ED 03\t06 20 ");
    unsetenv("COM200");
    ChildProcess fallback("brevant-cli", {"run", file, "--port", "200"});
    EXPECT_EQ(fallback.Wait(), 1);
    EXPECT_EQ(fallback.ReadAllError(),
              "没有发现此串口或被占用 (COM200: /dev/ttyS199: No such file or directory)\n"
              "brevant-cli: COM200 (/dev/ttyS199, as COM200 is not set); set COM200=DEVICE or "
              "give --port DEVICE for another device\n");
    const std::string none = dir.path() + "/none";
    ChildProcess missing("brevant-cli", {"run", file, "--port", none});
    EXPECT_EQ(missing.Wait(), 1);
    EXPECT_EQ(missing.ReadAllError(),
              "没有发现此串口或被占用 (" + none + ": No such file or directory)\n");
    ChildProcess usage("brevant-cli", {"run", file, "--port", "COM"});
    EXPECT_EQ(usage.Wait(), 2);
    ChildProcess no_number("brevant-cli", {"run", file, "--port", "rfc2217://bench"});
    EXPECT_EQ(no_number.Wait(), 2);
    EXPECT_NE(no_number.ReadAllError().find(
                  "rfc2217://bench: the server's port number is missing (rfc2217://HOST:PORT"),
              std::string::npos);
    unsetenv("XDG_CONFIG_HOME");
}

TEST(BrevantCli, RefusesFilesWithoutCommandsAndSaysWhichPortFailed) {
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    const std::string guessed = dir.path() + "/guessed.ini";
    std::ofstream(guessed) << "[commands]\nrequest=00 41 01 52\n";
    ChildProcess empty("brevant-cli", {"run", guessed});
    EXPECT_EQ(empty.Wait(), 3);
    EXPECT_EQ(empty.ReadAllError(),
              "brevant-cli: " + guessed +
                  " holds no commands: each command is a separator line /*****************/, a "
                  "comment line and a data line (see brevant-cli run --help)\n");
    const std::string missing = dir.path() + "/missing.ini";
    ChildProcess unreadable("brevant-cli", {"run", missing});
    EXPECT_EQ(unreadable.Wait(), 3);
    EXPECT_EQ(unreadable.ReadAllError(),
              "brevant-cli: cannot read " + missing + ": No such file or directory\n");
    const std::string port = dir.path() + "/no-reader";
    setenv("COM4", port.c_str(), 1);
    ChildProcess unopened("brevant-cli",
                          {"run", BREVANT_EXAMPLES_DIR "/commands.ini", "--port", "4"});
    EXPECT_EQ(unopened.Wait(), 1);
    EXPECT_EQ(unopened.ReadAllError(),
              "没有发现此串口或被占用 (COM4: " + port + ": No such file or directory)\n");
    unsetenv("COM4");
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace brevant
