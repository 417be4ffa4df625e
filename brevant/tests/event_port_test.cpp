#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "brevant/command_port.h"
#include "brevant/event_port.h"
#include "platform/comm/kernel_termios.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/testing/scripted_port.h"

namespace brevant {
namespace {

using comm::testing::ChildProcess;
using comm::testing::PtyPair;
using comm::testing::TempDir;

// Records the notifications in order.
class RecordingOwner : public EventPortOwner {
  public:
    void OnPortMessage(uint32_t message, uint32_t wparam, uint32_t port) override {
        std::lock_guard lock(mutex_);
        log_.push_back({message, wparam});
        last_port_ = port;
        changed_.notify_all();
    }
    void ShowErrorBox(const std::string& text) override {
        std::lock_guard lock(mutex_);
        boxes_.push_back(text);
        changed_.notify_all();
    }
    bool WaitForBoxes(size_t count, int ms = 30000) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return boxes_.size() >= count; });
    }
    std::vector<std::pair<uint32_t, uint32_t>> log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    std::vector<std::string> boxes() {
        std::lock_guard lock(mutex_);
        return boxes_;
    }
    bool WaitFor(size_t count, int ms = 30000) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return log_.size() >= count; });
    }
    uint32_t last_port() {
        std::lock_guard lock(mutex_);
        return last_port_;
    }

  private:
    std::mutex mutex_;  // guards log_, boxes_ and last_port_
    std::condition_variable changed_;
    std::vector<std::pair<uint32_t, uint32_t>> log_;
    std::vector<std::string> boxes_;
    uint32_t last_port_ = 0;
};

class EventPortTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("COM9", pty_.slave_path().c_str(), 1); }
    void TearDown() override { unsetenv("COM9"); }
    PtyPair pty_;
    RecordingOwner owner_;
};

TEST(EventPortNames, DeviceNamesAndLineDefinition) {
    EXPECT_EQ(EventPort::DeviceName(9), "COM9");
    EXPECT_EQ(EventPort::DeviceName(10), "\\\\.\\COM10");
    EXPECT_EQ(EventPort::LineDefinition(9600, 'N', 8, 1), "baud=9600 parity=N data=8 stop=1");
    EXPECT_EQ(
        EventPort::ErrorBoxText("SetCommState()", EINVAL, 3),
        "WARNING:  SetCommState() Failed with the following error: \nInvalid argument\nPort: 3\n");
}

TEST_F(EventPortTest, BytesOneByOneThenTheEndOfTheBurst) {
    EventPort port;
    ASSERT_TRUE(port.Initialise(&owner_, 9, 9600, 'N', 8, 1, 3, 512));
    ASSERT_TRUE(port.StartMonitoring());
    pty_.WriteAll(std::string("\x06\x20", 2));
    ASSERT_TRUE(owner_.WaitFor(3));
    auto log = owner_.log();
    EXPECT_EQ(log[0], std::make_pair(uint32_t{PortMsgRxChar}, uint32_t{0x06}));
    EXPECT_EQ(log[1], std::make_pair(uint32_t{PortMsgRxChar}, uint32_t{0x20}));
    EXPECT_EQ(log[2].first, uint32_t{PortMsgRxFlag});
    EXPECT_EQ(owner_.last_port(), 9u);
    pty_.WriteAll("q");  // the event character is just another byte
    ASSERT_TRUE(owner_.WaitFor(5));
    EXPECT_EQ(owner_.log()[3], std::make_pair(uint32_t{PortMsgRxChar}, uint32_t{'q'}));
    EXPECT_EQ(owner_.log()[4].first, uint32_t{PortMsgRxFlag});
}

TEST_F(EventPortTest, InputFromBeforeTheStartIsDiscarded) {
    EventPort port;
    ASSERT_TRUE(port.Initialise(&owner_, 9, 9600, 'N', 8, 1, 3, 512));
    pty_.WriteAll("stale");
    ASSERT_TRUE(pty_.WaitSlaveQueued(5));  // the bytes have reached the port
    ASSERT_TRUE(port.StartMonitoring());
    pty_.WriteAll("x");
    ASSERT_TRUE(owner_.WaitFor(2));
    EXPECT_EQ(owner_.log()[0], std::make_pair(uint32_t{PortMsgRxChar}, uint32_t{'x'}));
}

TEST_F(EventPortTest, WritesAreQueuedWholeAndLongOnesRefused) {
    EventPort port;
    ASSERT_TRUE(port.Initialise(&owner_, 9, 9600, 'N', 8, 1, 3, 512));
    ASSERT_TRUE(port.StartMonitoring());
    std::vector<uint8_t> frame = {0x20, 0x00, 0x41, 0x01, 0x52, 0xED, 0x03};
    ASSERT_TRUE(port.Write(frame.data(), frame.size()));
    frame[1] = 0x77;  // the caller's buffer changes: the queued bytes do not
    ASSERT_TRUE(port.Write(std::string("AB")));
    EXPECT_EQ(pty_.ReadExactly(9), std::string("\x20\x00\x41\x01\x52\xED\x03"
                                               "AB",
                                               9));
    std::vector<uint8_t> big(513, 0);
    EXPECT_FALSE(port.Write(big.data(), big.size()));
}

// The command port both front ends open: the line as Config.INI's settings give it, parity N
// when none is set, the burst end reported and the 512-byte write buffer.
TEST_F(EventPortTest, CommandPortFollowsTheSettings) {
    EventPort port;
    AppSettings settings;
    settings.port = 9;
    settings.baud = 19200;
    settings.data_bits = 8;
    settings.stop_bits = 1;  // parity left unset: a line definition with parity N
    ASSERT_TRUE(OpenCommandPort(port, &owner_, settings));
    EXPECT_TRUE(owner_.boxes().empty());  // the line definition was good
    comm::KernelTermios line;
    ASSERT_TRUE(comm::GetKernelTermios(pty_.master(), line));
    EXPECT_EQ(line.ospeed, 19200u);
    EXPECT_EQ(line.cflag & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_EQ(line.cflag & (CSTOPB | PARENB), 0u);
    pty_.WriteAll("x");
    ASSERT_TRUE(owner_.WaitFor(2));
    EXPECT_EQ(owner_.log()[1].first, static_cast<uint32_t>(PortMsgRxFlag));
    std::vector<uint8_t> frame(kCommandWriteBufferSize, 0x41);
    EXPECT_TRUE(port.Write(frame.data(), frame.size()));
    frame.push_back(0x41);
    EXPECT_FALSE(port.Write(frame.data(), frame.size()));

    EventPort missing;
    settings.port = 8;
    setenv("COM8", "/dev/no-such-command-port", 1);
    EXPECT_FALSE(OpenCommandPort(missing, &owner_, settings));
    unsetenv("COM8");
}

TEST_F(EventPortTest, ShutdownEndsTheThreadWithOneHundred) {
    EventPort port;
    ASSERT_TRUE(port.Initialise(&owner_, 9, 9600, 'N', 8, 1, 3, 512));
    ASSERT_TRUE(port.StartMonitoring());
    EXPECT_TRUE(port.alive());
    port.Shutdown();
    for (int i = 0; i < 30000 && port.alive(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(port.alive());
    EXPECT_EQ(port.exit_code(), 100);
    // The port was released: it can be opened again.
    EXPECT_TRUE(port.Initialise(&owner_, 9, 9600, 'N', 8, 1, 3, 512));
}

TEST_F(EventPortTest, BadLineDefinitionShowsTheBoxAndStillOpens) {
    EventPort port;
    EXPECT_TRUE(port.Initialise(&owner_, 9, 9600, 'N', 4, 1, 3, 512));
    ASSERT_EQ(owner_.boxes().size(), 1u);
    EXPECT_NE(owner_.boxes()[0].find("BuildCommDCB()"), std::string::npos);
}

// Stands for the window: the error box blocks the port's thread until the window's thread
// has done what it was doing, here a write and a shutdown of the same port.
class WindowLikeOwner : public EventPortOwner {
  public:
    void OnPortMessage(uint32_t, uint32_t, uint32_t) override {}
    void ShowErrorBox(const std::string& text) override {
        std::unique_lock lock(mutex_);
        if (port_ == nullptr || box_shown_ || text.find("WriteFile()") == std::string::npos)
            return;
        box_shown_ = true;
        EventPort* port = port_;
        // The window's thread, busy in the port while the box waits for it.
        std::thread window([this, port] {
            port->Write(std::string("x"));
            port->Shutdown();
            std::lock_guard done_lock(mutex_);
            window_done_ = true;
            changed_.notify_all();
        });
        window_done_in_box_ =
            changed_.wait_for(lock, std::chrono::seconds(20), [this] { return window_done_; });
        first_box_ = text;
        changed_.notify_all();
        lock.unlock();
        window.join();
    }
    void Attach(EventPort* port) {
        std::lock_guard lock(mutex_);
        port_ = port;
    }
    bool WaitForBox() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20),
                                 [this] { return !first_box_.empty(); });
    }
    bool window_done_in_box() {
        std::lock_guard lock(mutex_);
        return window_done_in_box_;
    }
    std::string first_box() {
        std::lock_guard lock(mutex_);
        return first_box_;
    }

  private:
    std::mutex mutex_;  // guards every field below
    std::condition_variable changed_;
    EventPort* port_ = nullptr;
    bool box_shown_ = false;
    bool window_done_ = false;
    bool window_done_in_box_ = false;
    std::string first_box_;
};

TEST(EventPortErrors, ErrorBoxIsShownWithoutHoldingThePort) {
    auto line = comm::testing::ScriptedPort::Create();
    WindowLikeOwner owner;
    EventPort port([line](const std::string&) { return line->Open(); });
    ASSERT_TRUE(port.Initialise(&owner, 9, 9600, 'N', 8, 1, 3, 512));
    owner.Attach(&port);
    ASSERT_TRUE(port.StartMonitoring());
    line->Vanish();  // the device goes away: the write below fails and its box is shown
    ASSERT_TRUE(port.Write(std::string("ab")));
    ASSERT_TRUE(owner.WaitForBox());
    EXPECT_TRUE(owner.window_done_in_box());  // the window's Write and Shutdown did not wait
    EXPECT_NE(owner.first_box().find("WriteFile()"), std::string::npos);
}

TEST(EventPortErrors, AVanishedPortStillAnswersWritesAndShutdown) {
    auto line = comm::testing::ScriptedPort::Create();
    RecordingOwner owner;
    auto port = std::make_unique<EventPort>([line](const std::string&) { return line->Open(); });
    ASSERT_TRUE(port->Initialise(&owner, 9, 9600, 'N', 8, 1, 3, 512));
    ASSERT_TRUE(port->StartMonitoring());
    line->Vanish();
    ASSERT_TRUE(owner.WaitForBoxes(1));  // the failed wait
    EXPECT_NE(owner.boxes()[0].find("WaitCommEvent()"), std::string::npos);
    // The thread no longer waits on the port: a write request still wakes it and gets its box.
    ASSERT_TRUE(port->Write(std::string("ab")));
    ASSERT_TRUE(owner.WaitForBoxes(2));
    EXPECT_NE(owner.boxes()[1].find("WriteFile()"), std::string::npos);
    port.reset();  // and a shutdown ends it
    EXPECT_EQ(owner.boxes().size(), 2u);
}

TEST(EventPortMissing, MissingDeviceFailsWithoutABox) {
    setenv("COM7", "/dev/no-such-reader", 1);
    RecordingOwner owner;
    EventPort port;
    EXPECT_FALSE(port.Initialise(&owner, 7, 9600, 'N', 8, 1, 3, 512));
    EXPECT_TRUE(owner.boxes().empty());
    EXPECT_FALSE(port.StartMonitoring());
    unsetenv("COM7");
}

TEST(BrevantCli, RunsACommandFileAgainstTheSimulatedReader) {
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link, "--burst", "1", "--burst-gap", "5"});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    const std::string file = dir.path() + "/cmds.ini";
    std::ofstream(file, std::ios::binary) << "/*****************/\r\nrequest\r\n00 41 01 52\r\n"
                                             "/*****************/\r\nhalt\r\n00 45 00\r\n"
                                             "/*****************/\r\n  \r\n";
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    setenv("COM4", link.c_str(), 1);
    ChildProcess cli("brevant-cli",
                     {"run", file, "--port", "4", "--baud", "115200", "--wait", "1500"});
    const std::string output = cli.ReadAllOutput(30000);
    EXPECT_EQ(cli.Wait(), 0);
    unsetenv("COM4");
    unsetenv("XDG_CONFIG_HOME");
    std::istringstream lines(output);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    // The reader acknowledges (06) and announces its reply (20); the assistant does not answer
    // the announcement, so that is all that comes back.
    EXPECT_EQ(first.substr(0, first.rfind('\t')), "1\trequest\t20 00 41 01 52 ED 03\t06 20 ");
    EXPECT_EQ(second.substr(0, second.rfind('\t')), "2\thalt\t20 00 45 00 BA 03\t06 20 ");
    EXPECT_NE(first.substr(first.rfind('\t') + 1), "timeout");
}

TEST(BrevantCli, SilentReaderTimesOut) {
    TempDir dir;
    const std::string link = dir.path() + "/reader";
    ChildProcess sim("quor-sim", {link, "--no-ack"});
    ASSERT_TRUE(comm::testing::WaitForPath(link));
    const std::string file = dir.path() + "/cmds.ini";
    std::ofstream(file, std::ios::binary) << "/*****************/\r\nrequest\r\n00 41 01 52\r\n";
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    setenv("COM4", link.c_str(), 1);
    ChildProcess cli("brevant-cli", {"run", file, "--port", "4"});
    const std::string output = cli.ReadAllOutput(30000);
    EXPECT_EQ(cli.Wait(), 4);
    EXPECT_EQ(cli.ReadAllError(),
              "brevant-cli: row 1 was not answered within 300 ms on COM4 (" + link + ")\n");
    unsetenv("COM4");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_NE(output.find("\ttimeout"), std::string::npos);
}

}  // namespace
}  // namespace brevant
