#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

#include "platform/comm/termios_serial_device.h"
#include "platform/comm/testing/faulty_system_calls.h"
#include "platform/comm/testing/pty_pair.h"

namespace comm {
namespace {

using testing::FaultySystemCalls;
using testing::PtyPair;
using Call = FaultySystemCalls::Call;

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

const uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// A device on a real pseudo-terminal whose system calls pass through injected faults.
class TermiosSerialDeviceFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OpenResult opened = TermiosSerialDevice::Open(pty_.slave_path(), calls_);
        ASSERT_TRUE(opened.status) << opened.status.Describe();
        device_.reset(static_cast<TermiosSerialDevice*>(opened.device.release()));
    }

    // Returns once n waits or reads have begun, so that a fault reaches a pending call.
    void AwaitCallsBegun(uint64_t n) {
        while (device_->calls_begun() < n)
            std::this_thread::yield();
    }

    PtyPair pty_;
    std::shared_ptr<FaultySystemCalls> calls_ = std::make_shared<FaultySystemCalls>();
    std::unique_ptr<TermiosSerialDevice> device_;
};

TEST_F(TermiosSerialDeviceFaultTest, ReadsSurviveInterruptedAndWouldBlockCalls) {
    CommTimeouts t;
    t.ReadTotalTimeoutConstant = 10000;  // the read ends when all bytes are in, long before
    device_->SetTimeouts(t);
    pty_.WriteAll("hello, world");
    calls_->FailNext(Call::kRead, {EINTR, EINTR, EAGAIN, EINTR});
    calls_->FailNext(Call::kPoll, {EINTR});
    uint8_t buffer[12];
    size_t got = 0;
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "hello, world");
    EXPECT_EQ(calls_->injected(Call::kRead), 4);
    EXPECT_EQ(calls_->injected(Call::kPoll), 1);
    SerialStats stats;
    device_->GetStatistics(stats);
    EXPECT_EQ(stats.ReceivedCount, 12u);
}

TEST_F(TermiosSerialDeviceFaultTest, InterruptedPollsKeepTheirTimeLimits) {
    calls_->FailEvery(Call::kPoll, 2, {EINTR});
    ASSERT_TRUE(device_->SetEventMask(EV_RXCHAR));
    uint32_t events = 0;
    EXPECT_EQ(device_->WaitEventFor(events, 60).error(), ETIMEDOUT);

    CommTimeouts t;
    t.ReadTotalTimeoutConstant = 60;
    device_->SetTimeouts(t);
    uint8_t buffer[4];
    size_t got = 9;
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);  // the time-out, not a failure
    EXPECT_GT(calls_->injected(Call::kPoll), 0);

    const uint64_t begun = device_->calls_begun();
    std::thread later([&] {
        AwaitCallsBegun(begun + 1);
        pty_.WriteAll("q");
    });
    ASSERT_TRUE(device_->WaitEvent(events));  // an interrupted wait goes on waiting
    later.join();
    EXPECT_EQ(events, EV_RXCHAR);
}

TEST_F(TermiosSerialDeviceFaultTest, ShortInterruptedAndRefusedWritesArriveInOrder) {
    const std::string data = RandomBytes(256 << 10, 11);
    calls_->LimitWrites(61);
    calls_->FailEvery(Call::kWrite, 3, {EINTR, EAGAIN});
    calls_->FailEvery(Call::kPoll, 4, {EINTR});
    std::string received;
    std::thread reader([&] { received = pty_.ReadExactly(data.size(), 60000); });
    for (size_t at = 0; at < data.size(); at += 1000) {
        size_t now = 0;
        ASSERT_TRUE(
            device_->WriteAsync(Bytes(data) + at, std::min<size_t>(1000, data.size() - at), now));
    }
    reader.join();
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
    EXPECT_GT(calls_->injected(Call::kWrite), 0);
    // The far end can hold the last bytes a moment before the writer thread, back from its
    // write, has counted them.
    SerialStats stats;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
        device_->GetStatistics(stats);
        std::this_thread::yield();
    } while (stats.TransmittedCount < data.size() && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(stats.TransmittedCount, data.size());
}

TEST_F(TermiosSerialDeviceFaultTest, WaitingWriteCountsShortWritesWholeAndReportsTransmitEmpty) {
    ASSERT_TRUE(device_->SetEventMask(EV_TXEMPTY));
    calls_->LimitWrites(5);
    calls_->FailNext(Call::kWrite, {EINTR, EAGAIN});  // the second sends the rest to the queue
    const std::string data = "twenty-three bytes long";
    std::string received;
    std::thread reader([&] { received = pty_.ReadExactly(data.size()); });
    size_t written = 0;
    ASSERT_TRUE(device_->Write(Bytes(data), data.size(), written));
    reader.join();
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(received, data);
    uint32_t events = 0;
    ASSERT_TRUE(device_->WaitEvent(events));
    EXPECT_EQ(events, EV_TXEMPTY);
}

TEST_F(TermiosSerialDeviceFaultTest, DeviceVanishingMidWriteCountsOnlyWhatLeft) {
    const std::string data = RandomBytes(5000, 12);
    calls_->LimitWrites(300);  // several writes, some from the queue's thread
    calls_->FailEvery(Call::kWrite, 2, {EAGAIN});
    calls_->VanishAfterWriting(1000);
    std::string received;
    std::thread reader([&] { received = pty_.ReadExactly(1000); });
    size_t written = 0;
    EXPECT_EQ(device_->Write(Bytes(data), data.size(), written).error(), EIO);
    reader.join();
    EXPECT_EQ(written, 1000u);
    EXPECT_TRUE(received == data.substr(0, 1000));
    SerialStats stats;
    device_->GetStatistics(stats);
    EXPECT_EQ(stats.TransmittedCount, 1000u);
    size_t now = 9;
    EXPECT_EQ(device_->WriteAsync(Bytes(data), 10, now).error(), EIO);
    EXPECT_EQ(now, 0u);
}

TEST_F(TermiosSerialDeviceFaultTest, DeviceVanishingEndsAPendingWaitAndEveryLaterCall) {
    ASSERT_TRUE(device_->SetEventMask(EV_RXCHAR));
    uint32_t events = 0;
    CommStatus waited;
    std::thread waiter([&] { waited = device_->WaitEvent(events); });
    AwaitCallsBegun(1);
    calls_->Vanish();
    pty_.WriteAll("x");  // wakes the poll, which now finds the terminal hung up
    waiter.join();
    EXPECT_EQ(waited.error(), EIO);

    uint8_t buffer[4];
    size_t got = 0;
    EXPECT_EQ(device_->Read(buffer, sizeof buffer, got).error(), EIO);
    QueueStatus queue;
    EXPECT_EQ(device_->ClearError(nullptr, &queue).error(), EIO);
    size_t written = 9;
    EXPECT_EQ(device_->Write(buffer, sizeof buffer, written).error(), EIO);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(device_->WaitEvent(events).error(), EIO);
}

}  // namespace
}  // namespace comm
