#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "platform/comm/comm_constants.h"
#include "platform/comm/termios_serial_device.h"
#include "platform/comm/testing/faulty_system_calls.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/testing/scripted_port.h"
#include "platform/threading/notification_bridge.h"
#include "porvane/serial/serial_channel.h"
#include "porvane/serial/tests/recording_page.h"

namespace porvane::serial {
namespace {

using comm::testing::FaultySystemCalls;
using comm::testing::PtyPair;
using comm::testing::ScriptedPort;
using testing::RecordingPage;

// The port's statistics once it has counted sent bytes: the far end can hold the last bytes a
// moment before the writer thread, back from its write, has counted them.
comm::SerialStats StatisticsOnceSent(SerialChannel& channel, uint64_t sent) {
    comm::SerialStats stats;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
        channel.GetPortStatistics(&stats);
        std::this_thread::yield();
    } while (stats.TransmittedCount < sent && std::chrono::steady_clock::now() < deadline);
    return stats;
}

// Seeded random bytes, the same for every run.
std::string RandomData(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(gen());
    return data;
}

// Writes data through the channel in 4096-byte pieces while the pty's far end echoes everything
// back, as a loop-back plug does; true once the page has received as many bytes as were sent.
bool EchoedWhole(SerialChannel& channel, RecordingPage& page, PtyPair& pty,
                 const std::string& data) {
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        char buffer[65536];
        while (!stop) {
            pollfd fd{pty.master(), POLLIN, 0};
            if (poll(&fd, 1, 20) <= 0)
                continue;
            ssize_t n = read(pty.master(), buffer, sizeof buffer);
            if (n > 0)
                pty.WriteAll(std::string(buffer, static_cast<size_t>(n)));
        }
    });
    for (size_t at = 0; at < data.size(); at += 4096) {
        size_t n = std::min<size_t>(4096, data.size() - at);
        channel.WritePort(reinterpret_cast<const uint8_t*>(data.data() + at),
                          static_cast<uint32_t>(n));
    }
    const bool all = page.WaitFor(
        [&](auto&, const std::string& received) { return received.size() >= data.size(); }, 60000);
    stop = true;
    loop.join();
    return all;
}

// A channel on a scripted line.
class ScriptedChannelTest : public ::testing::Test {
  protected:
    ScriptedChannelTest()
        : port_(ScriptedPort::Create()),
          channel_([port = port_](const std::string&) { return port->Open(); }) {
        channel_.settings() = PanelDefaultLineSettings();
        SetPortName(channel_.settings(), "ttyS0");
    }

    void Open() { ASSERT_EQ(channel_.OpenPort(&page_), 1); }

    std::shared_ptr<ScriptedPort> port_;
    RecordingPage page_;
    SerialChannel channel_;
};

TEST_F(ScriptedChannelTest, OpenAppliesSettingsMaskPurgeAndClearsCounters) {
    channel_.settings().dcb.BaudRate = 57600;
    channel_.settings().timeouts.ReadTotalTimeoutConstant = 5;
    port_->AddLineErrors(1, 0, 0, 0);
    Open();
    EXPECT_EQ(port_->LastState().BaudRate, 57600u);
    EXPECT_EQ(port_->LastTimeouts().ReadTotalTimeoutConstant, 5u);
    EXPECT_EQ(port_->LastEventMask(), 0x13Du);
    EXPECT_EQ(port_->Purges(), std::vector<uint32_t>{0x0F});
    comm::SerialStats stats;
    stats.FrameErrorCount = 99;
    channel_.GetPortStatistics(&stats);
    EXPECT_EQ(stats.FrameErrorCount, 0u);
}

TEST_F(ScriptedChannelTest, SecondOpenReportsAlreadyOpenAndKeepsThePort) {
    Open();
    EXPECT_EQ(channel_.OpenPort(&page_), 0);
    EXPECT_EQ(page_.messages(), std::vector<std::string>{"串口已经打开!!"});
    EXPECT_TRUE(channel_.IsOpen());
    EXPECT_EQ(port_->Opens(), 1);
}

// The scripted line's driver has no RS-485 mode: an RTS toggle is said once an open.
TEST_F(ScriptedChannelTest, AnRtsToggleThePortCannotDoIsSaidOnceAnOpen) {
    channel_.settings().dcb.fRtsControl = comm::RTS_CONTROL_TOGGLE;
    Open();
    LineSettings changed = channel_.settings();
    changed.dcb.BaudRate = 19200;
    channel_.ApplySettings(changed);
    EXPECT_EQ(port_->LastState().BaudRate, 19200u);
    EXPECT_EQ(page_.messages(), std::vector<std::string>{kMessageNoRtsToggle});
    channel_.ClosePort();
    channel_.settings().dcb.fRtsControl = comm::RTS_CONTROL_ENABLE;
    Open();
    channel_.ApplySettings(changed);  // a toggle asked of the open port
    channel_.ApplySettings(changed);
    EXPECT_EQ(page_.messages(),
              (std::vector<std::string>{kMessageNoRtsToggle, kMessageNoRtsToggle}));
}

// A driver takes a rate it cannot make as the nearest it can: the page is told after the open
// and after a change, and a rate taken as asked, or within 2 %, says nothing.
TEST_F(ScriptedChannelTest, ARateThePortTakesAsAnotherIsSaid) {
    port_->SetFastestBaud(921600);
    channel_.settings().dcb.BaudRate = 5000000;
    Open();
    channel_.SayIfBaudNotTaken(5000000);
    LineSettings changed = channel_.settings();
    for (uint32_t baud : {115200u, 4000000u, 921600u}) {
        changed.dcb.BaudRate = baud;
        channel_.ApplySettings(changed);
        channel_.SayIfBaudNotTaken(baud);
    }
    channel_.SayIfBaudNotTaken(930000);  // the UART's rounding
    EXPECT_EQ(page_.messages(),
              (std::vector<std::string>{"串口不接受波特率 5000000, 现用 921600",
                                        "串口不接受波特率 4000000, 现用 921600"}));
}

TEST(SerialChannel, ARemotePortOfTheDeviceMapOpensAtItsAddress) {
    char map_path[] = "/tmp/remote-map-XXXXXX";
    const int fd = mkstemp(map_path);
    ASSERT_GE(fd, 0);
    const std::string line = "lab1=rfc2217://benchpc:7000\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
    std::vector<std::string> opened;
    SerialChannel channel([&](const std::string& path) {
        opened.push_back(path);
        return comm::OpenResult{nullptr, comm::CommStatus::Failure("connect", ECONNREFUSED)};
    });
    channel.settings() = PanelDefaultLineSettings();
    SetPortName(channel.settings(), "lab1");
    RecordingPage page;
    setenv("PORVANE_DEVICE_MAP", map_path, 1);
    EXPECT_EQ(channel.OpenPort(&page), 0);
    unsetenv("PORVANE_DEVICE_MAP");
    unlink(map_path);
    EXPECT_EQ(opened, std::vector<std::string>{"rfc2217://benchpc:7000"});
    EXPECT_EQ(page.messages(), std::vector<std::string>{"串口被占用!!"});
}

TEST_F(ScriptedChannelTest, BusyPortAndEmptyNameReportBusy) {
    port_->SetBusy(true);
    EXPECT_EQ(channel_.OpenPort(&page_), 0);
    SetPortName(channel_.settings(), "");
    EXPECT_EQ(channel_.OpenPort(&page_), 0);
    EXPECT_EQ(page_.messages(), (std::vector<std::string>{"串口被占用!!", "串口被占用!!"}));
    EXPECT_FALSE(channel_.IsOpen());
}

TEST_F(ScriptedChannelTest, OneWakeUpReportsModemThenSendEmptyThenReadThenData) {
    port_->SetModemStatus(comm::MS_CTS_ON);  // raised before the mask: not reported
    Open();
    port_->HoldTransmit(true);
    const uint8_t out[] = {1, 2, 3};
    channel_.WritePort(out, 3);
    port_->InjectEvents(comm::EV_CTS | comm::EV_RLSD | comm::EV_TXEMPTY | comm::EV_RXCHAR,
                        {0x41, 0x42});
    ASSERT_TRUE(page_.WaitForCode(PN_RECV_DATA));
    auto entries = page_.entries();
    ASSERT_GE(entries.size(), 4u);
    EXPECT_EQ(entries[0].code, PN_MODEM_STATUS);
    EXPECT_EQ(entries[0].value, comm::MS_CTS_ON);
    EXPECT_EQ(entries[1].code, PN_SEND_EMPTY);
    EXPECT_EQ(entries[1].value, 3u);
    EXPECT_EQ(entries[2].code, PN_RECV_COUNT);
    EXPECT_EQ(entries[2].value, 2u);
    EXPECT_EQ(entries[3].code, PN_RECV_DATA);
    EXPECT_EQ(entries[3].bytes, (std::vector<uint8_t>{0x41, 0x42}));

    // The read on after them found nothing and is not reported: the next wake-up (CTS drops)
    // follows at once.
    port_->SetModemStatus(0);
    ASSERT_TRUE(page_.WaitFor(
        [](const auto& all, const std::string&) { return all.back().code == PN_MODEM_STATUS; }));
    EXPECT_EQ(page_.codes(), (std::vector<uint32_t>{PN_MODEM_STATUS, PN_SEND_EMPTY, PN_RECV_COUNT,
                                                    PN_RECV_DATA, PN_MODEM_STATUS}));
}

TEST_F(ScriptedChannelTest, ReceiveEventWithNothingQueuedStillReportsZero) {
    Open();
    port_->InjectEvents(comm::EV_RXCHAR);
    ASSERT_TRUE(page_.WaitForCode(PN_RECV_DATA));
    auto entries = page_.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].code, PN_RECV_COUNT);
    EXPECT_EQ(entries[0].value, 0u);
    EXPECT_EQ(entries[1].value, 0u);
}

TEST_F(ScriptedChannelTest, WriteCountersAndSendEmptyRestartFromZero) {
    const uint8_t bytes[10] = {};
    EXPECT_EQ(channel_.WritePort(bytes, 10), 0u);  // closed: nothing counted
    EXPECT_EQ(channel_.bytes_written_total(), 0u);
    Open();
    port_->SetWriteCompletesAtOnce(false);
    port_->HoldTransmit(true);
    EXPECT_EQ(channel_.WritePort(bytes, 5), 0u);  // under way
    EXPECT_EQ(channel_.WritePort(bytes, 7), 0u);
    EXPECT_EQ(channel_.bytes_written_total(), 12u);
    EXPECT_EQ(channel_.bytes_written_since_send_empty(), 12u);
    port_->HoldTransmit(false);
    ASSERT_TRUE(page_.WaitForCode(PN_SEND_EMPTY));
    EXPECT_EQ(page_.entries().back().value, 12u);
    page_.Clear();
    port_->SetWriteCompletesAtOnce(true);
    EXPECT_EQ(channel_.WritePort(bytes, 3), 3u);
    ASSERT_TRUE(page_.WaitForCode(PN_SEND_EMPTY));
    EXPECT_EQ(page_.entries().back().value, 3u);
    EXPECT_EQ(channel_.bytes_written_total(), 15u);
}

TEST_F(ScriptedChannelTest, ModemLinesAndErrorCountersReachThePage) {
    Open();
    EXPECT_EQ(channel_.GetModemControl(), 0x03);  // DTR and RTS enabled
    port_->SetModemStatus(comm::MS_DSR_ON | comm::MS_RLSD_ON);
    ASSERT_TRUE(page_.WaitForCode(PN_MODEM_STATUS));
    EXPECT_EQ(page_.entries()[0].value, comm::MS_DSR_ON | comm::MS_RLSD_ON);
    port_->AddLineErrors(2, 3, 4, 5);
    comm::SerialStats stats;
    channel_.GetPortStatistics(&stats);
    EXPECT_EQ(stats.FrameErrorCount, 2u);
    EXPECT_EQ(stats.SerialOverrunErrorCount, 3u);
    EXPECT_EQ(stats.BufferOverrunErrorCount, 4u);
    EXPECT_EQ(stats.ParityErrorCount, 5u);
    channel_.ClearPortStatistics();
    channel_.GetPortStatistics(&stats);
    EXPECT_EQ(stats.ParityErrorCount, 0u);
}

TEST_F(ScriptedChannelTest, ClosedChannelLeavesRecordsAlone) {
    comm::SerialStats stats;
    stats.ReceivedCount = 7;
    channel_.GetPortStatistics(&stats);
    EXPECT_EQ(stats.ReceivedCount, 7u);
    EXPECT_EQ(channel_.GetModemControl(), 0);
    EXPECT_EQ(channel_.ClosePort(), 1);
    uint8_t buffer[4];
    EXPECT_EQ(channel_.ReadPort(buffer, 4), 0u);
    EXPECT_TRUE(page_.entries().empty());
}

TEST_F(ScriptedChannelTest, StatisticsRestartAtEveryOpen) {
    Open();
    port_->Receive({1, 2, 3});
    ASSERT_TRUE(page_.WaitForCode(PN_RECV_DATA));
    comm::SerialStats stats;
    channel_.GetPortStatistics(&stats);
    EXPECT_EQ(stats.ReceivedCount, 3u);
    channel_.ClosePort();
    Open();
    channel_.GetPortStatistics(&stats);
    EXPECT_EQ(stats.ReceivedCount, 0u);
    EXPECT_EQ(channel_.bytes_read_total(), 0u);
}

TEST_F(ScriptedChannelTest, VanishingPortIsReportedOnceAndItsWritesAreNotCounted) {
    Open();
    const uint8_t out[] = {1, 2, 3};
    channel_.WritePort(out, 3);
    port_->Vanish();
    ASSERT_TRUE(page_.WaitForCode(PN_PORT_GONE));
    EXPECT_EQ(channel_.WritePort(out, 3), 0u);
    EXPECT_EQ(channel_.bytes_written_total(), 3u);  // only the bytes the line took
    EXPECT_EQ(channel_.ClosePort(), 1);
    EXPECT_FALSE(channel_.IsOpen());
    EXPECT_FALSE(port_->IsOpen());
    const std::vector<uint32_t> codes = page_.codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), uint32_t{PN_PORT_GONE}), 1);
}

TEST_F(ScriptedChannelTest, ClosingThePortIsNotAVanishedPort) {
    Open();
    EXPECT_EQ(channel_.ClosePort(), 1);
    const std::vector<uint32_t> codes = page_.codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), uint32_t{PN_PORT_GONE}), 0);
}

// The line tester's hooks, recorded.
class CountingTester : public ChannelTester {
  public:
    void OnTestSettings(const TestSettings& s) override { settings = s; }
    void OnPortOpened() override { ++opens; }
    uint32_t GenerateBlock(uint8_t* block, uint32_t capacity) override {
        for (uint32_t i = 0; i < capacity; ++i)
            block[i] = static_cast<uint8_t>(i);
        ++blocks;
        return capacity;
    }
    void CheckReceived(const uint8_t*, uint32_t count) override { checked += count; }

    TestSettings settings;
    int opens = 0;
    std::atomic<int> blocks{0};
    std::atomic<uint32_t> checked{0};
};

TEST_F(ScriptedChannelTest, TesterHooksRunOnlyWhileTheTestRuns) {
    CountingTester tester;
    channel_.SetTester(&tester);
    Open();
    EXPECT_EQ(tester.opens, 1);
    port_->Receive({1, 2});
    ASSERT_TRUE(page_.WaitForCode(PN_RECV_DATA));
    port_->InjectEvents(comm::EV_RING);  // handled only after the received block is done with
    ASSERT_TRUE(page_.WaitForCode(PN_MODEM_STATUS));
    EXPECT_EQ(tester.checked.load(), 0u);

    TestSettings running;
    running.running = 1;
    channel_.HandOverTestSettings(running);
    EXPECT_EQ(tester.settings.running, 1u);
    page_.Clear();
    port_->HoldTransmit(true);  // the generated block stays on the line: no further wake-up
    port_->InjectEvents(comm::EV_TXEMPTY);
    ASSERT_TRUE(page_.WaitForCode(PN_SEND_EMPTY));
    EXPECT_EQ(tester.blocks.load(), 1);
    EXPECT_EQ(port_->Written().size(), 1000u);
    EXPECT_EQ(page_.entries()[0].value, 1000u);  // the block written on this very wake-up
    port_->Receive({3, 4, 5});
    for (int i = 0; i < 30000 && tester.checked.load() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    channel_.WithTester([](ChannelTester&) {});  // the lock is free between blocks
    EXPECT_EQ(tester.checked.load(), 3u);
    channel_.ClosePort();
}

// A channel on a real pseudo-terminal.
class PtyChannelTest : public ::testing::Test {
  protected:
    PtyChannelTest() {
        channel_.settings() = PanelDefaultLineSettings();
        SetPortName(channel_.settings(), pty_.slave_path());
    }
    PtyPair pty_;
    RecordingPage page_;
    SerialChannel channel_;
};

TEST_F(PtyChannelTest, MegabytesLoopBackWithoutLossOrReordering) {
    ASSERT_EQ(channel_.OpenPort(&page_), 1);
    const std::string data = RandomData(3 << 20, 7);
    ASSERT_TRUE(EchoedWhole(channel_, page_, pty_, data));
    EXPECT_TRUE(page_.received() == data);
    EXPECT_EQ(channel_.bytes_written_total(), data.size());
    EXPECT_EQ(channel_.bytes_read_total(), data.size());
    comm::SerialStats stats = StatisticsOnceSent(channel_, data.size());
    EXPECT_EQ(stats.TransmittedCount, data.size());
    EXPECT_EQ(stats.ReceivedCount, data.size());
    channel_.ClosePort();

    ASSERT_EQ(channel_.OpenPort(&page_), 1);  // every open starts the counters afresh
    channel_.GetPortStatistics(&stats);
    EXPECT_EQ(stats.ReceivedCount, 0u);
    EXPECT_EQ(stats.TransmittedCount, 0u);
}

TEST_F(PtyChannelTest, HeldPortIsBusyForASecondChannel) {
    ASSERT_EQ(channel_.OpenPort(&page_), 1);
    RecordingPage other;  // outlives the channel that reports to it
    SerialChannel second;
    second.settings() = channel_.settings();
    EXPECT_EQ(second.OpenPort(&other), 0);
    EXPECT_EQ(other.messages(), std::vector<std::string>{"串口被占用!!"});
    channel_.ClosePort();
    EXPECT_EQ(second.OpenPort(&other), 1);
}

TEST_F(PtyChannelTest, MissingDeviceIsBusy) {
    SetPortName(channel_.settings(), "/dev/no-such-tty-at-all");
    EXPECT_EQ(channel_.OpenPort(&page_), 0);
    EXPECT_EQ(page_.messages(), std::vector<std::string>{"串口被占用!!"});
}

// A page whose notifications run on the page's own thread, as the windows' pages do.
class BridgedPage : public RecordingPage {
  public:
    // The test's thread pumps only while closing; a post says a worker waits in Call.
    BridgedPage()
        : bridge_([this] {
              std::lock_guard lock(post_mutex_);
              posted_ = true;
              post_cv_.notify_all();
          }) {}
    intptr_t PageNotify(uint32_t code, void* data) override {
        intptr_t result = 0;
        bridge_.Call([&] { result = RecordingPage::PageNotify(code, data); });
        return result;
    }
    void PumpNotifications() override { bridge_.Pump(); }
    // Returns once a notification waits for this page's thread.
    bool WaitForWaitingCall() {
        std::unique_lock lock(post_mutex_);
        return post_cv_.wait_for(lock, std::chrono::seconds(60), [this] { return posted_; });
    }

  private:
    std::mutex post_mutex_;  // guards posted_
    std::condition_variable post_cv_;
    bool posted_ = false;
    threading::NotificationBridge bridge_;
};

TEST_F(PtyChannelTest, CloseDoesNotDeadlockAgainstANotificationInFlight) {
    BridgedPage page;
    ASSERT_EQ(channel_.OpenPort(&page), 1);
    pty_.WriteAll("data that nobody on the page thread has taken yet");
    ASSERT_TRUE(page.WaitForWaitingCall());  // the event thread is blocked in Call
    EXPECT_EQ(channel_.ClosePort(), 1);
    EXPECT_FALSE(channel_.IsOpen());
    EXPECT_EQ(page.received(), "data that nobody on the page thread has taken yet");
    ASSERT_EQ(channel_.OpenPort(&page), 1);  // the port was really released
    channel_.ClosePort();
}

TEST_F(PtyChannelTest, ClosingFromInsideANotificationReleasesThePort) {
    page_.OnNotify([this](const RecordingPage::Entry& e) {
        if (e.code == PN_RECV_DATA)
            channel_.ClosePort();
    });
    ASSERT_EQ(channel_.OpenPort(&page_), 1);
    pty_.WriteAll("x");
    ASSERT_TRUE(page_.WaitForCode(PN_RECV_DATA));
    for (int i = 0; i < 12000 && channel_.IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(channel_.IsOpen());
    page_.OnNotify(nullptr);
    EXPECT_EQ(channel_.OpenPort(&page_), 1);
    channel_.ClosePort();
}

TEST_F(PtyChannelTest, FarEndHangingUpEndsTheEventThread) {
    ASSERT_EQ(channel_.OpenPort(&page_), 1);
    pty_.CloseMaster();
    ASSERT_TRUE(page_.WaitForCode(PN_PORT_GONE));
    const uint8_t out[] = {1, 2, 3};
    const uint32_t before = channel_.bytes_written_total();
    EXPECT_EQ(channel_.WritePort(out, 3), 0u);
    EXPECT_EQ(channel_.bytes_written_total(), before);  // refused, so not counted
    EXPECT_EQ(channel_.ClosePort(), 1);
}

// A channel on a real pseudo-terminal whose device's system calls pass through injected faults.
class FaultyPtyChannelTest : public ::testing::Test {
  protected:
    using Call = FaultySystemCalls::Call;

    FaultyPtyChannelTest()
        : channel_([calls = calls_](const std::string& path) {
              return comm::TermiosSerialDevice::Open(path, calls);
          }) {
        channel_.settings() = PanelDefaultLineSettings();
        SetPortName(channel_.settings(), pty_.slave_path());
    }
    PtyPair pty_;
    std::shared_ptr<FaultySystemCalls> calls_ = std::make_shared<FaultySystemCalls>();
    RecordingPage page_;
    SerialChannel channel_;
};

TEST_F(FaultyPtyChannelTest, InterruptedCallsAndShortWritesAreSurvivedByteExact) {
    ASSERT_EQ(channel_.OpenPort(&page_), 1);
    calls_->FailEvery(Call::kRead, 2, {EINTR, EAGAIN});
    calls_->FailEvery(Call::kWrite, 3, {EINTR, EAGAIN});
    calls_->FailEvery(Call::kPoll, 5, {EINTR});
    calls_->LimitWrites(61);
    const std::string data = RandomData(512 << 10, 13);
    ASSERT_TRUE(EchoedWhole(channel_, page_, pty_, data));
    EXPECT_TRUE(page_.received() == data);
    EXPECT_EQ(channel_.bytes_written_total(), data.size());
    EXPECT_EQ(channel_.bytes_read_total(), data.size());
    comm::SerialStats stats = StatisticsOnceSent(channel_, data.size());
    EXPECT_EQ(stats.TransmittedCount, data.size());
    EXPECT_EQ(stats.ReceivedCount, data.size());
    EXPECT_GT(calls_->injected(Call::kRead), 0);
    EXPECT_GT(calls_->injected(Call::kWrite), 0);
    EXPECT_GT(calls_->injected(Call::kPoll), 0);
    auto codes = page_.codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), PN_PORT_GONE), 0);
    channel_.ClosePort();
}

TEST_F(FaultyPtyChannelTest, PortVanishingMidWriteCountsOnlyWhatLeftAndIsReported) {
    ASSERT_EQ(channel_.OpenPort(&page_), 1);
    calls_->VanishAfterWriting(1500);
    std::string data(4000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    EXPECT_EQ(channel_.WritePort(reinterpret_cast<const uint8_t*>(data.data()), 4000), 0u);
    EXPECT_EQ(channel_.bytes_written_total(), 1500u);
    EXPECT_TRUE(pty_.ReadExactly(1500) == data.substr(0, 1500));
    ASSERT_TRUE(page_.WaitForCode(PN_PORT_GONE));
    EXPECT_EQ(channel_.ClosePort(), 1);
}

}  // namespace
}  // namespace porvane::serial
