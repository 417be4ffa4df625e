#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/termios_serial_device.h"
#include "platform/comm/testing/pty_pair.h"

namespace comm {
namespace {

using Clock = std::chrono::steady_clock;
using testing::PtyPair;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

class TermiosSerialDeviceTest : public ::testing::Test {
  protected:
    // Returns once n waits or reads have begun on the device, so that what the test does next
    // reaches a pending call (however slowly the other thread got there).
    void AwaitCallsBegun(uint64_t n) {
        auto* termios_device = static_cast<TermiosSerialDevice*>(device_.get());
        while (termios_device->calls_begun() < n)
            std::this_thread::yield();
    }

    void SetUp() override {
        OpenResult opened = OpenSerialDevice(pty_.slave_path());
        ASSERT_TRUE(opened.status) << opened.status.Describe();
        device_ = std::move(opened.device);
    }

    Dcb Line(uint32_t baud) {
        Dcb dcb;
        EXPECT_TRUE(device_->GetState(dcb));
        dcb.BaudRate = baud;
        return dcb;
    }

    KernelTermios TtyState() {
        KernelTermios t;
        EXPECT_TRUE(GetKernelTermios(pty_.master(), t));  // the master reads the slave's termios
        return t;
    }

    PtyPair pty_;
    std::unique_ptr<SerialDevice> device_;
};

TEST_F(TermiosSerialDeviceTest, EveryListedBaudRateReachesTheTty) {
    const uint32_t bauds[] = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                              19200, 38400, 56000, 57600, 115200, 128000, 256000, 512000};
    for (uint32_t baud : bauds) {
        SCOPED_TRACE(baud);
        ASSERT_TRUE(device_->SetState(Line(baud)));
        EXPECT_EQ(TtyState().ospeed, baud);
        EXPECT_EQ(TtyState().ispeed, baud);
        Dcb back;
        ASSERT_TRUE(device_->GetState(back));
        EXPECT_EQ(back.BaudRate, baud);
    }
}

TEST_F(TermiosSerialDeviceTest, StopBitsAndFlowControlReachTheTty) {
    Dcb dcb = Line(9600);
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(device_->SetState(dcb));
    KernelTermios t = TtyState();
    EXPECT_TRUE(t.cflag & TermiosBits::kCstopb);
    EXPECT_TRUE(t.cflag & TermiosBits::kCrtscts);
    EXPECT_TRUE(t.iflag & TermiosBits::kIxon);
    EXPECT_TRUE(t.iflag & TermiosBits::kIxoff);
    EXPECT_EQ(t.cc[TermiosBits::kVstart], 0x11);
    EXPECT_EQ(t.cc[TermiosBits::kVstop], 0x13);

    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutX = dcb.fInX = 0;
    ASSERT_TRUE(device_->SetState(dcb));
    t = TtyState();
    EXPECT_FALSE(t.cflag & TermiosBits::kCstopb);
    EXPECT_FALSE(t.cflag & TermiosBits::kCrtscts);
    EXPECT_FALSE(t.iflag & TermiosBits::kIxon);
}

TEST_F(TermiosSerialDeviceTest, RefusedStateChangesNothing) {
    ASSERT_TRUE(device_->SetState(Line(19200)));
    Dcb bad = Line(9600);
    bad.ByteSize = 9;
    CommStatus status = device_->SetState(bad);
    EXPECT_EQ(status.error(), EINVAL);
    EXPECT_EQ(TtyState().ospeed, 19200u);
}

TEST_F(TermiosSerialDeviceTest, SecondOpenIsRefusedInThisProcessAndAnother) {
    OpenResult second = OpenSerialDevice(pty_.slave_path());
    EXPECT_FALSE(second.device);
    EXPECT_EQ(second.status.error(), EBUSY);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OpenResult there = OpenSerialDevice(pty_.slave_path());
        _exit(there.device ? 0 : (there.status.error() == EBUSY ? 3 : 4));
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);

    device_.reset();
    OpenResult again = OpenSerialDevice(pty_.slave_path());
    EXPECT_TRUE(again.device) << again.status.Describe();
}

TEST(TermiosSerialDeviceOpen, MissingDeviceAndNonTerminalFail) {
    OpenResult missing = OpenSerialDevice("/dev/no-such-port-here");
    EXPECT_FALSE(missing.device);
    EXPECT_EQ(missing.status.error(), ENOENT);
    OpenResult empty = OpenSerialDevice("");
    EXPECT_FALSE(empty.device);
    OpenResult not_tty = OpenSerialDevice("/dev/null");
    EXPECT_FALSE(not_tty.device);
    EXPECT_EQ(DevicePathForPort("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(DevicePathForPort("/tmp/vport"), "/tmp/vport");
    EXPECT_EQ(DevicePathForPort("./vport"), "./vport");  // relative to the working folder
    EXPECT_EQ(DevicePathForPort("../vport"), "../vport");
}

TEST_F(TermiosSerialDeviceTest, ManyMegabytesOutInOrder) {
    const std::string data = RandomBytes(8 << 20, 1);
    std::string received;
    std::thread reader([&] { received = pty_.ReadExactly(data.size(), 60000); });
    for (size_t at = 0; at < data.size(); at += 1000) {
        size_t n = std::min<size_t>(1000, data.size() - at);
        size_t now;
        ASSERT_TRUE(
            device_->WriteAsync(reinterpret_cast<const uint8_t*>(data.data() + at), n, now));
    }
    reader.join();
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
    SerialStats stats;
    ASSERT_TRUE(device_->GetStatistics(stats));
    EXPECT_EQ(stats.TransmittedCount, data.size());
}

TEST_F(TermiosSerialDeviceTest, ManyMegabytesInThroughEventsAndReads) {
    const std::string data = RandomBytes(4 << 20, 2);
    ASSERT_TRUE(device_->SetEventMask(EV_RXCHAR));
    CommTimeouts t;
    t.ReadIntervalTimeout = 1;
    device_->SetTimeouts(t);
    std::thread writer([&] { pty_.WriteAll(data); });
    std::string received;
    uint8_t buffer[2048];
    while (received.size() < data.size()) {
        uint32_t events = 0;
        ASSERT_TRUE(device_->WaitEvent(events));
        if (!(events & EV_RXCHAR))
            continue;
        QueueStatus queue;
        ASSERT_TRUE(device_->ClearError(nullptr, &queue));
        size_t got = 0;
        ASSERT_TRUE(device_->Read(buffer, std::min<size_t>(queue.in_queue, sizeof buffer), got));
        received.append(reinterpret_cast<char*>(buffer), got);
    }
    writer.join();
    EXPECT_TRUE(received == data);
    SerialStats stats;
    ASSERT_TRUE(device_->GetStatistics(stats));
    EXPECT_EQ(stats.ReceivedCount, data.size());
    EXPECT_EQ(stats.FrameErrorCount, 0u);
    ASSERT_TRUE(device_->ClearStatistics());
    ASSERT_TRUE(device_->GetStatistics(stats));
    EXPECT_EQ(stats.ReceivedCount, 0u);
}

TEST_F(TermiosSerialDeviceTest, ReadTimeoutRules) {
    uint8_t buffer[16];
    size_t got = 99;

    CommTimeouts total;
    total.ReadTotalTimeoutConstant = 150;
    device_->SetTimeouts(total);
    auto start = Clock::now();
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(MsSince(start), 150);

    CommTimeouts interval;
    interval.ReadIntervalTimeout = 50;
    device_->SetTimeouts(interval);
    pty_.WriteAll("abc");
    start = Clock::now();
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 3u);
    EXPECT_GE(MsSince(start), 45);

    CommTimeouts immediate;
    immediate.ReadIntervalTimeout = kMaxDword;
    device_->SetTimeouts(immediate);
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));  // nothing queued: returns empty
    EXPECT_EQ(got, 0u);

    CommTimeouts first_byte{kMaxDword, kMaxDword, 60000, 0, 0};
    device_->SetTimeouts(first_byte);
    const uint64_t begun = static_cast<TermiosSerialDevice*>(device_.get())->calls_begun();
    std::thread later([&] {
        AwaitCallsBegun(begun + 1);  // the byte comes while the read waits for it
        pty_.WriteAll("z");
    });
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    later.join();
    EXPECT_EQ(got, 1u);  // the first byte ended the read, well before its 60 s
}

TEST_F(TermiosSerialDeviceTest, ReadQueuedTakesWhatWaitsWhateverTheTimeouts) {
    device_->SetTimeouts(CommTimeouts{});  // all zero: a Read of 16 would wait for all 16
    uint8_t buffer[16];
    size_t got = 99;
    ASSERT_TRUE(device_->ReadQueued(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    pty_.WriteAll("abc");
    ASSERT_TRUE(pty_.WaitSlaveQueued(3));
    ASSERT_TRUE(device_->ReadQueued(buffer, 2, got));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "ab");
    ASSERT_TRUE(device_->ReadQueued(buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "c");
    device_->CancelIo();
    EXPECT_EQ(device_->ReadQueued(buffer, sizeof buffer, got).error(), ECANCELED);
}

TEST_F(TermiosSerialDeviceTest, WaitsEndOnMaskChangeAndCancel) {
    ASSERT_TRUE(device_->SetEventMask(EV_RXCHAR | EV_TXEMPTY));
    uint32_t events = 123;
    CommStatus status;
    std::thread waiter([&] { status = device_->WaitEvent(events); });
    AwaitCallsBegun(1);
    device_->SetEventMask(0);
    waiter.join();
    EXPECT_TRUE(status);
    EXPECT_EQ(events, 0u);

    uint8_t buffer[4];
    size_t got = 0;
    CommStatus read_status;
    std::thread reader([&] { read_status = device_->Read(buffer, sizeof buffer, got); });
    AwaitCallsBegun(2);
    device_->CancelIo();
    reader.join();
    EXPECT_EQ(read_status.error(), ECANCELED);
    EXPECT_EQ(device_->WaitEvent(events).error(), ECANCELED);
}

TEST_F(TermiosSerialDeviceTest, TimedWaitGivesUpOrReturnsAtOnce) {
    ASSERT_TRUE(device_->SetEventMask(EV_RXCHAR));
    uint32_t events = 0;
    auto start = Clock::now();
    EXPECT_EQ(device_->WaitEventFor(events, 80).error(), ETIMEDOUT);
    EXPECT_GE(MsSince(start), 80);
    pty_.WriteAll("q");
    ASSERT_TRUE(device_->WaitEventFor(events, 1000));  // queued bytes: no time-out
    EXPECT_EQ(events, EV_RXCHAR);
    ASSERT_TRUE(pty_.WaitSlaveQueued(1));
    events = 0;
    ASSERT_TRUE(device_->WaitEventFor(events, 0));  // no time to wait, yet bytes wait
    EXPECT_EQ(events, EV_RXCHAR);
}

TEST_F(TermiosSerialDeviceTest, ReceiveAbortEndsAPendingRead) {
    uint8_t buffer[4];
    size_t got = 0;
    CommStatus status;
    std::thread reader([&] { status = device_->Read(buffer, sizeof buffer, got); });
    AwaitCallsBegun(1);
    device_->Purge(PURGE_RXABORT);
    reader.join();
    EXPECT_EQ(status.error(), ECANCELED);
}

TEST_F(TermiosSerialDeviceTest, ReportsReceivedAndTransmitEmpty) {
    ASSERT_TRUE(device_->SetEventMask(EV_RXCHAR | EV_TXEMPTY));
    const uint8_t hello[] = {'h', 'i'};
    size_t now = 0;
    ASSERT_TRUE(device_->WriteAsync(hello, 2, now));
    EXPECT_EQ(now, 2u);
    uint32_t events = 0;
    ASSERT_TRUE(device_->WaitEvent(events));
    EXPECT_EQ(events, EV_TXEMPTY);
    EXPECT_EQ(pty_.ReadExactly(2), "hi");

    pty_.WriteAll("x");
    ASSERT_TRUE(device_->WaitEvent(events));
    EXPECT_EQ(events, EV_RXCHAR);

    // Both at once: one wake-up reports them together.
    ASSERT_TRUE(pty_.WaitSlaveQueued(1));
    ASSERT_TRUE(device_->WriteAsync(hello, 2, now));
    ASSERT_EQ(now, 2u);  // gone out at once: drained when the wait looks
    ASSERT_TRUE(device_->WaitEvent(events));
    EXPECT_EQ(events, EV_TXEMPTY | EV_RXCHAR);
}

TEST_F(TermiosSerialDeviceTest, VanishedDeviceEndsWaitsAndReadsWithAnError) {
    ASSERT_TRUE(device_->SetEventMask(EV_RXCHAR));
    pty_.CloseMaster();
    uint32_t events = 0;
    CommStatus status = device_->WaitEvent(events);
    EXPECT_FALSE(status);
    uint8_t buffer[4];
    size_t got = 0;
    EXPECT_FALSE(device_->Read(buffer, sizeof buffer, got));
    EXPECT_TRUE(device_->ReadQueued(buffer, sizeof buffer, got).DeviceGone());
    size_t now = 0;
    CommStatus write_status = device_->WriteAsync(buffer, sizeof buffer, now);
    EXPECT_EQ(write_status.error(), EIO);  // nothing goes out, and the caller hears so
    EXPECT_EQ(now, 0u);
    size_t written = 99;
    EXPECT_EQ(device_->Write(buffer, sizeof buffer, written).error(), EIO);
    EXPECT_EQ(written, 0u);
    SerialStats stats;
    device_->GetStatistics(stats);
    EXPECT_EQ(stats.TransmittedCount, 0u);
}

TEST_F(TermiosSerialDeviceTest, QueuedBytesOfAVanishedDeviceAreNotCountedAsSent) {
    // More than the terminal holds: the tail waits in the writer's queue.
    const std::string big = RandomBytes(1 << 20, 5);
    size_t now = 0;
    ASSERT_TRUE(device_->WriteAsync(reinterpret_cast<const uint8_t*>(big.data()), big.size(), now));
    EXPECT_EQ(now, 0u);
    SerialStats before;
    device_->GetStatistics(before);
    ASSERT_LT(before.TransmittedCount, big.size());
    size_t written = 0;
    std::thread writer([&] {
        // Waits behind the queue until the device goes away.
        const uint8_t tail[3] = {1, 2, 3};
        EXPECT_EQ(device_->Write(tail, 3, written).error(), EIO);
    });
    pty_.CloseMaster();
    writer.join();
    EXPECT_EQ(written, 0u);
    SerialStats after;
    device_->GetStatistics(after);
    EXPECT_LT(after.TransmittedCount, big.size());
    EXPECT_EQ(device_->WriteAsync(reinterpret_cast<const uint8_t*>(big.data()), 1, now).error(),
              EIO);
}

TEST_F(TermiosSerialDeviceTest, WriteTimeoutTakesBackWhatDidNotLeave) {
    CommTimeouts t;
    t.WriteTotalTimeoutConstant = 200;
    device_->SetTimeouts(t);
    const std::string big = RandomBytes(2 << 20, 3);  // far more than the terminal buffers
    size_t written = 0;
    auto start = Clock::now();
    ASSERT_TRUE(device_->Write(reinterpret_cast<const uint8_t*>(big.data()), big.size(), written));
    EXPECT_GE(MsSince(start), 190);
    EXPECT_LT(written, big.size());
    QueueStatus queue;
    ASSERT_TRUE(device_->ClearError(nullptr, &queue));
    std::string arrived = pty_.ReadExactly(written, 60000);
    EXPECT_TRUE(arrived == big.substr(0, written));
    size_t now = 0;
    const uint8_t marker = '!';
    ASSERT_TRUE(device_->WriteAsync(&marker, 1, now));
    EXPECT_EQ(pty_.ReadExactly(1), "!");  // the taken-back bytes never follow
}

TEST_F(TermiosSerialDeviceTest, TimedOutWriteBehindEarlierBytesTakesBackOnlyItsOwn) {
    const std::string big = RandomBytes(1 << 20, 6);
    size_t now = 0;
    ASSERT_TRUE(device_->WriteAsync(reinterpret_cast<const uint8_t*>(big.data()), big.size(), now));
    EXPECT_EQ(now, 0u);  // nobody reads the far end yet: most of it waits in the queue
    CommTimeouts t;
    t.WriteTotalTimeoutConstant = 100;
    device_->SetTimeouts(t);
    const uint8_t tail[3] = {'e', 'n', 'd'};
    size_t written = 99;
    ASSERT_TRUE(device_->Write(tail, 3, written));
    EXPECT_EQ(written, 0u);  // none of its own bytes left, whatever waits before them
    std::string arrived = pty_.ReadExactly(big.size(), 60000);
    EXPECT_TRUE(arrived == big);  // the earlier write is not cut short
    const uint8_t marker = '!';
    ASSERT_TRUE(device_->WriteAsync(&marker, 1, now));
    EXPECT_EQ(pty_.ReadExactly(1), "!");  // the taken-back bytes never follow
}

TEST_F(TermiosSerialDeviceTest, PseudoTerminalHasNoModemLinesButCountsBytes) {
    auto* termios_device = static_cast<TermiosSerialDevice*>(device_.get());
    EXPECT_FALSE(termios_device->HasLineCounters());
    uint32_t control = 77;
    EXPECT_FALSE(device_->GetModemControl(control));
    EXPECT_EQ(control, 0u);
    pty_.WriteAll("12345");
    CommTimeouts t;
    t.ReadTotalTimeoutConstant = 1000;
    device_->SetTimeouts(t);
    uint8_t buffer[5];
    size_t got = 0;
    ASSERT_TRUE(device_->Read(buffer, 5, got));
    SerialStats stats;
    device_->GetStatistics(stats);
    EXPECT_EQ(stats.ReceivedCount, 5u);
    uint32_t errors = 1;
    ASSERT_TRUE(device_->ClearError(&errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

}  // namespace
}  // namespace comm
