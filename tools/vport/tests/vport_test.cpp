#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/comm/open_failure.h"
#include "platform/comm/serial_device.h"
#include "platform/comm/testing/child_process.h"
#include "tools/vport/virtual_port.h"

namespace tools {
namespace {

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using comm::testing::WaitForPath;
using comm::testing::WaitUntilAsleep;

std::unique_ptr<comm::SerialDevice> OpenPort(const std::string& path) {
    comm::OpenResult opened = comm::OpenSerialDevice(path);
    EXPECT_TRUE(opened.status) << opened.status.Describe();
    if (opened.device) {
        comm::CommTimeouts t;
        t.ReadIntervalTimeout = 200;
        t.ReadTotalTimeoutConstant = 5000;
        opened.device->SetTimeouts(t);
    }
    return std::move(opened.device);
}

std::string ReadSome(comm::SerialDevice& device, size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    size_t total = 0;
    while (total < n) {
        if (!device.Read(reinterpret_cast<uint8_t*>(out.data()) + total, n - total, got) ||
            got == 0) {
            break;
        }
        total += got;
    }
    out.resize(total);
    return out;
}

void Send(comm::SerialDevice& device, const std::string& bytes) {
    size_t written = 0;
    ASSERT_TRUE(
        device.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), written));
    ASSERT_EQ(written, bytes.size());
}

// "ping" from a reaches b, then "pong" from b reaches a: the pair carries both ways.
void ExpectPingPong(comm::SerialDevice& a, comm::SerialDevice& b) {
    Send(a, "ping");
    EXPECT_EQ(ReadSome(b, 4), "ping");
    Send(b, "pong");
    EXPECT_EQ(ReadSome(a, 4), "pong");
}

TEST(Vport, LoopBackPlugEchoesAMegabyteAndRemovesItsLink) {
    TempDir dir;
    const std::string link = dir.path() + "/loop";
    ChildProcess vport("vport", {"loop", link});
    ASSERT_TRUE(WaitForPath(link));
    auto port = OpenPort(link);
    ASSERT_TRUE(port);
    std::mt19937 gen(5);
    std::string data(1 << 20, '\0');
    for (char& c : data)
        c = static_cast<char>(gen());
    std::string echoed;
    std::thread reader([&] { echoed = ReadSome(*port, data.size()); });
    Send(*port, data);
    reader.join();
    EXPECT_TRUE(echoed == data);
    port.reset();
    vport.Signal(SIGTERM);
    EXPECT_EQ(vport.Wait(), 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
}

// A running "vport pair" with its two links published.
class VportPair : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WaitForPath(a_));
        ASSERT_TRUE(WaitForPath(b_));
    }
    TempDir dir_;
    const std::string a_ = dir_.path() + "/a";
    const std::string b_ = dir_.path() + "/b";
    ChildProcess vport_{"vport", {"pair", a_, b_}};
};

TEST_F(VportPair, ActsAsANullModemCable) {
    auto port_a = OpenPort(a_);
    auto port_b = OpenPort(b_);
    ASSERT_TRUE(port_a && port_b);
    ExpectPingPong(*port_a, *port_b);
}

TEST(Vport, DropsAndCorruptsOneByteOnDemand) {
    TempDir dir;
    const std::string link = dir.path() + "/loop";
    ChildProcess vport("vport", {"loop", link});
    ASSERT_TRUE(WaitForPath(link));
    auto port = OpenPort(link);
    ASSERT_TRUE(port);
    // No wait between the signal and the bytes: vport blocks its signals before it publishes
    // the link, the signal is pending once kill returns, before the bytes are written, and vport
    // takes pending signals after it has read bytes, before it applies the faults to them.
    vport.Signal(SIGUSR1);
    Send(*port, "abc");
    EXPECT_EQ(ReadSome(*port, 2), "bc");
    vport.Signal(SIGUSR2);
    Send(*port, "abc");
    EXPECT_EQ(ReadSome(*port, 3), "`bc");  // 'a' (0x61) with its lowest bit flipped
}

TEST(Vport, RefusesToReplaceAFile) {
    TempDir dir;
    const std::string file = dir.path() + "/file";
    std::ofstream(file) << "keep me";
    ChildProcess vport("vport", {"loop", file});
    EXPECT_EQ(vport.Wait(), 1);
    EXPECT_NE(vport.ReadAllError().find("not a symbolic link"), std::string::npos);
}

// Stops the child and waits until it has stopped (its state change, not a poll).
void StopAndWait(const ChildProcess& child) {
    child.Signal(SIGSTOP);
    int status = 0;
    ASSERT_EQ(::waitpid(child.pid(), &status, WUNTRACED), child.pid());
    ASSERT_TRUE(WIFSTOPPED(status));
}

TEST_F(VportPair, BytesWrittenAfterTheFarProgramOpenedReachIt) {
    // The far program's open empties its input; vport learns of that only when it next looks.
    // Bytes sent after the open must still arrive when vport finds both at once.
    auto port_a = OpenPort(a_);
    ASSERT_TRUE(port_a);
    ASSERT_TRUE(WaitUntilAsleep(vport_.pid()));  // in its poll: it has taken in the first open
    ASSERT_NO_FATAL_FAILURE(StopAndWait(vport_));
    auto port_b = OpenPort(b_);
    ASSERT_TRUE(port_b);
    Send(*port_a, "ping");
    vport_.Signal(SIGCONT);
    EXPECT_EQ(ReadSome(*port_b, 4), "ping");
    Send(*port_b, "pong");
    EXPECT_EQ(ReadSome(*port_a, 4), "pong");
}

TEST(Vport, ALoopPlugForgetsWhatAClosedProgramLeft) {
    TempDir dir;
    const std::string link = dir.path() + "/loop";
    ChildProcess vport("vport", {"loop", link});
    ASSERT_TRUE(WaitForPath(link));
    {
        auto first = OpenPort(link);
        ASSERT_TRUE(first);
        Send(*first, std::string(16384, 'a'));  // never read: the plug has to hold most of it
        comm::QueueStatus queues;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        do {
            ASSERT_TRUE(first->ClearError(nullptr, &queues));
        } while (queues.in_queue < 4000 && std::chrono::steady_clock::now() < deadline);
        ASSERT_GE(queues.in_queue, 4000u);  // the terminal is full, the rest is on its way
    }
    // The plug has seen the close (it was queued before this wait began).
    ASSERT_TRUE(WaitUntilAsleep(vport.pid()));
    // The next program finds nothing of the first one's: its own marker comes back first.
    auto next = OpenPort(link);
    ASSERT_TRUE(next);
    Send(*next, "M");
    EXPECT_EQ(ReadSome(*next, 1), "M");
}

TEST(Vport, RefusesALinkAnotherRunningVportServes) {
    TempDir dir;
    const std::string link = dir.path() + "/loop";
    ChildProcess first("vport", {"loop", link});
    ASSERT_TRUE(WaitForPath(link));
    ChildProcess second("vport", {"loop", link});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_EQ(second.ReadAllError(),
              "vport: " + link +
                  " is the port of another running vport (or quor-sim); stop that one first or "
                  "choose another path\n");
    auto port = OpenPort(link);  // the first one still serves the link
    ASSERT_TRUE(port);
    Send(*port, "ok");
    EXPECT_EQ(ReadSome(*port, 2), "ok");
}

TEST(Vport, ReplacesALinkLeftByAKilledVport) {
    TempDir dir;
    const std::string link = dir.path() + "/loop";
    {
        ChildProcess killed("vport", {"loop", link});
        ASSERT_TRUE(WaitForPath(link));
        killed.Signal(SIGKILL);
        EXPECT_EQ(killed.Wait(), 128 + SIGKILL);
    }
    ASSERT_TRUE(std::filesystem::is_symlink(link));  // left behind
    ChildProcess vport("vport", {"loop", link});
    // The old link may lead to a terminal number that another program has been given since:
    // wait until it leads to the new vport's terminal (which the new vport keeps open).
    ASSERT_TRUE(comm::testing::WaitForHolder(link, vport.pid()));
    auto port = OpenPort(link);
    ASSERT_TRUE(port);
    Send(*port, "ok");
    EXPECT_EQ(ReadSome(*port, 2), "ok");
}

TEST(Vport, RefusesAPairOfOnePath) {
    TempDir dir;
    const std::string canonical = std::filesystem::canonical(dir.path()).string() + "/x";
    ChildProcess vport("vport", {"pair", dir.path() + "/x", dir.path() + "/./x"});
    EXPECT_EQ(vport.Wait(), 2);
    EXPECT_EQ(vport.ReadAllError(),
              "vport: pair needs two different paths (both are " + canonical + ")\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/x"));
}

TEST(Vport, KeepsRunningWhenItsTerminalHangsUp) {
    TempDir dir;
    const std::string link = dir.path() + "/loop";
    ChildProcess vport("vport", {"loop", link});
    ASSERT_TRUE(WaitForPath(link));
    vport.Signal(SIGHUP);
    auto port = OpenPort(link);
    ASSERT_TRUE(port);
    Send(*port, "ok");
    EXPECT_EQ(ReadSome(*port, 2), "ok");
    port.reset();
    vport.Signal(SIGTERM);
    EXPECT_EQ(vport.Wait(), 0);  // a hang-up would have ended it with 128 + SIGHUP
}

TEST(FaultRequests, ApplyToOneByteEach) {
    FaultRequests faults{1, 1};
    uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(faults.Apply(bytes, 3), 2u);
    EXPECT_EQ(bytes[0], 3);  // 1 dropped, 2 corrupted to 3
    EXPECT_EQ(bytes[1], 3);
    EXPECT_EQ(faults.drops, 0);
    EXPECT_EQ(faults.corruptions, 0);
}

// vport may read bytes that arrived after its last wait (it was busy with something else when
// they came); a request signalled before they were written must still apply to them.
// Blocks SIGUSR1 and SIGUSR2 in the calling thread for its lifetime, and takes away what is
// still pending of them at the end, so that nothing of a test reaches later ones.
class BlockedFaultSignals {
  public:
    BlockedFaultSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGUSR1);
        sigaddset(&set_, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    }
    ~BlockedFaultSignals() {
        const timespec none{0, 0};
        while (sigtimedwait(&set_, nullptr, &none) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    BlockedFaultSignals(const BlockedFaultSignals&) = delete;
    BlockedFaultSignals& operator=(const BlockedFaultSignals&) = delete;
    const sigset_t& set() const { return set_; }

  private:
    sigset_t set_;
    sigset_t previous_;
};

TEST(FaultRequests, ASignalPendingWhenBytesAreAppliedCountsForThem) {
    BlockedFaultSignals blocked;
    comm::UniqueFd fd(signalfd(-1, &blocked.set(), SFD_NONBLOCK | SFD_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    FaultRequests faults;
    faults.signal_fd = fd.get();
    ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR1), 0);
    ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR2), 0);
    uint8_t bytes[] = {'a', 'b', 'c'};
    ASSERT_EQ(faults.Apply(bytes, 3), 2u);
    EXPECT_EQ(bytes[0], 'c');  // 'a' dropped, 'b' corrupted to 'c'
    EXPECT_EQ(bytes[1], 'c');
    uint8_t more[] = {'x'};
    EXPECT_EQ(faults.Apply(more, 1), 1u);  // each request applied once
    EXPECT_EQ(more[0], 'x');
}

}  // namespace
}  // namespace tools
