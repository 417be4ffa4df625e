// monitor, filter, watch and driver through the real porvane-cli and a real driver host, the port
// used by a real program under the attachment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "driver/host/testing/host_ready.h"
#include "driver/trace/call_tracer.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "porvane/monitor/ui/tests/application_under_test.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using monitor::testing::ApplicationUnderTest;
namespace fs = std::filesystem;

// A program whose standard output and error are read line by line as they come.
class LineProcess {
  public:
    LineProcess(const std::string& program, const std::vector<std::string>& args) {
        int out[2], err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            std::vector<char*> argv;
            std::string path = program;
            argv.push_back(path.data());
            std::vector<std::string> copy = args;
            for (std::string& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(path.c_str(), argv.data());
            _exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~LineProcess() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    // Reads until the stream's text holds `text` (true) or the stream ends or time runs out.
    bool WaitFor(bool error_stream, const std::string& text, int timeout_ms = 20000) {
        std::string& seen = error_stream ? err_text_ : out_text_;
        const int fd = error_stream ? err_ : out_;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (seen.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char chunk[4096];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            seen.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }
    // Standard error to its end (after the program ended): what it said, sanitizer reports
    // included.
    const std::string& AllErrors() {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(err_, chunk, sizeof chunk)) > 0)
            err_text_.append(chunk, static_cast<size_t>(n));
        return err_text_;
    }
    int Stop() {
        ::kill(pid_, SIGTERM);
        return Wait();
    }
    // Closes the test's end of standard output, as `| head` does when it has had enough.
    void CloseOutput() {
        ::close(out_);
        out_ = -1;
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_text_; }
    const std::string& err() const { return err_text_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    std::string out_text_;
    std::string err_text_;
};

std::string Cli() {
    return ChildProcess::BinDir() + "/porvane-cli";
}

// The lines of the program's raw 9600 bps tcsetattr (ApplicationUnderTest::SetLine): Python reads
// the settings twice (its tcgetattr, and again inside its tcsetattr), then sets them.
const char* const kSetLineText =
    "查询波特率: 38400 bps\n"
    "查询线路状态寄存器(LSR): 8 DataBit ,NO Parity, 1 Stopbit\n"
    "查询串口字符: End Char 0x04, Error Char 0x00, Break Char 0x00, Event Char 0x00, XON Char "
    "0x11, "
    "XOFF Char 0x13.\n"
    "查询流量控制: Xon Limit 0, Xoff Limit 0\n"
    "查询波特率: 38400 bps\n"
    "查询线路状态寄存器(LSR): 8 DataBit ,NO Parity, 1 Stopbit\n"
    "查询串口字符: End Char 0x04, Error Char 0x00, Break Char 0x00, Event Char 0x00, XON Char "
    "0x11, "
    "XOFF Char 0x13.\n"
    "查询流量控制: Xon Limit 0, Xoff Limit 0\n"
    "设置波特率: 9600 bps\n"
    "设置线路状态寄存器(LSR): 8 DataBit ,NO Parity, 1 Stopbit\n"
    "设置串口字符: End Char 0x04, Error Char 0x00, Break Char 0x00, Event Char 0x00, XON Char "
    "0x11, "
    "XOFF Char 0x13.\n"
    "设置流量控制: Xon Limit 0, Xoff Limit 0\n"
    "设置超时(SetCommTimouts): ReadIntervalTimeouts 0ms, ReadTotalMultiplier 0ms, "
    "ReadTotalConstant 0ms, WriteTotalMultiplier 0ms, WriteTotalConstant 0ms\n";

class DriverHostCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Adapters beside the built-in port, written out of order: the lists hold ttyS0, then
        // ttyUSB0, then ttyUSB1, and the host numbers its ports the same way.
        map_ = dir_.path() + "/map";
        std::ofstream(map_) << "ttyUSB1=" << usb1_port_.slave_path()
                            << "\nttyS0=" << port_.slave_path()
                            << "\nttyUSB0=" << usb0_port_.slave_path() << "\n";
        runtime_ = dir_.path() + "/run";
        setenv("PORVANE_DEVICE_MAP", map_.c_str(), 1);
        setenv("SIEVRA_RUNTIME_DIR", runtime_.c_str(), 1);
        host_ = std::make_unique<ChildProcess>("sievrad",
                                               std::vector<std::string>{"--runtime-dir", runtime_});
        ASSERT_TRUE(sievra::testing::WaitUntilServing(*host_));
    }
    void TearDown() override {
        host_->Signal(SIGTERM);
        EXPECT_EQ(host_->Wait(10000), 0);
        unsetenv("SIEVRA_RUNTIME_DIR");
        unsetenv("PORVANE_DEVICE_MAP");
    }
    TempDir dir_;
    comm::testing::PtyPair port_;
    comm::testing::PtyPair usb0_port_;
    comm::testing::PtyPair usb1_port_;
    std::string map_;
    std::string runtime_;
    std::unique_ptr<ChildProcess> host_;
};

TEST_F(DriverHostCommandTest, AnAdapterBesideABuiltInPortIsListedAndWatched) {
    LineProcess ports(Cli(), {"ports"});
    EXPECT_EQ(ports.Wait(), 0);
    ports.WaitFor(false, usb1_port_.slave_path() + "\n");
    EXPECT_EQ(ports.out(), port_.slave_path() + "\n" + usb0_port_.slave_path() + "\n" +
                               usb1_port_.slave_path() + "\n");
    // Two ports in one monitor: each line names its port.
    LineProcess monitor(Cli(), {"monitor", "ttyUSB0", "ttyS0", "--data-only", "--hex"});
    ASSERT_TRUE(monitor.WaitFor(true, "porvane-cli: monitoring ttyUSB0, ttyS0\n")) << monitor.err();
    ApplicationUnderTest app(runtime_, usb0_port_.slave_path());
    EXPECT_TRUE(app.Open());
    EXPECT_TRUE(app.Write("hi"));
    EXPECT_EQ(usb0_port_.ReadExactly(2), "hi");
    EXPECT_EQ(app.Exit(), 0);
    ASSERT_TRUE(monitor.WaitFor(false, "ttyUSB0: W 68 69 \n")) << monitor.out();
    ApplicationUnderTest other(runtime_, port_.slave_path());
    EXPECT_TRUE(other.Open());
    EXPECT_TRUE(other.Write("ok"));
    EXPECT_EQ(port_.ReadExactly(2), "ok");
    EXPECT_EQ(other.Exit(), 0);
    ASSERT_TRUE(monitor.WaitFor(false, "ttyS0: W 6f 6b \n")) << monitor.out();
    EXPECT_EQ(monitor.Stop(), 0);
}

// monitor -w --print: the capture holds the lines printed, as show prints them (prefixed with
// the port), and the calls until monitor was stopped.
TEST_F(DriverHostCommandTest, MonitorCaptureShowsTheLinesItPrinted) {
    const std::string capture = dir_.path() + "/monitor.pcapng";
    LineProcess monitor(Cli(), {"monitor", "ttyS0", "-w", capture, "--print"});
    ASSERT_TRUE(monitor.WaitFor(true, "porvane-cli: monitoring ttyS0\n")) << monitor.err();
    ApplicationUnderTest app(runtime_, port_.slave_path());
    EXPECT_TRUE(app.Open());
    EXPECT_TRUE(app.SetLine(9600));
    EXPECT_TRUE(app.Write("hi"));
    EXPECT_EQ(port_.ReadExactly(2), "hi");
    EXPECT_TRUE(app.Close());
    ASSERT_TRUE(monitor.WaitFor(false, "Close Com OK.\n")) << monitor.out();
    EXPECT_EQ(monitor.Stop(), 0);
    EXPECT_EQ(app.Exit(), 0);
    std::string expected;
    std::istringstream lines(monitor.out());
    for (std::string line; std::getline(lines, line);)
        expected += "ttyS0: " + line + "\n";
    LineProcess show(Cli(), {"show", capture});
    EXPECT_EQ(show.Wait(), 0);
    ASSERT_TRUE(show.WaitFor(false, "errors\n")) << show.out();
    EXPECT_EQ(show.out().substr(0, expected.size()), expected);
    EXPECT_TRUE(std::regex_match(show.out().substr(expected.size()),
                                 std::regex("ttyS0: summary: [0-9]+ requests, 2 bytes written, 0 "
                                            "bytes read, 0 errors\n")))
        << show.out();
}

TEST_F(DriverHostCommandTest, MonitorPrintsTheDecodedLinesAsTheyArrive) {
    LineProcess monitor(Cli(), {"monitor", "ttyS0"});
    ASSERT_TRUE(monitor.WaitFor(true, "porvane-cli: monitoring ttyS0\n")) << monitor.err();
    ApplicationUnderTest app(runtime_, port_.slave_path());
    EXPECT_TRUE(app.Open());
    EXPECT_TRUE(app.SetLine(9600));
    EXPECT_TRUE(app.Write("hi"));
    EXPECT_EQ(port_.ReadExactly(2), "hi");
    EXPECT_TRUE(app.Close());
    ASSERT_TRUE(monitor.WaitFor(false, "Close Com OK.\n")) << monitor.out();
    // The settings the serial requests cannot express follow them in stty's words.
    EXPECT_EQ(monitor.out(), "Open Com OK\n" + std::string(kSetLineText) +
                                 "stty: -onlcr clocal -echoe -echok -echoctl -echoke\n"
                                 "写串口 2 bytes: hi\n"
                                 "Close Com OK.\n");
    EXPECT_EQ(monitor.Stop(), 0);
    EXPECT_EQ(monitor.AllErrors(), "porvane-cli: monitoring ttyS0\n");
    EXPECT_EQ(app.Exit(), 0);
}

TEST_F(DriverHostCommandTest, MonitorEndsQuietlyWhenItsReaderGoesAwayWhileIdle) {
    LineProcess monitor(Cli(), {"monitor", "ttyS0"});
    ASSERT_TRUE(monitor.WaitFor(true, "monitoring")) << monitor.err();
    monitor.CloseOutput();  // no record has to arrive for the end to be noticed
    EXPECT_EQ(monitor.Wait(), 0);
    EXPECT_EQ(monitor.AllErrors(), "porvane-cli: monitoring ttyS0\n");
}

TEST_F(DriverHostCommandTest, MonitorDataOnlyMarksTheDirectionAndHex) {
    LineProcess monitor(Cli(), {"monitor", "ttyS0", "--data-only", "--hex", "--time=delta"});
    ASSERT_TRUE(monitor.WaitFor(true, "monitoring")) << monitor.err();
    ApplicationUnderTest app(runtime_, port_.slave_path());
    EXPECT_TRUE(app.Open());
    EXPECT_TRUE(app.Write("AB"));
    port_.WriteAll("z");
    EXPECT_EQ(app.Read(1), "z");
    EXPECT_TRUE(app.Write("C"));
    EXPECT_EQ(port_.ReadExactly(3), "ABC");
    EXPECT_EQ(app.Exit(), 0);
    ASSERT_TRUE(monitor.WaitFor(false, "W 43 \n")) << monitor.out();
    // Each line stamped with the seconds since the previous one, the first with +0.000000.
    const std::regex stamped(
        "\\+0\\.000000 W 41 42 \n\\+\\d+\\.\\d{6} R 7a \n\\+\\d+\\.\\d{6} W 43 \n");
    EXPECT_TRUE(std::regex_match(monitor.out(), stamped)) << monitor.out();
    EXPECT_EQ(monitor.Stop(), 0);
}

TEST_F(DriverHostCommandTest, HexDataGoesThirtyTwoBytesALine) {
    struct Row {
        std::vector<std::string> options;
        std::string head;
    } rows[] = {
        {{"--data-only"}, "W "},
        {{}, "写串口 40 bytes: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.head);
        std::vector<std::string> args{"monitor", "ttyS0", "--hex"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        LineProcess monitor(Cli(), args);
        ASSERT_TRUE(monitor.WaitFor(true, "monitoring")) << monitor.err();
        ApplicationUnderTest app(runtime_, port_.slave_path());
        EXPECT_TRUE(app.Open());
        EXPECT_TRUE(app.Write(std::string(40, 'A')));
        EXPECT_EQ(port_.ReadExactly(40), std::string(40, 'A'));
        EXPECT_EQ(app.Exit(), 0);
        std::string groups;
        for (int i = 0; i < 32; ++i)
            groups += "41 ";
        const std::string lines = row.head + groups + "\n  41 41 41 41 41 41 41 41 \n";
        ASSERT_TRUE(monitor.WaitFor(false, lines)) << monitor.out();
        EXPECT_EQ(monitor.Stop(), 0);
    }
}

TEST_F(DriverHostCommandTest, BadPortsAndAHeldDeviceAreSaidClearly) {
    LineProcess unknown(Cli(), {"monitor", "ttyS9"});
    EXPECT_EQ(unknown.Wait(), 1);
    unknown.WaitFor(true, "\n");
    EXPECT_NE(unknown.err().find("ttyS9 is not a serial port"), std::string::npos) << unknown.err();
    // Named by a link to its device (as by its /dev/serial/by-id name), it is the same port.
    const std::string link = dir_.path() + "/by-id-link";
    ASSERT_EQ(::symlink(port_.slave_path().c_str(), link.c_str()), 0);
    LineProcess first(Cli(), {"monitor", link});
    ASSERT_TRUE(first.WaitFor(true, "monitoring")) << first.err();
    LineProcess second(Cli(), {"monitor", "ttyS0"});
    EXPECT_EQ(second.Wait(), 1);
    second.WaitFor(true, "Sievr1");
    EXPECT_NE(second.err().find("不能开始监视,驱动失败!!"), std::string::npos) << second.err();
    EXPECT_EQ(first.Stop(), 0);
}

// The same port named twice, or by its name and a link to its device, is monitored once.
TEST_F(DriverHostCommandTest, APortNamedTwiceIsMonitoredOnce) {
    const std::string link = dir_.path() + "/by-id-link";
    ASSERT_EQ(::symlink(port_.slave_path().c_str(), link.c_str()), 0);
    LineProcess monitor(Cli(), {"monitor", "ttyS0", link, "ttyS0", "--data-only"});
    ASSERT_TRUE(monitor.WaitFor(true, "porvane-cli: monitoring ttyS0\n")) << monitor.err();
    EXPECT_EQ(monitor.err(), "porvane-cli: ttyS0 and " + link +
                                 " name the same port: monitored once\n"
                                 "porvane-cli: ttyS0 and ttyS0 name the same port: monitored once\n"
                                 "porvane-cli: monitoring ttyS0\n");
    ApplicationUnderTest app(runtime_, port_.slave_path());
    EXPECT_TRUE(app.Open());
    EXPECT_TRUE(app.Write("hi"));
    EXPECT_EQ(port_.ReadExactly(2), "hi");
    EXPECT_EQ(app.Exit(), 0);
    ASSERT_TRUE(monitor.WaitFor(false, "W hi\n")) << monitor.out();
    EXPECT_EQ(monitor.Stop(), 0);
}

// A frame whose end only a pause tells is printed once the pause has passed, while the program
// still holds the port and sends nothing more.
TEST_F(DriverHostCommandTest, MonitorPrintsAFrameEndedByAPauseWithoutMoreTraffic) {
    LineProcess monitor(Cli(), {"monitor", "ttyS0", "--data-only", "--decode", "modbus-rtu"});
    ASSERT_TRUE(monitor.WaitFor(true, "porvane-cli: monitoring ttyS0\n")) << monitor.err();
    ApplicationUnderTest app(runtime_, port_.slave_path());
    EXPECT_TRUE(app.Open());
    EXPECT_TRUE(app.Write(std::string("\x05\x41\x01\x90\x51", 5)));  // unknown length
    EXPECT_EQ(port_.ReadExactly(5).size(), 5u);
    EXPECT_TRUE(
        monitor.WaitFor(false, "» W modbus-rtu: slave 5, unknown function 0x41, data 01, CRC ok\n"))
        << monitor.out();
    EXPECT_EQ(app.Exit(), 0);
    EXPECT_EQ(monitor.Stop(), 0);
}

TEST_F(DriverHostCommandTest, FilterOnAPortNobodyHasOpen) {
    LineProcess filter(
        Cli(), {"filter", "ttyS0", "--action", "replace", "--byte", "55", "--send-count", "3"});
    EXPECT_EQ(filter.Wait(), 1);
    filter.WaitFor(true, "\n");
    EXPECT_EQ(filter.err(), "要过滤的串口没有打开,请先打开\n");
    LineProcess bad(Cli(), {"filter", "ttyS0", "--send-count", "3", "--recv-count", "4"});
    EXPECT_EQ(bad.Wait(), 2);
    LineProcess bad_force(Cli(), {"filter", "ttyS0", "--send-count", "3", "--force", "9600,9"});
    EXPECT_EQ(bad_force.Wait(), 2);
    bad_force.WaitFor(true, "\n");
    EXPECT_NE(bad_force.err().find("BAUD,DATA,PARITY,STOP"), std::string::npos);
}

TEST_F(DriverHostCommandTest, FilterChangesExactlyTheChosenByte) {
    ApplicationUnderTest app(runtime_, port_.slave_path());
    ASSERT_TRUE(app.Open());
    ASSERT_TRUE(app.SetLine(9600));
    ASSERT_TRUE(monitor::testing::WaitUntilTheHostSees(runtime_, 0, true));
    LineProcess filter(
        Cli(), {"filter", "ttyS0", "--action", "replace", "--byte", "55", "--send-count", "3"});
    ASSERT_TRUE(filter.WaitFor(true, "filtering ttyS0")) << filter.err();
    EXPECT_TRUE(app.Write("ABCDE"));
    EXPECT_EQ(port_.ReadExactly(5),
              "AB\x55"
              "DE");
    ASSERT_TRUE(filter.WaitFor(false, "\n"));
    EXPECT_EQ(filter.out().rfind("发送字节替换\t", 0), 0u) << filter.out();
    EXPECT_NE(filter.out().find("\t0x43 --> 0x55\n"), std::string::npos) << filter.out();
    // Once only: the next bytes pass unchanged.
    EXPECT_TRUE(app.Write("FGH"));
    EXPECT_EQ(port_.ReadExactly(3), "FGH");
    EXPECT_EQ(filter.Stop(), 0);
    EXPECT_EQ(app.Exit(), 0);
}

// The same rules act on a program followed by its system calls: on the bytes it writes before
// the kernel sends them, and on the bytes it read before it sees them.
TEST_F(DriverHostCommandTest, FilterChangesExactlyTheChosenByteOfATracedProgram) {
    struct Case {
        const char* action;
        const char* rule;
        std::string reaching_the_port;
        std::string program_reads;
        const char* how = "";  // port_writer's way of writing: stdio, or "plain" write()
        const char* count = "2";
        std::string go = "g";  // what the test sends as its go-ahead
    };
    // A deleted byte leaves the program's write whole all the same: its stdio sees every byte
    // written (else fclose would fail and the program end with status 10). A plain write comes
    // from the program's read-only constants, which must be as they were after it (else 11).
    const Case cases[] = {{"delete", "--send-count", "ACDE", "xy"},
                          {"flip", "--send-count", "ACCDE", "xy", "plain"},
                          // Bytes in a file's shared mapping are the file's: a write from there
                          // goes unchanged (and is counted as unfiltered), never changing it.
                          {"flip", "--send-count", "ABCDE", "xy", "shared"},
                          {"delete", "--send-count", "ACDE", "xy", "vector"},
                          {"flip", "--recv-count", "ABCDE", "yy"},
                          // The go-ahead's read loses its only byte: it waits for the next one
                          // instead of returning nothing (which would mean a hang-up).
                          {"delete", "--recv-count", "ABCDE", "xy", "", "1", "gh"}};
    struct stat st;
    ASSERT_EQ(::stat(port_.slave_path().c_str(), &st), 0);
    sievra::trace::TraceSettings settings;
    settings.runtime_dir = runtime_;
    settings.ports = {{1, st.st_rdev, port_.slave_path()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + c.rule);
        // The program reads one byte first (the test's go-ahead), writes ABCDE, reads two bytes
        // and prints them to a file.
        const std::string reply = dir_.path() + "/reply";
        const std::string script = ChildProcess::BinDir() + "/port_writer " + port_.slave_path() +
                                   " ABCDE 2 await " + c.how + " > " + reply;
        int status = -1;
        std::string error;
        std::thread traced([&] {
            sievra::trace::CallTracer tracer(settings);
            status = tracer.Run("/bin/sh", {"sh", "-c", script}, {}, -1, error);
        });
        ASSERT_TRUE(monitor::testing::WaitUntilTheHostSees(runtime_, 0, true));
        LineProcess filter(
            Cli(), {"filter", "ttyS0", "--action", c.action, "--byte", "01", c.rule, c.count});
        // The go-ahead is the first byte received: the rule counts from it.
        ASSERT_TRUE(filter.WaitFor(true, "filtering ttyS0")) << filter.err();
        port_.WriteAll(c.go);
        EXPECT_EQ(port_.ReadExactly(c.reaching_the_port.size()), c.reaching_the_port);
        port_.WriteAll("xy");
        traced.join();
        EXPECT_EQ(status, 0) << error;
        std::string shown;
        std::getline(std::ifstream(reply), shown);
        EXPECT_EQ(filter.Stop(), 0);
        EXPECT_EQ(shown, "reply " + c.program_reads) << filter.out() << filter.AllErrors();
    }
}

// status has its own exit status for "not installed", apart from a port that did not open; remove
// disables the unit install enabled, and a second install enables it again.
TEST(DriverCommand, StatusInstallRemoveUnderARoot) {
    TempDir root;
    const std::string wants =
        root.path() + "/etc/systemd/system/multi-user.target.wants/sievra.service";
    LineProcess status(Cli(), {"driver", "status", "--root", root.path()});
    EXPECT_EQ(status.Wait(), 7);
    status.WaitFor(false, "\n");
    EXPECT_EQ(status.out(), "监视过滤驱动程序没有安装!!!\n");
    LineProcess install(Cli(), {"driver", "install", "--root", root.path()});
    EXPECT_EQ(install.Wait(), 0);
    install.WaitFor(false, "\n");
    EXPECT_EQ(install.out(), "监视/过滤驱动程序已经安装,请重新启动计算机!!!\n");
    EXPECT_TRUE(fs::exists(root.path() + "/usr/local/lib/sievra/libsievra.so"));
    // The root holds no driver host where the unit would start it.
    EXPECT_NE(install.AllErrors().find("which is not installed"), std::string::npos)
        << install.AllErrors();
    std::string host;
    {
        std::ifstream unit(root.path() + "/etc/systemd/system/sievra.service");
        for (std::string line; std::getline(unit, line);) {
            if (line.rfind("ExecStart=", 0) == 0)
                host = line.substr(10, line.find(' ') - 10);
        }
    }
    ASSERT_FALSE(host.empty());
    LineProcess installed(Cli(), {"driver", "status", "--root", root.path()});
    EXPECT_EQ(installed.Wait(), 0);
    EXPECT_TRUE(fs::is_symlink(wants));
    LineProcess remove(Cli(), {"driver", "remove", "--root", root.path()});
    EXPECT_EQ(remove.Wait(), 0);
    EXPECT_FALSE(fs::exists(root.path() + "/etc/ld.so.preload"));
    EXPECT_FALSE(fs::is_symlink(wants));
    EXPECT_EQ(remove.AllErrors(), "");

    // With the host where the unit starts it, nothing is said.
    fs::create_directories(fs::path(root.path() + host).parent_path());
    std::ofstream(root.path() + host) << "#!/bin/sh\n";
    LineProcess again(Cli(), {"driver", "install", "--root", root.path()});
    EXPECT_EQ(again.Wait(), 0);
    EXPECT_EQ(again.AllErrors(), "");
    EXPECT_TRUE(fs::is_symlink(wants));

    // A link the administrator put in its place stays, and remove says so.
    fs::remove(wants);
    fs::create_symlink("/lib/systemd/system/sievra.service", wants);
    LineProcess kept(Cli(), {"driver", "remove", "--root", root.path()});
    EXPECT_EQ(kept.Wait(), 0);
    EXPECT_NE(kept.AllErrors().find("the driver host stays enabled: " + wants), std::string::npos)
        << kept.AllErrors();
    EXPECT_TRUE(fs::is_symlink(wants));
    LineProcess reinstalled(Cli(), {"driver", "install", "--root", root.path()});
    EXPECT_EQ(reinstalled.Wait(), 0);

    // A removal that cannot take the preload line out says so, and keeps the library the line
    // names (a folder in the file's place holds for root too).
    fs::rename(root.path() + "/etc", root.path() + "/etc.kept");
    fs::create_directories(root.path() + "/etc/ld.so.preload/in-the-way");
    LineProcess refused(Cli(), {"driver", "remove", "--root", root.path()});
    EXPECT_EQ(refused.Wait(), 8);
    EXPECT_NE(refused.AllErrors().find("not removed"), std::string::npos) << refused.AllErrors();
    EXPECT_TRUE(fs::exists(root.path() + "/usr/local/lib/sievra/libsievra.so"));
}

// An installation whose preload line cannot be written (here: files may not grow past a limit
// the library fits under and the new preload file does not, which fails the write as a full
// disk does, for root too) says it failed and nothing else, and leaves the filter uninstalled.
TEST(DriverCommand, AnInstallationThatCannotWriteThePreloadLineOnlySaysItFailed) {
    TempDir root;
    const std::string preload = root.path() + "/etc/ld.so.preload";
    const std::string before = "/usr/lib/other/libother.so\n# " + std::string(8 << 20, '-') + "\n";
    fs::create_directories(root.path() + "/etc");
    std::ofstream(preload) << before;
    // ulimit -f counts 512-byte blocks: 4 MiB. An ignored signal stays ignored in the program.
    LineProcess install("/bin/sh", {"-c", "ulimit -f 8192 && trap '' XFSZ && exec \"$0\" \"$@\"",
                                    Cli(), "driver", "install", "--root", root.path()});
    EXPECT_EQ(install.Wait(), 8);
    EXPECT_FALSE(install.WaitFor(false, "\n"));  // the output ends with nothing on it
    EXPECT_EQ(install.out(), "");
    EXPECT_EQ(install.AllErrors().rfind("创建驱动文件失败!!\nCan't create " + preload + ": ", 0),
              0u)
        << install.err();
    EXPECT_NE(install.err().find(std::strerror(EFBIG)), std::string::npos) << install.err();
    LineProcess status(Cli(), {"driver", "status", "--root", root.path()});
    EXPECT_EQ(status.Wait(), 7);
    status.WaitFor(false, "\n");
    EXPECT_EQ(status.out(), "监视过滤驱动程序没有安装!!!\n");
    EXPECT_FALSE(fs::exists(root.path() + "/usr/local/lib/sievra/libsievra.so"));
    EXPECT_FALSE(fs::exists(root.path() + "/etc/systemd/system/sievra.service"));
    std::ifstream in(preload);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == before);
}

// How the ping program lets go of its port.
enum class PortEnd { kClosed, kLeftToExit, kLeftToUnderscoreExit };

// watch, from a copy of porvane-cli and sievrad in a folder of its own, so the test chooses
// what lies in ../lib.
class WatchCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_.path() + "/bin");
        fs::copy_file(Cli(), dir_.path() + "/bin/porvane-cli");
        fs::copy_file(ChildProcess::BinDir() + "/sievrad", dir_.path() + "/bin/sievrad");
        // A USB port written first: the host numbers ttyS0 first all the same, and watch must
        // name each port by the host's numbers.
        map_ = dir_.path() + "/map";
        std::ofstream(map_) << "ttyUSB0=" << usb_port_.slave_path()
                            << "\nttyS0=" << port_.slave_path() << "\n";
        setenv("PORVANE_DEVICE_MAP", map_.c_str(), 1);
        fs::create_directories(dir_.path() + "/xdg");
        setenv("XDG_RUNTIME_DIR", (dir_.path() + "/xdg").c_str(), 1);
        // The attachment lets a call pass unrecorded when the host answers after 20 ms; a loaded
        // test machine must not turn that into missing lines.
        setenv("SIEVRA_REPLY_MS", "10000", 1);
    }
    void TearDown() override {
        unsetenv("PORVANE_DEVICE_MAP");
        unsetenv("XDG_RUNTIME_DIR");
        unsetenv("SIEVRA_REPLY_MS");
    }
    void PutAttachment() {
        fs::create_directories(dir_.path() + "/lib");
        fs::copy_file(ChildProcess::BinDir() + "/../lib/libsievra.so",
                      dir_.path() + "/lib/libsievra.so");
    }
    std::string Watch() const { return dir_.path() + "/bin/porvane-cli"; }
    // What watch says on standard error at the start: the ports of the map, in the host's order.
    std::string WatchingLine() const {
        return "porvane-cli: watching " + port_.slave_path() + ", " + usb_port_.slave_path() +
               " (the device map in " + map_ + ")\n";
    }
    void ExpectThePingLines(PortEnd end);
    TempDir dir_;
    comm::testing::PtyPair port_;
    comm::testing::PtyPair usb_port_;
    std::string map_;
};

TEST_F(WatchCommandTest, AMissingAttachmentIsSaidClearly) {
    LineProcess watch(Watch(), {"watch", "--preload", "--", "/bin/true"});
    EXPECT_EQ(watch.Wait(), 125);
    watch.WaitFor(true, "\n");
    EXPECT_EQ(watch.err(), "porvane-cli: the attachment " + dir_.path() +
                               "/lib/porvane/libsievra.so is missing (build the sievra target)\n");
}

// On either path the program is sent SIGTERM when watch's reader goes away (| head), and its
// status passes through; a running program that watch follows is let go of instead, unharmed.
TEST_F(WatchCommandTest, AClosedOutputEndsTheProgramAndTheWatch) {
    PutAttachment();
    for (const char* path : {"--preload", "--trace"}) {
        SCOPED_TRACE(path);
        LineProcess watch(Watch(),
                          {"watch", path, "--", "/bin/sh", "-c", "echo started; exec sleep 600"});
        ASSERT_TRUE(watch.WaitFor(false, "started\n")) << watch.err();
        watch.CloseOutput();
        EXPECT_EQ(watch.Wait(), 128 + SIGTERM);
        // Only the start line: nothing is said at the end.
        EXPECT_EQ(watch.AllErrors().find('\n'), watch.AllErrors().size() - 1) << watch.AllErrors();
        EXPECT_EQ(watch.AllErrors().rfind("porvane-cli: watching ", 0), 0u) << watch.AllErrors();
    }
    LineProcess running("/bin/sh", {"-c", "echo started; exec sleep 600"});
    ASSERT_TRUE(running.WaitFor(false, "started\n"));
    LineProcess attached(Watch(), {"watch", "--pid", std::to_string(running.pid())});
    ASSERT_TRUE(attached.WaitFor(true, "porvane-cli: watching ")) << attached.err();
    attached.CloseOutput();
    EXPECT_EQ(attached.Wait(), 0) << attached.AllErrors();
    EXPECT_EQ(::kill(running.pid(), 0), 0);  // still there, and still ends by its signal
    EXPECT_EQ(running.Stop(), 128 + SIGTERM);
}

TEST_F(WatchCommandTest, PrivateHostLivesAsLongAsTheProgramAndItsStatusPassesThrough) {
    PutAttachment();
    LineProcess watch(Watch(), {"watch", "--preload", "--", "/bin/sh", "-c",
                                "echo preload=$LD_PRELOAD; test -S \"$SIEVRA_RUNTIME_DIR/Sievr1\" "
                                "&& echo host-ready; exit 7"});
    EXPECT_EQ(watch.Wait(), 7);
    watch.WaitFor(false, "host-ready\n");
    EXPECT_EQ(watch.out(), "preload=" + dir_.path() + "/lib/libsievra.so\nhost-ready\n");
    // The private runtime folder went with the host.
    EXPECT_TRUE(fs::is_empty(dir_.path() + "/xdg"));
    LineProcess killed(Watch(), {"watch", "--", "/bin/sh", "-c", "kill -9 $$"});
    EXPECT_EQ(killed.Wait(), 128 + 9);
    LineProcess missing(Watch(), {"watch", "--", "/no/such/program"});
    EXPECT_EQ(missing.Wait(), 125);
}

// Root that gives up its user and then runs a program cannot hand the attachment on to it when
// the new user may not read the attachment's folder: the host says which process and user,
// rather than the watch ending in silence.
TEST_F(WatchCommandTest, AProgramWhoseUserCannotReadTheAttachmentIsSaid) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv";
    PutAttachment();
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0700), 0);
    LineProcess watch(Watch(), {"watch", "--preload", "--", "/usr/bin/setpriv", "--reuid=65534",
                                "--regid=65534", "--clear-groups", "/bin/true"});
    EXPECT_EQ(watch.Wait(), 0);
    EXPECT_TRUE(std::regex_search(
        watch.AllErrors(),
        std::regex("sievrad: process \\d+ \\(setpriv\\) runs its next program as user "
                   "nobody \\(65534\\), who cannot read the attachment")))
        << watch.AllErrors();
}

// A real program under the attachment: its calls on the port from open to close, prefixed with
// the port, and its exit status.
// A python program that opens the port, sets its line, writes "ping" and ends with status 3,
// closing the port first, leaving it to its exit, or ending at once with os._exit (no exit
// handlers run, so only the kernel closes the port).
std::string PingScript(PortEnd end) {
    return std::string(R"(
import os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
a = termios.tcgetattr(fd)
a[4] = a[5] = termios.B9600
termios.tcsetattr(fd, termios.TCSANOW, a)
os.write(fd, b'ping')
)") + (end == PortEnd::kClosed ? "os.close(fd)\n" : "") +
           (end == PortEnd::kLeftToUnderscoreExit ? "os._exit(3)\n" : "sys.exit(3)\n");
}

// Watches PingScript(end) and checks every line of its port, prefixed with the port: its open,
// its tcgetattr and tcsetattr (the same lines as SetLine's), its write and close.
void WatchCommandTest::ExpectThePingLines(PortEnd end) {
    PutAttachment();
    LineProcess watch(Watch(), {"watch", "--preload", "--", "/usr/bin/python3", "-c",
                                PingScript(end), port_.slave_path()});
    EXPECT_EQ(port_.ReadExactly(4), "ping");
    EXPECT_EQ(watch.Wait(), 3);
    watch.WaitFor(false, "errors\n");
    EXPECT_EQ(watch.AllErrors(), WatchingLine());
    const std::string lines = "进程 N (python3):\nOpen Com OK\n" + std::string(kSetLineText) +
                              "写串口 4 bytes: ping\nClose Com OK.\n";
    std::string expected;
    for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
        expected += port_.slave_path() + ": " + lines.substr(at, end - at) + "\n";
    // The open, the 12 queries and settings of tcgetattr and tcsetattr, the timeouts, the write
    // and the close.
    expected +=
        port_.slave_path() + ": summary: 16 requests, 4 bytes written, 0 bytes read, 0 errors\n";
    EXPECT_EQ(std::regex_replace(watch.out(), std::regex("进程 \\d+ "), "进程 N "), expected)
        << watch.err();
}

TEST_F(WatchCommandTest, LinesOfThePortsTheProgramUsesArePrefixedWithThePort) {
    ExpectThePingLines(PortEnd::kClosed);
}

TEST_F(WatchCommandTest, APortLeftOpenAtTheProgramsExitIsClosedOnRecordBeforeWatchEnds) {
    ExpectThePingLines(PortEnd::kLeftToExit);
}

TEST_F(WatchCommandTest, APortOnlyTheKernelClosesIsClosedOnRecordBeforeWatchEnds) {
    ExpectThePingLines(PortEnd::kLeftToUnderscoreExit);
}

// A program started by vfork and exec (as subprocess starts them) that writes on its own open of
// the port comes after what its parent wrote before, on either path alike.
TEST_F(WatchCommandTest, AProgramStartedByVforkComesAfterItsParentsRecords) {
    PutAttachment();
    const char* const program = R"(
import os, sys, subprocess
assert subprocess._USE_VFORK
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
for _ in range(10):
    os.write(fd, b'P')
    subprocess.run(['/bin/sh', '-c', 'printf C > "$0"', sys.argv[1]], check=True)
os.close(fd)
)";
    for (const char* path : {"--preload", "--trace"}) {
        SCOPED_TRACE(path);
        LineProcess watch(
            Watch(), {"watch", path, "--", "/usr/bin/python3", "-c", program, port_.slave_path()});
        EXPECT_EQ(watch.Wait(), 0);
        ASSERT_TRUE(watch.WaitFor(false, "summary:")) << watch.out();
        const std::string& out = watch.out();
        std::string order;
        const std::string kWrite = "写串口 1 bytes: ";
        for (size_t at = out.find(kWrite); at != std::string::npos; at = out.find(kWrite, at + 1))
            order += out[at + kWrite.size()];
        EXPECT_EQ(order, "PCPCPCPCPCPCPCPCPCPC") << out;
    }
}

// A child that writes on its parent's port and ends at once (_exit) is named on its process
// note, and its records come before the parent's later ones, on either path alike.
TEST_F(WatchCommandTest, AChildThatEndsAtOnceIsNamedAndInOrder) {
    PutAttachment();
    const char* const program = R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'O')
child = os.fork()
if child == 0:
    os.write(fd, b'C')
    os._exit(0)
os.waitpid(child, 0)
os.write(fd, b'P')
os.close(fd)
)";
    const std::string note = "进程 (python3):";
    const std::vector<std::string> expected = {
        "Open Com OK", "写串口 1 bytes: O", note,           "写串口 1 bytes: C",
        note,          "写串口 1 bytes: P", "Close Com OK."};
    for (const char* path : {"--preload", "--trace"}) {
        SCOPED_TRACE(path);
        LineProcess watch(
            Watch(), {"watch", path, "--", "/usr/bin/python3", "-c", program, port_.slave_path()});
        EXPECT_EQ(watch.Wait(), 0);
        ASSERT_TRUE(watch.WaitFor(false, "summary:")) << watch.out();
        std::vector<std::string> records;
        std::istringstream lines(watch.out());
        const std::string prefix = port_.slave_path() + ": ";
        const std::string name = " (python3):";
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(prefix, 0) != 0 || line.find("summary:") != std::string::npos)
                continue;
            std::string record = line.substr(prefix.size());
            // The process ids vary; the name must be there.
            if (record.rfind("进程 ", 0) == 0 && record.size() > name.size() &&
                record.compare(record.size() - name.size(), name.size(), name) == 0) {
                record = note;
            }
            records.push_back(record);
        }
        // The opener is named before its open too: a child that opens a port of its own is
        // not taken for the program.
        std::vector<std::string> wanted = expected;
        wanted.insert(wanted.begin(), note);
        EXPECT_EQ(records, wanted) << watch.out();
    }
}

// Ctrl-C typed on the terminal watch runs on reaches the program as the SIGINT it is, the host
// (out of the terminal's reach) records the program's clean-up to its close, and watch ends with
// the program's status.
TEST_F(WatchCommandTest, CtrlCOnTheTerminalReachesTheProgramAndItsCloseIsRecorded) {
    PutAttachment();
    const std::string program = R"(
import os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
try:
    print('ready', flush=True)
    time.sleep(30)
finally:
    os.close(fd)
    print('cleaned', flush=True)
)";
    // Runs watch on a new terminal, types Ctrl-C once the program is ready, prints everything
    // the terminal showed and watch's status.
    const std::string terminal = R"(
import os, pty, sys
import termios
pid, master = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
# Ctrl-C must not throw away what the terminal has not shown yet.
modes = termios.tcgetattr(master)
modes[3] |= termios.NOFLSH
termios.tcsetattr(master, termios.TCSANOW, modes)
seen = b''
while b'ready' not in seen:
    seen += os.read(master, 4096)
os.write(master, b'\x03')
while True:
    try:
        chunk = os.read(master, 4096)
    except OSError:
        break
    if not chunk:
        break
    seen += chunk
_, status = os.waitpid(pid, 0)
sys.stdout.write(seen.decode(errors='replace'))
print('status', os.waitstatus_to_exitcode(status))
)";
    LineProcess run("/usr/bin/python3", {"-c", terminal, Watch(), "watch", "--", "/usr/bin/python3",
                                         "-c", program, port_.slave_path()});
    EXPECT_TRUE(run.WaitFor(false, "status 130\n", 40000)) << run.out() << run.AllErrors();
    EXPECT_EQ(run.Wait(), 0);
    const std::string shown = run.out();
    EXPECT_NE(shown.find("cleaned"), std::string::npos) << shown;
    EXPECT_NE(shown.find(port_.slave_path() + ": Close Com OK."), std::string::npos) << shown;
}

// Reads the 4 bytes waiting on the port, writes a line break and a GBK character, closes.
const char* const kExchangeScript = R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.read(fd, 4)
os.write(fd, b'AT\r\n\xd6\xd0')
os.close(fd)
)";

// Records for people and for scripts: a record with a line break in its data stays on one line;
// --time and --time=delta stamp every record line; --json gives one object per record and a
// summary object, parsed by Python's json; -o puts the records in a file.
TEST_F(WatchCommandTest, RecordsAsTextLinesWithStampsOrAsJson) {
    PutAttachment();
    const std::string port = port_.slave_path();
    const std::string json_file = dir_.path() + "/records.json";
    const std::string text = port + ": 进程 N (python3):\n" + port + ": Open Com OK\n" + port +
                             ": 读串口 4 bytes: OK\\r\\n\n" + port +
                             ": 写串口 6 bytes: AT\\r\\n中\n" + port + ": Close Com OK.\n";
    const std::string summary =
        port + ": summary: 4 requests, 6 bytes written, 4 bytes read, 0 errors\n";
    struct Case {
        std::vector<std::string> options;
        std::string stamp;  // what each record line starts with, as a pattern
    } cases[] = {
        {{}, ""},
        {{"--time"}, "\\d\\d:\\d\\d:\\d\\d\\.\\d{6} "},
        {{"--time=delta"}, "\\+\\d+\\.\\d{6} "},
        {{"--json", "-o", json_file}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "text" : c.options[0]);
        port_.WriteAll("OK\r\n");
        ASSERT_TRUE(port_.WaitSlaveQueued(4));
        std::vector<std::string> args = {"watch", "--preload"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"--", "/usr/bin/python3", "-c", kExchangeScript, port});
        LineProcess watch(Watch(), args);
        EXPECT_EQ(port_.ReadExactly(6), "AT\r\n\xd6\xd0");
        EXPECT_EQ(watch.Wait(), 0);
        EXPECT_EQ(watch.AllErrors(), WatchingLine());
        if (c.options.size() > 1) {
            watch.WaitFor(false, "\n", 2000);  // nothing comes: the records went to the file
            EXPECT_EQ(watch.out(), "");
            continue;
        }
        watch.WaitFor(false, "errors\n");
        std::string unstamped;
        std::istringstream lines(watch.out());
        for (std::string line; std::getline(lines, line);) {
            std::smatch stamp;
            if (line.find("summary") == std::string::npos) {
                EXPECT_TRUE(std::regex_search(line, stamp, std::regex("^" + c.stamp))) << line;
                line = stamp.suffix();
            }
            unstamped += line + "\n";
        }
        EXPECT_EQ(std::regex_replace(unstamped, std::regex("进程 \\d+ "), "进程 N "),
                  text + summary);
    }
    // Each record's request, text, data and process, the port and a valid time, then the summary.
    const std::string check = R"(
import datetime, json, sys
for line in open(sys.argv[1], encoding='utf-8'):
    r = json.loads(line)
    if r.get('summary'):
        print('summary', r['port'] == sys.argv[2], r['requests'], r['bytes_written'], r['bytes_read'],
              r['errors'])
        continue
    datetime.datetime.fromisoformat(r['time'].replace('Z', '+00:00'))
    if r['request'] == 'process':  # its id varies
        print(json.dumps(['process', r['process']['name']]))
        continue
    print(json.dumps([r['request'], r['text'], r['data'], r['process']['name'],
                      r['port'] == sys.argv[2]], ensure_ascii=False))
)";
    ChildProcess parse("/usr/bin/python3", {"-c", check, json_file, port});
    EXPECT_EQ(parse.ReadAllOutput(),
              "[\"process\", \"python3\"]\n"
              "[\"open\", \"Open Com OK\", \"00000000\", \"python3\", true]\n"
              "[\"read\", \"读串口 4 bytes: OK\\r\\n\", \"4f4b0d0a\", \"python3\", true]\n"
              "[\"write\", \"写串口 6 bytes: AT\\r\\n中\", \"41540d0ad6d0\", \"python3\", true]\n"
              "[\"close\", \"Close Com OK.\", \"00000000\", \"python3\", true]\n"
              "summary True 4 6 4 0\n");
    EXPECT_EQ(parse.Wait(), 0) << parse.ReadAllError();
}

// An interactive program (picocom) on a real terminal under watch -o: its screen shows what it
// shows without watch and no record line, while the file holds the records.
TEST_F(WatchCommandTest, RecordsInAFileKeepTheInteractiveProgramsScreenClean) {
    if (::access("/usr/bin/picocom", X_OK) != 0)
        GTEST_SKIP() << "picocom is not installed (scripts/install-deps.sh installs it)";
    PutAttachment();
    const std::string records = dir_.path() + "/records.txt";
    // Starts watch on a new terminal, types "hi" once picocom is ready, waits for the reply the
    // test sends, quits picocom (C-a C-x) and prints the screen and the status.
    const std::string terminal = R"(
import os, pty, sys
pid, master = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
seen = b''
def until(text):
    global seen
    while text not in seen:
        chunk = os.read(master, 4096)
        if not chunk:
            raise SystemExit('the terminal closed before ' + repr(text))
        seen += chunk
until(b'Terminal ready')
os.write(master, b'hi')
until(b'there')
os.write(master, b'\x01\x18')
while True:
    try:
        chunk = os.read(master, 4096)
    except OSError:
        break
    if not chunk:
        break
    seen += chunk
_, status = os.waitpid(pid, 0)
sys.stdout.write(seen.decode(errors='replace'))
print('status', os.waitstatus_to_exitcode(status))
)";
    LineProcess run("/usr/bin/python3", {"-c", terminal, Watch(), "watch", "-o", records, "--",
                                         "/usr/bin/picocom", port_.slave_path()});
    EXPECT_EQ(port_.ReadExactly(2), "hi");
    port_.WriteAll("there");
    EXPECT_TRUE(run.WaitFor(false, "status 0\n", 40000)) << run.out() << run.AllErrors();
    EXPECT_EQ(run.Wait(), 0);
    const std::string screen = run.out();
    EXPECT_NE(screen.find("there"), std::string::npos) << screen;
    for (const char* record : {"Open Com", "写串口", "读串口", "summary"})
        EXPECT_EQ(screen.find(record), std::string::npos) << record << " in " << screen;
    std::ifstream in(records);
    const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (const std::string record :
         {": Open Com OK\n", ": 写串口 2 bytes: hi\n", ": 读串口 5 bytes: there\n",
          ": Close Com OK.\n", ": summary: "})
        EXPECT_NE(file.find(port_.slave_path() + record), std::string::npos) << record << file;
}

// Missing or empty maps and a records file that cannot be written are said before anything
// starts.
TEST_F(WatchCommandTest, SaysWhyNothingCanBeWatched) {
    PutAttachment();
    const std::string missing = dir_.path() + "/no-map";
    const std::string empty = dir_.path() + "/empty-map";
    std::ofstream(empty) << "# no ports\n";
    struct Case {
        std::string map;
        std::vector<std::string> args;
        int status;
        std::string error;
    } cases[] = {
        {missing,
         {"watch", "--preload", "--", "/bin/true"},
         125,
         "porvane-cli: PORVANE_DEVICE_MAP names " + missing +
             ", which cannot be read: No such file or directory: no port can be watched\n"},
        {empty,
         {"watch", "--preload", "--", "/bin/true"},
         125,
         "porvane-cli: the serial device map (" + empty + ") holds no port to watch\n"},
        {missing,
         {"ports"},
         1,
         "porvane-cli: PORVANE_DEVICE_MAP names " + missing +
             ", which cannot be read: No such file or directory\n"},
        {dir_.path(),
         {"ports", "--map"},
         1,
         "porvane-cli: PORVANE_DEVICE_MAP names " + dir_.path() +
             ", which cannot be read: Is a directory\n"},
        {empty,
         {"ports", "--map"},
         0,
         "porvane-cli: the device map (" + empty + ") holds no port\n"},
        {map_,
         {"watch", "-o", dir_.path() + "/no/records", "--", "/bin/true"},
         4,
         "porvane-cli: cannot write the records to " + dir_.path() +
             "/no/records: No such file or directory\n"},
        // The system calls need no map: an empty one is no reason to refuse.
        {empty,
         {"watch", "--", "/bin/true"},
         0,
         "porvane-cli: watching every terminal device the program opens, but this terminal\n"
         "porvane-cli: the program used no terminal device (this terminal is never watched)\n"},
        {map_,
         {"watch", "-o", dir_.path() + "/no/records", "--", "/bin/true"},
         4,
         "porvane-cli: cannot write the records to " + dir_.path() +
             "/no/records: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.map);
        setenv("PORVANE_DEVICE_MAP", c.map.c_str(), 1);
        LineProcess run(Watch(), c.args);
        EXPECT_EQ(run.Wait(), c.status);
        EXPECT_EQ(run.AllErrors(), c.error);
    }
}

// With the attachment, a program that opens a terminal device outside the map is told about on
// standard error; the program itself runs as without watch. Followed by its system calls, the
// device is watched like any other.
TEST_F(WatchCommandTest, APortOutsideTheMapIsSaid) {
    PutAttachment();
    comm::testing::PtyPair other;
    const std::string program =
        "import os, sys\n"
        "os.write(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY), b'x')\n"
        "os.close(os.open('/dev/null', os.O_RDWR))\n"
        "print('done')\n";
    LineProcess traced(Watch(), {"watch", "/usr/bin/python3", "-c", program, other.slave_path()});
    EXPECT_EQ(other.ReadExactly(1), "x");
    EXPECT_EQ(traced.Wait(), 0);
    traced.WaitFor(false, "errors\n");
    EXPECT_NE(traced.out().find(other.slave_path() + ": 写串口 1 bytes: x\n"), std::string::npos)
        << traced.out();
    EXPECT_NE(traced.AllErrors().find("porvane-cli: watching " + other.slave_path() + "\n"),
              std::string::npos)
        << traced.AllErrors();
    LineProcess watch(Watch(), {"watch", "--preload", "--", "/usr/bin/python3", "-c",
                                "import os, sys\n"
                                "os.write(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY), b'x')\n"
                                "os.close(os.open('/dev/null', os.O_RDWR))\n"
                                "print('done')\n",
                                other.slave_path()});
    EXPECT_EQ(other.ReadExactly(1), "x");
    EXPECT_EQ(watch.Wait(), 0);
    watch.WaitFor(false, "done\n");
    EXPECT_EQ(watch.out(), "done\n");
    const std::string said = watch.AllErrors();
    EXPECT_TRUE(std::regex_match(
        said, std::regex(std::regex_replace(WatchingLine(), std::regex("[()]"), "\\$&") +
                         "sievrad: process \\d+ \\(python3\\) opened " + other.slave_path() +
                         ", which is not a port of the device map \\(watched: " +
                         port_.slave_path() + ", " + usb_port_.slave_path() +
                         "\\)\nporvane-cli: the program used none of the watched ports \\(" +
                         port_.slave_path() + ", " + usb_port_.slave_path() + "\\)\n")))
        << said;
}

// The host says what it watches, and warns of a map that is missing or empty.
TEST_F(WatchCommandTest, TheHostSaysWhatItWatches) {
    const std::string missing = dir_.path() + "/no-map";
    const std::string empty = dir_.path() + "/empty-map";
    std::ofstream(empty) << "\n";
    const std::string runtime = dir_.path() + "/xdg/host";
    const struct {
        std::string map, ready, said;
    } cases[] = {
        {map_,
         "sievrad: 2 ports in " + runtime + " (" + port_.slave_path() + ", " +
             usb_port_.slave_path() + ")\n",
         ""},
        {missing, "sievrad: 0 ports in " + runtime + "\n",
         "sievrad: warning: PORVANE_DEVICE_MAP names " + missing +
             ", which cannot be read: No such file or directory: no port is watched\n"},
        {empty, "sievrad: 0 ports in " + runtime + "\n",
         "sievrad: warning: the device map (" + empty + ") holds no port: no port is watched\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.map);
        setenv("PORVANE_DEVICE_MAP", c.map.c_str(), 1);
        LineProcess host(ChildProcess::BinDir() + "/sievrad", {"--runtime-dir", runtime});
        EXPECT_TRUE(host.WaitFor(false, "\n")) << host.out();
        EXPECT_EQ(host.out(), c.ready);
        EXPECT_EQ(host.Stop(), 0);
        EXPECT_EQ(host.AllErrors(), c.said);
    }
}

}  // namespace
}  // namespace porvane::cli
