// watch on the system-call path, through the real porvane-cli and real programs: a static one,
// one that makes its own system calls, bash's redirection, stdio's fprintf, a program that gives
// up root after its open, and a running python3-serial program followed with --pid.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "driver/attach/tests/attached_program.h"
#include "driver/trace/program_image.h"
#include "driver/trace/syscall_filter.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using sievra::attach::testing::AttachedProgram;
namespace fs = std::filesystem;

// What watch showed of one port: its records in order (without the port's prefix, empty ones
// left out), and the bytes of its writes and reads.
struct PortLog {
    std::vector<std::string> records;
    std::string written;
    std::string read;

    // True when the records hold these, in this order (others may come between).
    bool Shows(const std::vector<std::string>& expected) const {
        size_t at = 0;
        for (const std::string& record : records) {
            if (at < expected.size() && record == expected[at])
                ++at;
        }
        return at == expected.size();
    }
};

std::string HexBytes(const std::string& groups) {
    std::string bytes;
    std::istringstream in(groups);
    for (std::string group; in >> group;)
        bytes += static_cast<char>(std::stoi(group, nullptr, 16));
    return bytes;
}

// The records of port among watch's --hex output lines. The program's own output shares the
// stream, so a record may follow it on a line.
PortLog LogOf(const std::vector<std::string>& lines, const std::string& port) {
    PortLog log;
    const std::string prefix = port + ": ";
    for (const std::string& line : lines) {
        const size_t at = line.find(prefix);
        if (at == std::string::npos || at + prefix.size() == line.size())
            continue;
        const std::string record = line.substr(at + prefix.size());
        // Hex data past 32 bytes goes on indented lines under its record.
        if (record.rfind("  ", 0) == 0 && !log.records.empty()) {
            const std::string& head = log.records.back();
            (head.rfind("写串口 ", 0) == 0 ? log.written : log.read) += HexBytes(record);
            continue;
        }
        log.records.push_back(record);
        const size_t data = record.find("bytes: ");
        if (record.rfind("写串口 ", 0) == 0 && data != std::string::npos)
            log.written += HexBytes(record.substr(data + 7));
        if (record.rfind("读串口 ", 0) == 0 && data != std::string::npos)
            log.read += HexBytes(record.substr(data + 7));
    }
    return log;
}

// Reads watch's output to its end (or, with until, to the first line holding it). The program's
// own output shares the stream: an empty line of it is no end.
std::vector<std::string> ReadLines(AttachedProgram& watch, std::vector<std::string> lines = {},
                                   const std::string& until = {}) {
    for (std::optional<std::string> line; (line = watch.NextLine());) {
        lines.push_back(*line);
        if (!until.empty() && line->find(until) != std::string::npos)
            break;
    }
    return lines;
}

std::string Bin(const std::string& name) {
    return ChildProcess::BinDir() + "/" + name;
}

class WatchTraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        map_ = dir_.path() + "/map";
        std::ofstream(map_) << "ttyS0=" << port_.slave_path() << "\n";
        fs::create_directories(dir_.path() + "/xdg");
        environment_ = {"PORVANE_DEVICE_MAP=" + map_, "XDG_RUNTIME_DIR=" + dir_.path() + "/xdg"};
    }
    std::unique_ptr<AttachedProgram> Watch(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {Bin("porvane-cli"), "watch", "--hex"};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<AttachedProgram>(argv, environment_);
    }
    // A small Go program that drives the port with raw system calls only (statically linked,
    // built here from source with the standard library alone, offline).
    std::string BuildGoProgram();

    TempDir dir_;
    comm::testing::PtyPair port_;
    std::string map_;
    std::vector<std::string> environment_;
};

constexpr const char* kGoProgram = R"(package main

import (
	"os"
	"syscall"
	"unsafe"
)

func ioctl(fd int, request uintptr, arg unsafe.Pointer) syscall.Errno {
	_, _, e := syscall.Syscall(syscall.SYS_IOCTL, uintptr(fd), request, uintptr(arg))
	return e
}

func main() {
	fd, err := syscall.Open(os.Args[1], syscall.O_RDWR|syscall.O_NOCTTY, 0)
	if err != nil {
		os.Exit(2)
	}
	var t syscall.Termios
	if ioctl(fd, syscall.TCGETS, unsafe.Pointer(&t)) != 0 {
		os.Exit(3)
	}
	t.Iflag, t.Oflag, t.Lflag = 0, 0, 0
	t.Cflag = t.Cflag&^0x100f | syscall.B9600 | syscall.CS8 | syscall.CREAD | syscall.CLOCAL
	t.Cc[syscall.VMIN], t.Cc[syscall.VTIME] = 1, 0
	if ioctl(fd, syscall.TCSETS, unsafe.Pointer(&t)) != 0 {
		os.Exit(4)
	}
	if _, err := syscall.Write(fd, []byte("AT\r")); err != nil {
		os.Exit(5)
	}
	reply := make([]byte, 0, 2)
	buf := make([]byte, 2)
	for len(reply) < 2 {
		n, err := syscall.Read(fd, buf[:2-len(reply)])
		if err != nil || n <= 0 {
			os.Exit(6)
		}
		reply = append(reply, buf[:n]...)
	}
	syscall.Close(fd)
	os.Stdout.Write(append([]byte("reply "), append(reply, '\n')...))
}
)";

std::string WatchTraceTest::BuildGoProgram() {
    const std::string go = dir_.path() + "/go";
    fs::create_directories(go);
    std::ofstream(go + "/main.go") << kGoProgram;
    const std::string command = "cd " + go + " && GOCACHE=" + go + "/cache GOPATH=" + go +
                                "/path GOFLAGS=-mod=mod GOPROXY=off CGO_ENABLED=0 go build -o " +
                                go + "/raw_port main.go";
    return std::system(command.c_str()) == 0 ? go + "/raw_port" : std::string();
}

const std::vector<std::string> kSetsLine = {
    "Open Com OK", "设置波特率: 9600 bps",
    "设置线路状态寄存器(LSR): 8 DataBit ,NO Parity, 1 Stopbit", "Close Com OK."};

// Each program writes "AT\r" (or bash's "AT\n"), reads a 2-byte reply where it takes one, and
// closes the port; watch's records give the open, the settings, the exact bytes both ways and
// the close, and the program's own status.
TEST_F(WatchTraceTest, ProgramsTheAttachmentCannotSeeAreWatchedThroughTheirSystemCalls) {
    struct Case {
        std::string name;
        std::vector<std::string> watch_args;  // after "watch --hex"
        std::string written;
        std::string reply;
        bool sets_line;
        std::string said;          // what watch says of its choice
        std::string process = "";  // the end of a process note ("进程 PID (NAME):") expected
    };
    const std::string port = port_.slave_path();
    std::vector<Case> cases = {
        {"bash", {"--trace", "--", "/bin/bash", "-c", "echo AT > " + port}, "AT\n", "", false, ""},
        // A child that writes on the port its parent opened: the host names the process that
        // makes the requests when it changes (the traced one, not the tracer).
        {"fork",
         {"--trace", "--", "/bin/bash", "-c",
          "exec 3<>" + port + "; (printf AT >&3; true); printf OK >&3; exec 3>&-"},
         "ATOK",
         "",
         false,
         "",
         " (bash):"},
        {"fprintf",
         {"--trace", "--", Bin("port_writer"), port, "AT\r", "2"},
         "AT\r",
         "OK",
         true,
         ""},
    };
    // The C library's own writes and reads on the default path: stdio (also what inline putc
    // leaves in the buffer, and standard output flushed at exit) and aio.
    cases.push_back({"bash --preload",
                     {"--preload", "--", "/bin/bash", "-c", "echo AT > " + port},
                     "AT\n",
                     "",
                     false,
                     ""});
    for (const char* mode : {"stdio", "putc", "stdout", "aio"}) {
        const bool replies = std::strcmp(mode, "stdout") != 0;
        cases.push_back(
            {std::string(mode) + " --preload",
             {"--preload", "--", Bin("port_client"), port, "AT\r", replies ? "2" : "0", mode},
             "AT\r",
             replies ? "OK" : "",
             true,
             ""});
    }
    if (fs::exists("/usr/bin/go")) {
        const std::string go = BuildGoProgram();
        ASSERT_FALSE(go.empty()) << "the Go program did not build";
        cases.push_back({"go", {"--", go, port}, "AT\r", "OK", true, ""});
    } else {
        ADD_FAILURE() << "golang-go is not installed (scripts/install-deps.sh)";
    }
    if (::geteuid() == 0) {
        for (const char* path : {"--trace", "--preload"}) {
            cases.push_back({std::string("drop ") + path,
                             {path, "--", Bin("port_writer"), port, "AT\r", "2", "drop", "plain"},
                             "AT\r",
                             "OK",
                             true,
                             ""});
        }
        // Root gives up its user before the open, as a daemon does: nobody may open the port.
        ASSERT_EQ(::chmod(port.c_str(), 0666), 0);
        cases.push_back(
            {"drop before the open",
             {"--preload", "--", Bin("port_client"), port, "AT\r", "2", "plain", "drop"},
             "AT\r",
             "OK",
             true,
             ""});
        // Root gives up its user and then runs the program, which opens the port.
        // The default path follows it whatever folders its new user may enter.
        cases.push_back({"drop then exec",
                         {"--", "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                          "--clear-groups", Bin("port_client"), port, "AT\r", "2", "plain"},
                         "AT\r",
                         "OK",
                         true,
                         ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto watch = Watch(c.watch_args);
        EXPECT_EQ(port_.ReadExactly(c.written.size(), 30000), c.written);
        port_.WriteAll(c.reply);
        const PortLog log = LogOf(ReadLines(*watch), port);
        EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
        EXPECT_EQ(log.written, c.written);
        EXPECT_EQ(log.read, c.reply);
        EXPECT_TRUE(log.Shows(
            c.sets_line ? kSetsLine : std::vector<std::string>{"Open Com OK", "Close Com OK."}))
            << ::testing::PrintToString(log.records);
        if (!c.process.empty()) {
            const bool noted =
                std::any_of(log.records.begin(), log.records.end(), [&](const std::string& record) {
                    return record.rfind("进程 ", 0) == 0 && record.size() >= c.process.size() &&
                           record.compare(record.size() - c.process.size(), std::string::npos,
                                          c.process) == 0;
                });
            EXPECT_TRUE(noted) << ::testing::PrintToString(log.records);
        }
        if (!c.said.empty()) {
            EXPECT_NE(watch->Errors().find(c.said), std::string::npos) << watch->Errors();
        }
    }
}

// A map may name a port as "ttyUSB0" names /dev/ttyUSB0, without its folder: the traced
// program's open of the device is still the port's.
TEST_F(WatchTraceTest, APortNamedWithoutItsFolderIsTracedToo) {
    const std::string name = port_.slave_path().substr(std::string("/dev/").size());
    std::ofstream(map_) << "ttyS0=" << name << "\n";
    auto watch = Watch({"--trace", "--", "/bin/bash", "-c", "echo AT > " + port_.slave_path()});
    EXPECT_EQ(port_.ReadExactly(3, 30000), "AT\n");
    const PortLog log = LogOf(ReadLines(*watch), name);
    EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    EXPECT_EQ(log.written, "AT\n");
    EXPECT_TRUE(log.Shows({"Open Com OK", "Close Com OK."}))
        << ::testing::PrintToString(log.records);
}

// What the attachment cannot see (a stream's reads, made inside the C library) is said at the
// end of the watch, in one line, and where it happened among the port's records.
TEST_F(WatchTraceTest, ReadsInsideTheCLibraryAreSaidNotSilentlyMissed) {
    const std::string port = port_.slave_path();
    auto watch = Watch({"--preload", "--", Bin("port_client"), port, "AT\r", "2", "fread"});
    EXPECT_EQ(port_.ReadExactly(3, 30000), "AT\r");
    port_.WriteAll("OK");
    const PortLog log = LogOf(ReadLines(*watch), port);
    EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    EXPECT_EQ(log.written, "AT\r");
    EXPECT_TRUE(
        log.Shows({"Open Com OK", "C库内部的调用驱动看不到: 1 次请求 (2 bytes)", "Close Com OK."}))
        << ::testing::PrintToString(log.records);
    EXPECT_NE(watch->Errors().find(port + ": 1 calls went through the C library"),
              std::string::npos)
        << watch->Errors();
}

// cu started by root gives up root for its own user before it opens the line, and forks a
// reader: every process stays watched, with the bytes both ways.
TEST_F(WatchTraceTest, CuThatChangesItsUserBeforeItsOpenIsWatched) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "cu changes its user only when root starts it";
    if (!fs::exists("/usr/bin/cu"))
        GTEST_FAIL() << "cu is not installed (scripts/install-deps.sh)";
    const std::string port = port_.slave_path();
    ASSERT_EQ(::chmod(port.c_str(), 0666), 0);
    for (const char* path : {"--trace", "--preload"}) {
        SCOPED_TRACE(path);
        auto watch = Watch({path, "--", "/usr/bin/cu", "-l", port, "-s", "9600"});
        watch->WriteLine("AT");
        EXPECT_EQ(port_.ReadExactly(3, 30000), "AT\n");
        port_.WriteAll("OK");
        std::vector<std::string> lines = ReadLines(*watch, {}, "读串口");
        watch->CloseInput();  // cu hangs up at the end of its input
        lines = ReadLines(*watch, lines);
        EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
        const PortLog log = LogOf(lines, port);
        EXPECT_EQ(log.written, "AT\n");
        EXPECT_EQ(log.read, "OK");
        EXPECT_TRUE(log.Shows({"Open Com OK", "设置波特率: 9600 bps", "Close Com OK."}))
            << ::testing::PrintToString(log.records);
    }
}

// busybox's microcom, statically linked, started by a script (bash forks it): every process of
// the tree is followed, whatever its image.
TEST_F(WatchTraceTest, AStaticTerminalProgramStartedByAScriptIsWatched) {
    if (!fs::exists("/bin/busybox")) {
        GTEST_FAIL() << "busybox-static is not installed (scripts/install-deps.sh)";
    }
    auto watch = Watch(
        {"/bin/bash", "-c", "/bin/busybox microcom -s 9600 " + port_.slave_path() + "; true"});
    watch->WriteLine("AT");
    EXPECT_EQ(port_.ReadExactly(3, 30000), "AT\n");
    port_.WriteAll("OK\r\n");
    const std::vector<std::string> shown = ReadLines(*watch, {}, "OK\r");
    ASSERT_NE(shown.back().find("OK\r"), std::string::npos) << "microcom did not show the reply";
    watch->WriteLine("\x18");  // Ctrl-X ends microcom
    const PortLog log = LogOf(ReadLines(*watch, shown), port_.slave_path());
    EXPECT_EQ(watch->Wait(), 0);
    EXPECT_EQ(log.written, "AT\n");
    EXPECT_EQ(log.read, "OK\r\n");
    EXPECT_TRUE(log.Shows({"Open Com OK", "设置波特率: 9600 bps", "Close Com OK."}))
        << ::testing::PrintToString(log.records);
}

// watch --pid follows a running python3-serial program from the port it already holds, and
// lets go of it on Ctrl-C: the program goes on exactly as before.
TEST_F(WatchTraceTest, PidAttachesToARunningProgramAndLetsGoOfItUnchanged) {
    const std::string program = R"(
import serial, sys
s = serial.Serial(sys.argv[1], 9600, timeout=30)
print('ready', flush=True)
for line in sys.stdin:
    s.write(line.strip().encode())
    print('reply', s.read(2).decode(), flush=True)
)";
    AttachedProgram python({"/usr/bin/python3", "-c", program, port_.slave_path()}, {});
    ASSERT_EQ(python.ReadLine(), "ready") << python.Errors();
    auto watch = Watch({"--pid", std::to_string(python.pid())});
    // Who holds the port, then its open.
    EXPECT_NE(watch->ReadLine().find(port_.slave_path() + ": 进程 " + std::to_string(python.pid())),
              std::string::npos);
    ASSERT_NE(watch->ReadLine().find(port_.slave_path() + ": Open Com OK"), std::string::npos)
        << watch->Errors();
    python.WriteLine("one");
    EXPECT_EQ(port_.ReadExactly(3), "one");
    port_.WriteAll("ab");
    EXPECT_EQ(python.ReadLine(), "reply ab");
    std::string records;
    while (records.find("读串口 2 bytes: 61 62") == std::string::npos) {
        const std::string line = watch->ReadLine();
        ASSERT_FALSE(line.empty()) << records;
        records += line + "\n";
    }
    EXPECT_NE(records.find("写串口 3 bytes: 6f 6e 65"), std::string::npos) << records;
    ::kill(watch->pid(), SIGINT);
    // The program holds its port still: letting go of it is no close.
    for (const std::string& line : ReadLines(*watch))
        EXPECT_EQ(line.find("Close Com"), std::string::npos) << line;
    EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    // Let go: the next exchange goes as before, and nobody records it.
    python.WriteLine("two");
    EXPECT_EQ(port_.ReadExactly(3), "two");
    port_.WriteAll("cd");
    EXPECT_EQ(python.ReadLine(), "reply cd");
    python.CloseInput();
    EXPECT_EQ(python.Wait(), 0) << python.Errors();
    EXPECT_EQ(python.Errors(), "");
}

// The sizes of a program's reads and writes on the port, "W3" or "R2" each, in order, as
// strace sees them without watch (its -y names each descriptor's file).
std::vector<std::string> CallsSeenByStrace(const std::string& log, const std::string& device) {
    std::vector<std::string> calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        for (const char* name : {"read(", "write("}) {
            const size_t at = line.find(name);
            const size_t file = line.find("<" + device + ">", at);
            const size_t result = line.rfind("= ");  // strace pads before it
            if (at == std::string::npos || file == std::string::npos || result == std::string::npos)
                continue;
            const long n = std::strtol(line.c_str() + result + 2, nullptr, 10);
            if (n >= 0)
                calls.push_back((name[0] == 'w' ? "W" : "R") + std::to_string(n));
        }
    }
    return calls;
}

std::vector<std::string> CallsOnRecord(const PortLog& log) {
    std::vector<std::string> calls;
    for (const std::string& record : log.records) {
        for (const auto& [head, mark] : {std::pair{"写串口 ", "W"}, std::pair{"读串口 ", "R"}}) {
            if (record.rfind(head, 0) == 0)
                calls.push_back(mark + std::to_string(std::atoi(record.c_str() + strlen(head))));
        }
    }
    return calls;
}

// With no flag and no device map that lists the port, every process's reads and writes on the
// port are recorded exactly as the program made them: the same number and sizes of calls as
// strace sees without watch (stdio and bash's builtins included).
TEST_F(WatchTraceTest, TheProgramsCallsAreRecordedExactlyAsStraceSeesThem) {
    std::ofstream(map_) << "";  // no port of the map: any terminal device is watched
    const std::string port = port_.slave_path();
    const std::string link = dir_.path() + "/loop";
    ASSERT_EQ(::symlink(port.c_str(), link.c_str()), 0);
    const std::string serial_client = R"(
import serial, sys
s = serial.Serial(sys.argv[1], 115200, timeout=30)
s.write(b'ATI\r')
sys.stderr.write(s.read(2).decode() + '\n')
s.close()
)";
    const struct {
        std::string name;
        std::vector<std::string> command;
        std::string shown_as;  // the port's name in the records
        std::string request;
        std::string reply;
        std::string opener = "";  // the process said to open the port
    } cases[] = {
        {"bash echo", {"/bin/bash", "-c", "echo AT > " + port}, port, "AT\n", "", "(bash):"},
        {"a child of a script",
         {"/bin/bash", "-c", Bin("port_client") + " " + port + " 'AT\r' 2 stdio; true"},
         port,
         "AT\r",
         "OK",
         "(port_client):"},
        {"bash printf", {"/bin/bash", "-c", "printf 'ATI\\r\\n' > " + port}, port, "ATI\r\n", ""},
        {"stdio", {Bin("port_client"), port, "AT\r", "2", "stdio"}, port, "AT\r", "OK"},
        // More bytes in one call than a record holds.
        {"one large write",
         {"/usr/bin/python3", "-c",
          "import os, sys\nfd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
          "os.write(fd, b'z' * 10000)\n",
          port},
         port,
         std::string(10000, 'z'),
         ""},
        {"python3-serial through a link",
         {"/usr/bin/python3", "-c", serial_client, link},
         link,
         "ATI\r",
         "OK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string log = dir_.path() + "/strace.log";
        std::vector<std::string> argv = {
            "/usr/bin/strace", "-f", "-qq", "-y", "-o", log, "-e", "trace=read,write,readv,writev"};
        argv.insert(argv.end(), c.command.begin(), c.command.end());
        AttachedProgram traced(argv, environment_);
        EXPECT_EQ(port_.ReadExactly(c.request.size(), 30000), c.request);
        port_.WriteAll(c.reply);
        ReadLines(traced);
        ASSERT_EQ(traced.Wait(), 0) << traced.Errors();
        const std::vector<std::string> expected = CallsSeenByStrace(log, port);
        ASSERT_FALSE(expected.empty());

        auto watch = Watch(c.command);
        EXPECT_EQ(port_.ReadExactly(c.request.size(), 30000), c.request);
        port_.WriteAll(c.reply);
        const PortLog shown = LogOf(ReadLines(*watch), c.shown_as);
        EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
        EXPECT_EQ(CallsOnRecord(shown), expected) << ::testing::PrintToString(shown.records);
        EXPECT_EQ(shown.written, c.request);
        EXPECT_TRUE(shown.Shows({"Open Com OK", "Close Com OK."}))
            << ::testing::PrintToString(shown.records);
        if (!c.opener.empty()) {
            EXPECT_TRUE(std::any_of(shown.records.begin(), shown.records.end(), [&](auto& r) {
                return r.rfind("进程 ", 0) == 0 && r.find(c.opener) != std::string::npos;
            })) << ::testing::PrintToString(shown.records);
        }
    }
}

// Whether thread tid sleeps in read (neither stopped by its tracer nor running).
bool WaitsInRead(const std::string& tid) {
    std::string stat, call;
    std::getline(std::ifstream("/proc/" + tid + "/stat"), stat);
    std::getline(std::ifstream("/proc/" + tid + "/syscall"), call);
    const size_t state = stat.rfind(')');
    return state != std::string::npos && stat.compare(state, 4, ") S ") == 0 &&
           call.rfind("0 ", 0) == 0;
}

// Runs line_calls (see it) to its end as the far end of its port; returns its results.
std::vector<std::string> DriveLineCalls(AttachedProgram& program, comm::testing::PtyPair& port) {
    std::vector<std::string> results;
    for (std::optional<std::string> line; (line = program.NextLine());) {
        std::istringstream words(*line);
        std::string verb, argument;
        words >> verb >> argument;
        if (verb == "send") {
            port.WriteAll(argument);
            program.WriteLine("ok");
        } else if (verb == "reading") {
            // The third byte only once the read waits for it: a read answered with the two
            // waiting would have returned by then.
            for (int i = 0; i < 30000 && !WaitsInRead(argument); ++i)
                ::usleep(1000);
            port.WriteAll("c");
        } else if (verb == "drain" || verb == "drain-while") {
            const size_t n = std::stoul(argument);
            EXPECT_EQ(port.ReadExactly(n, 30000).size(), n) << *line;
            if (verb == "drain")
                program.WriteLine("ok");
        } else {
            results.push_back(*line);
        }
    }
    return results;
}

// A read or write the tracer makes for the program at the call's entry (it cannot wait) ends
// exactly as the program's own call would: the same results and errors, a read under VMIN
// still waits for all it asks for, a write the line takes in part (without O_NONBLOCK: the
// rest waited for; interrupted by a signal; with it) counts what reached the line; and each
// call is on record as it ended.
TEST_F(WatchTraceTest, CallsMadeForTheProgramEndAsItsOwnWould) {
    const std::string port = port_.slave_path();
    AttachedProgram alone({Bin("line_calls"), port}, environment_);
    const std::vector<std::string> expected = DriveLineCalls(alone, port_);
    EXPECT_EQ(alone.Wait(), 0) << alone.Errors();
    for (const char* line :
         {"seek -1 ESPIPE", "w:bad-buffer -1 EFAULT", "r:bad-buffer -1 EFAULT", "waiting 0",
          "w:read-only -1 EBADF", "r:write-only -1 EBADF", "r:vmin 3 abc", "r:nothing 0",
          "r:nonblocking -1 EAGAIN", "w:full -1 EAGAIN", "nonblocking 0", "w:drained 200000"}) {
        EXPECT_NE(std::find(expected.begin(), expected.end(), line), expected.end())
            << line << "\n"
            << ::testing::PrintToString(expected);
    }

    const std::string records = dir_.path() + "/records";
    auto watch = Watch({"--trace", "-o", records, "--port", port, "--", Bin("line_calls"), port});
    const std::vector<std::string> traced = DriveLineCalls(*watch, port_);
    EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    // How much a full line takes, and in how many writes, depends on the moment: the same
    // calls, partial both ways.
    const auto shape = [](const std::vector<std::string>& lines) {
        std::vector<std::string> shaped;
        for (std::string line : lines) {
            if (const size_t at = line.find(" partial "); at != std::string::npos)
                line.resize(at + 8);
            if (shaped.empty() || shaped.back() != line)
                shaped.push_back(line);
        }
        return shaped;
    };
    EXPECT_EQ(shape(traced), shape(expected));

    // On record: every read and write on the port that returned, with what it returned.
    std::vector<std::string> returned;
    for (const std::string& line : traced) {
        std::istringstream words(line);
        std::string name, count;
        words >> name >> count;
        if (count == "partial")
            words >> count;
        if ((name.rfind("r:", 0) == 0 || name.rfind("w:", 0) == 0) && count != "-1")
            returned.push_back(static_cast<char>(std::toupper(name[0])) + count);
    }
    std::vector<std::string> lines;
    std::ifstream in(records);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    EXPECT_EQ(CallsOnRecord(LogOf(lines, port)), returned) << ::testing::PrintToString(lines);
}

// A port is the device, whatever path opens it: a link the program removes, or names with a
// line break or a trailing blank, hide none of its calls.
TEST_F(WatchTraceTest, APortIsItsDeviceWhateverPathOpensIt) {
    const std::string program = R"(
import os, sys
for name in sys.argv[2:]:
    os.symlink(sys.argv[1], name)
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY)
    os.write(fd, b'a')
    os.close(fd)
    os.unlink(name)
    fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
    os.write(fd, b'b')
    os.close(fd)
)";
    std::ofstream(map_) << "";  // named as the program first opened it
    const std::string port = port_.slave_path();
    auto watch = Watch({"/usr/bin/python3", "-c", program, port, dir_.path() + "/link",
                        dir_.path() + "/line\nbreak", dir_.path() + "/blank "});
    EXPECT_EQ(port_.ReadExactly(6, 30000), "ababab");
    const std::vector<std::string> lines = ReadLines(*watch);
    EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    const PortLog log = LogOf(lines, dir_.path() + "/link");
    EXPECT_EQ(log.written, "ababab") << ::testing::PrintToString(lines);
}

// A program cannot make watch blind or make it lie: path-only opens of a port by the hundred
// do not hide a port opened after them, and records the program sends to the private host
// itself (it runs as the same user and can find its sockets) are not heard.
TEST_F(WatchTraceTest, AProgramCannotHidePortsOrForgeRecords) {
    const std::string program = R"(
import glob, os, socket, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
for i in range(300):
    os.close(os.open(sys.argv[1], os.O_PATH))
for path in glob.glob(os.environ['XDG_RUNTIME_DIR'] + '/porvane-watch-*/SievrApp*'):
    try:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        s.connect(path)
        s.send(struct.pack('<IBIII', 1, 5 | 0x80, 0, 6, 0) + b'forged')
    except OSError:
        pass
os.write(fd, b'real')
os.write(os.open(sys.argv[2], os.O_RDWR | os.O_NOCTTY), b'late')
)";
    std::ofstream(map_) << "";
    comm::testing::PtyPair other;
    auto watch = Watch({"/usr/bin/python3", "-c", program, port_.slave_path(), other.slave_path()});
    EXPECT_EQ(port_.ReadExactly(4, 30000), "real");
    EXPECT_EQ(other.ReadExactly(4, 30000), "late");
    const std::vector<std::string> lines = ReadLines(*watch);
    EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    EXPECT_EQ(LogOf(lines, port_.slave_path()).written, "real") << ::testing::PrintToString(lines);
    EXPECT_EQ(LogOf(lines, other.slave_path()).written, "late") << ::testing::PrintToString(lines);
}

// A python3-serial conversation recorded by watch (as JSON records and as a capture) and replayed
// to the same program on a virtual port pair: each reply goes after the request before it came,
// so the program sees the same replies in the same order, and what it sends is what the record
// says.
TEST_F(WatchTraceTest, ARecordedConversationReplayedGivesTheProgramTheSameReplies) {
    const std::string program = R"(
import serial, sys
s = serial.Serial(sys.argv[1], 9600, timeout=30)
print('ready', flush=True)
sys.stdin.readline()
for request in (b'AT\r', b'ATI\r'):
    s.reset_input_buffer()  # a reply sent before its request would be lost
    s.write(request)
    sys.stdout.write(repr(s.read(4)) + '\n')
    sys.stdout.flush()
)";
    std::ofstream(map_) << "";
    const std::string record = dir_.path() + "/conversation.json";
    const std::string capture = dir_.path() + "/conversation.pcapng";
    {
        auto watch = Watch({"--json", "-o", record, "-w", capture, "--", "/usr/bin/python3", "-c",
                            program, port_.slave_path()});
        EXPECT_EQ(watch->ReadLine(), "ready");
        watch->WriteLine("go");
        EXPECT_EQ(port_.ReadExactly(3, 30000), "AT\r");
        port_.WriteAll("OK\r\n");
        EXPECT_EQ(port_.ReadExactly(4, 30000), "ATI\r");
        port_.WriteAll("V1\r\n");
        EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    }
    for (const std::string& file : {record, capture}) {
        SCOPED_TRACE(file);
        const std::string a = dir_.path() + "/a";
        const std::string b = dir_.path() + "/b";
        comm::testing::ChildProcess pair("vport", {"pair", a, b});
        ASSERT_TRUE(comm::testing::WaitForPath(a) && comm::testing::WaitForPath(b));
        AttachedProgram python({"/usr/bin/python3", "-c", program, a}, environment_);
        ASSERT_EQ(python.ReadLine(), "ready") << python.Errors();
        AttachedProgram replay({Bin("porvane-cli"), "replay", file, b, "--compare", b}, {});
        ASSERT_TRUE(comm::testing::WaitForHolder(b, replay.pid()));
        python.WriteLine("go");
        EXPECT_EQ(python.ReadLine(), "b'OK\\r\\n'");
        EXPECT_EQ(python.ReadLine(), "b'V1\\r\\n'");
        EXPECT_EQ(python.Wait(), 0) << python.Errors();
        EXPECT_EQ(replay.ReadLine(), "replay: 8 bytes sent; 7 bytes came back as recorded");
        EXPECT_EQ(replay.Wait(), 0) << replay.Errors();
        pair.Signal(SIGTERM);
        pair.Wait();
    }
}

// A real Modbus RTU client's frames are decoded under its bytes: its request, and the reply the
// test sends as the server, which the client reads in three pieces.
TEST_F(WatchTraceTest, ModbusFramesOfARealClientAreDecodedUnderTheirBytes) {
    if (::access("/usr/bin/mbpoll", X_OK) != 0)
        GTEST_SKIP() << "mbpoll is not installed (scripts/install-deps.sh)";
    std::ofstream(map_) << "";
    const std::string port = port_.slave_path();
    auto watch = Watch({"--decode", "modbus-rtu", "--", "/usr/bin/mbpoll",
                        "-m",       "rtu",        "-a", "17",
                        "-r",       "108",        "-c", "3",
                        "-t",       "4:hex",      "-b", "9600",
                        "-P",       "none",       "-1", port});
    EXPECT_EQ(port_.ReadExactly(8, 30000), std::string("\x11\x03\x00\x6B\x00\x03\x76\x87", 8));
    port_.WriteAll(std::string("\x11\x03\x06\xAE\x41\x56\x52\x43\x40\x49\xAD", 11));
    std::vector<std::string> frames;
    for (const std::string& line : ReadLines(*watch)) {
        if (const size_t at = line.find(port + ": » "); at != std::string::npos)
            frames.push_back(line.substr(at + port.size() + 2));
    }
    EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    EXPECT_EQ(frames, (std::vector<std::string>{
                          "» W modbus-rtu: slave 17, read holding registers (0x03) 0x006B..0x006D "
                          "(3), CRC ok",
                          "» R modbus-rtu: slave 17, read holding registers (0x03) reply, 3 "
                          "registers: 0xAE41 0x5652 0x4340, CRC ok"}));
}

// On both paths: data is shown whole (a zero byte does not end it), a call the port refused is
// marked with its error and counted, and a change of the terminal settings that the serial
// requests cannot express is said in the words of stty.
TEST_F(WatchTraceTest, RecordsSayWhatEachCallDid) {
    const std::string program = R"(
import fcntl, os, struct, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'A\x00B\x01C')
try:
    fcntl.ioctl(fd, termios.TIOCMBIC, struct.pack('i', termios.TIOCM_RTS))
except OSError as e:
    sys.stdout.write(f'refused {e.errno}\n')  # one write: watch's lines share the stream
    sys.stdout.flush()
a = termios.tcgetattr(fd)
a[0] |= termios.ICRNL
a[1] |= termios.ONLCR | termios.OPOST
a[3] |= termios.ECHO | termios.ICANON
a[6][termios.VMIN], a[6][termios.VTIME] = 1, 0
termios.tcsetattr(fd, termios.TCSANOW, a)
a[0] &= ~termios.ICRNL
a[1] &= ~termios.ONLCR
a[3] &= ~(termios.ECHO | termios.ICANON)
a[6][termios.VMIN], a[6][termios.VTIME] = 0, 5
termios.tcsetattr(fd, termios.TCSANOW, a)
os.close(fd)
)";
    const std::string port = port_.slave_path();
    for (const char* path : {"--trace", "--preload"}) {
        SCOPED_TRACE(path);
        AttachedProgram text(
            {Bin("porvane-cli"), "watch", path, "--", "/usr/bin/python3", "-c", program, port},
            environment_);
        EXPECT_EQ(port_.ReadExactly(5, 30000), std::string("A\0B\1C", 5));
        const std::vector<std::string> lines = ReadLines(text);
        EXPECT_EQ(text.Wait(), 0) << text.Errors();
        const std::string all = ::testing::PrintToString(lines);
        const auto has = [&](const std::string& wanted) {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find(wanted) != std::string::npos;
            });
        };
        EXPECT_TRUE(has("refused 25")) << all;
        EXPECT_TRUE(has(port + ": 写串口 5 bytes: A\\x00B\\x01C")) << all;
        EXPECT_TRUE(has(port + ": 清除 RTS. [failed: ENOTTY, Inappropriate ioctl for device]"))
            << all;
        EXPECT_TRUE(has(port + ": stty: -icrnl -onlcr -icanon -echo min 0 time 5")) << all;
        EXPECT_TRUE(has(" 1 errors")) << all;

        AttachedProgram json({Bin("porvane-cli"), "watch", path, "--json", "--", "/usr/bin/python3",
                              "-c", program, port},
                             environment_);
        EXPECT_EQ(port_.ReadExactly(5, 30000), std::string("A\0B\1C", 5));
        std::string objects;
        for (const std::string& line : ReadLines(json))
            objects += line + "\n";
        EXPECT_EQ(json.Wait(), 0) << json.Errors();
        for (const char* wanted :
             {R"("text":"写串口 5 bytes: A\u0000B\u0001C")",
              R"("ok":false,"error":"ENOTTY","text":"清除 RTS.")", R"("request":"stty")"}) {
            EXPECT_NE(objects.find(wanted), std::string::npos) << wanted << "\n" << objects;
        }
    }
}

// A hostile program reaches the port in ways a tracer can lose track of: every byte the port
// gets is on record, and nothing that never reached it is.
TEST_F(WatchTraceTest, EveryWriteThatReachesThePortIsRecordedAndNoOther) {
    const struct {
        std::string mode;
        std::string written;
    } cases[] = {{"swap", "AB"}, {"pwritev2", "D"}, {"sendfile", "E"},
                 {"uring", "F"}, {"aio", "G"},      {"race", "ABC"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        auto watch = Watch({"--trace", "--", Bin("hostile_tracee"), port_.slave_path(), c.mode});
        EXPECT_EQ(port_.ReadExactly(c.written.size(), 30000), c.written);
        const std::vector<std::string> lines = ReadLines(*watch);
        EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
        EXPECT_EQ(LogOf(lines, port_.slave_path()).written, c.written)
            << ::testing::PrintToString(lines);
    }
}

// A write during which another thread makes its descriptor another port's (dup2) cannot tell
// which file it reached: it is on neither port's record, but counted and said on the first.
TEST_F(WatchTraceTest, AWriteWhoseDescriptorChangesMeanwhileIsNotPutOnAnyPortsRecord) {
    comm::testing::PtyPair other;
    for (const char* path : {"--trace", "--preload"}) {
        SCOPED_TRACE(path);
        auto watch = Watch({path, "--port", port_.slave_path(), "--port", other.slave_path(), "--",
                            Bin("hostile_tracee"), port_.slave_path(), "dup2", other.slave_path()});
        EXPECT_EQ(port_.ReadExactly(3, 30000), "ABC");
        EXPECT_EQ(other.ReadExactly(1, 30000), "Z");
        const std::vector<std::string> lines = ReadLines(*watch);
        EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
        const PortLog first = LogOf(lines, port_.slave_path());
        EXPECT_EQ(first.written, "") << ::testing::PrintToString(lines);
        EXPECT_TRUE(first.Shows({"调用期间描述符被换成别的文件, 没有记录: 1 次请求 (3 bytes)"}))
            << ::testing::PrintToString(lines);
        EXPECT_EQ(LogOf(lines, other.slave_path()).written, "Z") << ::testing::PrintToString(lines);
    }
}

// A reader of the records that stalls while the program writes much more than the host can
// hold loses records, never silently: every byte is either on record or counted in a line
// that says so, before the close, on both paths.
TEST_F(WatchTraceTest, RecordsLostToAStalledReaderAreCountedBeforeTheClose) {
    const std::string program = R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
for i in range(512):
    os.write(fd, b'x' * 4096)
os.close(fd)
)";
    const std::string port = port_.slave_path();
    for (const char* path : {"--trace", "--preload"}) {
        SCOPED_TRACE(path);
        auto watch = Watch({path, "--port", port, "--", "/usr/bin/python3", "-c", program, port});
        // Nothing of watch's output is read until the program has written everything.
        EXPECT_EQ(port_.ReadExactly(512 * 4096, 60000).size(), 512u * 4096);
        uint64_t recorded = 0, counted = 0;
        bool closed_after_count = false;
        for (const std::string& line : ReadLines(*watch)) {
            const size_t data = line.find("写串口 ");
            if (data != std::string::npos)
                recorded += std::strtoull(line.c_str() + data + strlen("写串口 "), nullptr, 10);
            const size_t lost = line.find("次请求 (");
            if (lost != std::string::npos) {
                counted += std::strtoull(line.c_str() + lost + strlen("次请求 ("), nullptr, 10);
                closed_after_count = false;
            }
            if (line.find("Close Com OK.") != std::string::npos)
                closed_after_count = counted > 0;
        }
        EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
        EXPECT_GT(counted, 0u);
        EXPECT_EQ(recorded + counted, 512u * 4096);
        EXPECT_TRUE(closed_after_count);
    }
}

TEST_F(WatchTraceTest, AProgramThatCannotBeFollowedIsSaidClearly) {
    auto both = Watch({"--trace", "--preload", "--", "/bin/true"});
    EXPECT_EQ(both->Wait(), 2);
    auto missing = Watch({"--pid", "999999999"});
    EXPECT_EQ(missing->Wait(), 125);
    EXPECT_NE(missing->Errors().find("no process 999999999"), std::string::npos)
        << missing->Errors();

    // Processes the kernel lets nobody follow, each refused with its own reason: watch itself,
    // one that has ended but is not collected yet, one another tracer follows.
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOWAIT), 0);
    const pid_t followed = ::fork();
    if (followed == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, followed, nullptr, nullptr), 0);
    const struct {
        std::vector<std::string> argv;
        std::string said;
    } cases[] = {
        {{"/bin/sh", "-c", "exec \"$0\" watch --pid $$", Bin("porvane-cli")},
         "is this watch itself"},
        {{Bin("porvane-cli"), "watch", "--pid", std::to_string(ended)}, "has ended"},
        {{Bin("porvane-cli"), "watch", "--pid", std::to_string(followed)},
         "is followed already, by process " + std::to_string(::getpid())},
    };
    for (const auto& c : cases) {
        AttachedProgram refused(c.argv, environment_);
        EXPECT_EQ(refused.Wait(), 125);
        EXPECT_NE(refused.Errors().find(c.said), std::string::npos) << refused.Errors();
    }
    ::kill(followed, SIGKILL);
    EXPECT_EQ(::waitpid(followed, nullptr, 0), followed);
    EXPECT_EQ(::waitpid(ended, nullptr, 0), ended);
}

// A 64-bit program's 32-bit calls on the port (int 0x80): its write and read are recorded as
// any, its vectored write is refused and said to be, never passed unseen.
TEST_F(WatchTraceTest, ThirtyTwoBitCallsOnAPortAreRecordedOrRefused) {
    ChildProcess probe(Bin("hostile_tracee"), {port_.slave_path(), "probe32"});
    if (probe.Wait(30000) != 0)
        GTEST_SKIP() << "this kernel takes no 32-bit system calls from a 64-bit program";
    auto watch = Watch({"--trace", "--", Bin("hostile_tracee"), port_.slave_path(), "int80"});
    EXPECT_EQ(port_.ReadExactly(3, 30000), "HIJ");
    port_.WriteAll("K");
    const std::vector<std::string> lines = ReadLines(*watch);
    EXPECT_EQ(watch->Wait(), 0) << watch->Errors();
    const PortLog log = LogOf(lines, port_.slave_path());
    EXPECT_EQ(log.written, "HIJ") << ::testing::PrintToString(lines);
    EXPECT_EQ(log.read, "K") << ::testing::PrintToString(lines);
    EXPECT_NE(watch->Errors().find("32-bit vectored transfer (readv or writev) on " +
                                   port_.slave_path() + ", which cannot be watched"),
              std::string::npos)
        << watch->Errors();
}

// Which calls the seccomp program stops, run on the kernel's call records by a small
// interpreter of the instructions it uses: this kernel may take no 32-bit calls to try them for
// real.
uint32_t RunFilter(const std::vector<sock_filter>& code, const seccomp_data& call) {
    uint32_t a = 0;
    for (size_t pc = 0; pc < code.size(); ++pc) {
        const sock_filter& i = code[pc];
        if (i.code == (BPF_LD | BPF_W | BPF_ABS) && i.k + 4 <= sizeof call) {
            std::memcpy(&a, reinterpret_cast<const uint8_t*>(&call) + i.k, 4);
        } else if (i.code == (BPF_JMP | BPF_JEQ | BPF_K)) {
            pc += a == i.k ? i.jt : i.jf;
        } else if (i.code == (BPF_JMP | BPF_JGE | BPF_K)) {
            pc += a >= i.k ? i.jt : i.jf;
        } else if (i.code == (BPF_RET | BPF_K)) {
            return i.k;
        } else {
            ADD_FAILURE() << "instruction " << pc << " is not one the interpreter knows";
            return 0;
        }
    }
    ADD_FAILURE() << "the program ran off its end";
    return 0;
}

TEST_F(WatchTraceTest, TheFilterStopsPortCallsOfEveryAbiAndNoOthers) {
    constexpr uint32_t kX32 = 0x40000000;
    const struct {
        uint32_t arch;
        uint32_t nr;
        uint64_t second;
        long native;  // the 64-bit call the tracer takes it for; -1: it does not stop
    } cases[] = {
        {AUDIT_ARCH_X86_64, SYS_write, 0, SYS_write},
        {AUDIT_ARCH_X86_64, SYS_getpid, 0, -1},
        {AUDIT_ARCH_X86_64, SYS_fcntl, F_DUPFD_CLOEXEC, SYS_fcntl},
        {AUDIT_ARCH_X86_64, SYS_fcntl, F_GETFL, -1},
        {AUDIT_ARCH_X86_64, kX32 | 1, 0, SYS_write},
        {AUDIT_ARCH_X86_64, kX32 | 514, 0, SYS_ioctl},
        {AUDIT_ARCH_X86_64, kX32 | 516, 0, SYS_writev},
        {AUDIT_ARCH_X86_64, kX32 | 39, 0, -1},  // getpid
        {AUDIT_ARCH_I386, 3, 0, SYS_read},
        {AUDIT_ARCH_I386, 4, 0, SYS_write},
        {AUDIT_ARCH_I386, 54, 0, SYS_ioctl},
        {AUDIT_ARCH_I386, 146, 0, SYS_writev},
        {AUDIT_ARCH_I386, 221, F_DUPFD, SYS_fcntl},
        {AUDIT_ARCH_I386, 437, 0, SYS_openat2},
        {AUDIT_ARCH_I386, 20, 0, -1},  // getpid
    };
    const std::vector<sock_filter> code = sievra::trace::SyscallFilterProgram();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.arch << " " << c.nr);
        seccomp_data call{};
        call.arch = c.arch;
        call.nr = static_cast<int>(c.nr);
        call.args[1] = c.second;
        EXPECT_EQ(RunFilter(code, call),
                  c.native >= 0 ? SECCOMP_RET_TRACE : uint32_t{SECCOMP_RET_ALLOW});
        bool other_abi = false;
        const long native = sievra::trace::NativeCall(c.arch, c.nr, other_abi);
        if (c.native >= 0) {
            EXPECT_EQ(native, c.native);
        }
        EXPECT_EQ(other_abi, c.arch != AUDIT_ARCH_X86_64 || (c.nr & kX32) != 0);
    }
}

// How watch tells the programs the attachment can enter from the others, by their ELF headers.
TEST_F(WatchTraceTest, ProgramImagesAreToldApartByTheirHeaders) {
    using sievra::trace::ImageKind;
    using sievra::trace::InspectImage;
    const std::string script = dir_.path() + "/script";
    std::ofstream(script) << "#!/bin/sh\n";
    // An ELF header of a 32-bit program (class 1), nothing after it.
    const std::string elf32 = dir_.path() + "/elf32";
    std::ofstream(elf32) << std::string(
                                "\x7f"
                                "ELF\x01\x01\x01",
                                7)
                         << std::string(45, '\0');
    const std::string truncated = dir_.path() + "/truncated";
    std::ofstream(truncated) << std::string(
                                    "\x7f"
                                    "ELF\x02\x01\x01",
                                    7)
                             << std::string(9, '\0');
    const struct {
        std::string path;
        ImageKind kind;
    } cases[] = {
        {"/bin/bash", ImageKind::kDynamic64},
        {"/bin/busybox", ImageKind::kStatic64},
        {script, ImageKind::kNotElf},
        {elf32, ImageKind::kOther},
        {truncated, ImageKind::kOther},
        {dir_.path(), ImageKind::kUnreadable},
        {"/no/such/program", ImageKind::kUnreadable},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InspectImage(c.path), c.kind) << c.path;
}

}  // namespace
}  // namespace porvane::cli
