#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/testing/scripted_port.h"
#include "reader/frame/reader_frame.h"
#include "reader/frame_exchange.h"
#include "reader/reader_port.h"
#include "reader/tests/simulated_reader.h"

namespace reader {
namespace {

using Clock = std::chrono::steady_clock;
using testing::SimulatedReader;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

ReaderPort::Opener OpenerFor(const std::string& path) {
    return [path](const std::string&) { return comm::OpenSerialDevice(path); };
}

const std::vector<uint8_t> kRequest52 = {0x00, 0x41, 0x01, 0x52, 0xED, 0x03};

TEST(ReaderPort, PortAndRateFallBacks) {
    ReaderPort port;
    EXPECT_EQ(port.port_name(), "COM1");
    EXPECT_EQ(port.read_multiplier(), 0u);
    EXPECT_FALSE(port.SelectPort(7));
    EXPECT_EQ(port.port_name(), "COM1");
    EXPECT_TRUE(port.SelectPort(2));
    EXPECT_EQ(port.port_name(), "COM2");
    EXPECT_FALSE(port.SetBaud(4800));
    EXPECT_EQ(port.baud(), 115200);
    EXPECT_EQ(port.read_multiplier(), 24u);
    EXPECT_TRUE(port.SetBaud(9600));
    EXPECT_EQ(port.read_multiplier(), 50u);
    EXPECT_TRUE(port.SetBaud(28800));
    EXPECT_EQ(port.read_multiplier(), 24u);
}

TEST(ReaderPort, OpenSetsTheLineAndRefusesASecondOpen) {
    SimulatedReader reader;
    ReaderPort port(OpenerFor(reader.path()));
    port.SetBaud(19200);
    ASSERT_TRUE(port.Open().ok());
    comm::KernelTermios t;
    ASSERT_TRUE(comm::GetKernelTermios(reader.master(), t));
    EXPECT_EQ(t.ospeed, 19200u);
    EXPECT_EQ(port.Open().error(), EBUSY);
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.Close());
}

TEST(ReaderPort, MissingDeviceFailsToOpenAndClosedPortRefusesEverything) {
    ReaderPort port(OpenerFor("/dev/no-such-reader"));
    EXPECT_EQ(port.Open().error(), ENOENT);
    uint8_t b = 0;
    EXPECT_EQ(port.Write(&b, 1, 100).error(), EBADF);
    EXPECT_EQ(port.Read(&b, 1, nullptr, 100).error(), EBADF);
    EXPECT_EQ(port.WaitForData(10).error(), EBADF);
    EXPECT_EQ(port.PurgeReceive().error(), EBADF);
    ReplyBuffer reply;
    EXPECT_EQ(Transact(port, kRequest52, reply), kNoReply);
}

class ExchangeTest : public ::testing::Test {
  protected:
    void Start(sim::SimulatorFaults faults, int baud = 115200) {
        reader_ = std::make_unique<SimulatedReader>(faults);
        port_ = std::make_unique<ReaderPort>(OpenerFor(reader_->path()));
        port_->SetBaud(baud);
        ASSERT_TRUE(port_->Open().ok());
    }
    // For cases whose outcome does not rest on how long the port waits: the simulated reader's
    // thread answers within the port's 24 ms a byte on an idle machine, not always under a
    // sanitizer on a loaded one, and a late acknowledgement costs an attempt.
    void StartWithRoomyTimeouts(sim::SimulatorFaults faults) {
        Start(faults);
        port_->ScaleTimeouts(kRoomyTimeoutScale);
    }
    static constexpr uint32_t kRoomyTimeoutScale = 20;
    std::unique_ptr<SimulatedReader> reader_;
    std::unique_ptr<ReaderPort> port_;
    ReplyBuffer reply_;
};

TEST_F(ExchangeTest, RequestGetsTheCardType) {
    StartWithRoomyTimeouts({});
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), 0x00);
    EXPECT_EQ(reply_.length(), 2);
    EXPECT_EQ(reply_.data(0), 0x04);
    EXPECT_EQ(reply_.data(1), 0x00);
    EXPECT_EQ(reader_->simulator().requests(), std::vector<std::vector<uint8_t>>{kRequest52});
}

TEST_F(ExchangeTest, ReaderThatNeverAcknowledgesCostsThreeShortAttempts) {
    Start({.never_acknowledge = true});
    auto start = Clock::now();
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), kNoReply);
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, 3 * 24);  // each attempt waits out the per-byte read time-out
    EXPECT_TRUE(reader_->simulator().requests().empty());
}

TEST_F(ExchangeTest, NeverAcknowledgingAtNineThousandSixHundredWaitsFiftyMsAnAttempt) {
    Start({.never_acknowledge = true}, 9600);
    auto start = Clock::now();
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), kNoReply);
    EXPECT_GE(MsSince(start), 3 * 50);
}

TEST_F(ExchangeTest, WrongCheckBytesAreRetried) {
    StartWithRoomyTimeouts({.bad_check_replies = 2});
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), 0x00);
    EXPECT_EQ(reader_->simulator().requests().size(), 3u);
}

TEST_F(ExchangeTest, ThreeWrongCheckBytesGiveNoReply) {
    StartWithRoomyTimeouts({.bad_check_replies = 3});
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), kNoReply);
    EXPECT_EQ(reader_->simulator().requests().size(), 3u);
}

TEST_F(ExchangeTest, ErrorStatusIsReturnedAfterOneAttempt) {
    StartWithRoomyTimeouts({.status = 0x0A});
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), 0x0A);
    EXPECT_EQ(reader_->simulator().requests().size(), 1u);
    EXPECT_EQ(reply_.length(), 0);  // a five-byte reply is accepted
}

TEST_F(ExchangeTest, RepliesInBurstsArriveWhole) {
    StartWithRoomyTimeouts({.burst_size = 2, .burst_gap_ms = 8});
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), 0x00);
    EXPECT_EQ(reply_.data(0), 0x04);
    EXPECT_EQ(reader_->simulator().requests().size(), 1u);
}

TEST_F(ExchangeTest, AGapLongerThanTheByteTimeOutBreaksTheReply) {
    // Far longer than the 24 ms a byte, so that a stalled test thread still finds the bursts
    // apart.
    Start({.burst_size = 3, .burst_gap_ms = 300});
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), kNoReply);
}

TEST_F(ExchangeTest, LateRepliesAreTakenOrGivenUpOn) {
    // Late, though within the reply's wait: 60 ms at the port's own time-outs, stretched with
    // them so that the acknowledgement before it is not missed on a loaded machine.
    StartWithRoomyTimeouts({.reply_delay_ms = 60 * kRoomyTimeoutScale});
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), 0x00);
    reader_.reset();
    port_.reset();
    Start({.reply_delay_ms = 600});
    EXPECT_EQ(Transact(*port_, kRequest52, reply_), kNoReply);  // given up before it came
}

// A reader whose reply announces 200 data bytes: more than the reply buffer can hold.
TEST(ExchangeOversized, ReplyAnnouncingTooMuchIsRefusedWithoutOverrun) {
    comm::testing::PtyPair pty;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        uint8_t b;
        while (!stop) {
            pollfd p{pty.master(), POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || read(pty.master(), &b, 1) != 1)
                continue;
            if (b == kFrameAnnounce) {
                pty.WriteAll(std::string(1, kFrameAcknowledge));
            } else if (b == kFrameEnd) {  // the request is in: announce the reply
                pty.WriteAll(std::string(1, kFrameAnnounce));
            } else if (b == kFrameAcknowledge) {
                std::string reply = {0x00, 0x00, static_cast<char>(200)};
                reply += std::string(210, '\x55');
                pty.WriteAll(reply);
            }
        }
    });
    ReaderPort port(OpenerFor(pty.slave_path()));
    port.SetBaud(115200);
    ASSERT_TRUE(port.Open().ok());
    port.ScaleTimeouts(20);  // the peer thread's answers may be late on a loaded machine
    ReplyBuffer reply;
    comm::CommStatus why;
    EXPECT_EQ(Transact(port, kRequest52, reply, &why), kNoReply);
    EXPECT_STREQ(why.operation(), "reply length");
    EXPECT_EQ(why.error(), EMSGSIZE);
    stop = true;
    peer.join();
}

// A failed exchange says which step failed and why; a good one reports success.
TEST_F(ExchangeTest, TransactReportsWhatEndedTheLastAttempt) {
    struct Row {
        const char* name;
        sim::SimulatorFaults faults;
        const char* operation;  // null: success
        int error;
    };
    const Row rows[] = {
        {"answered", {}, nullptr, 0},
        {"never acknowledged", {.never_acknowledge = true}, "acknowledge", ETIMEDOUT},
        {"wrong check bytes", {.bad_check_replies = 3}, "reply check", EBADMSG},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        reader_.reset();
        port_.reset();
        ASSERT_NO_FATAL_FAILURE(StartWithRoomyTimeouts(row.faults));
        comm::CommStatus why = comm::CommStatus::Failure("not written", EINVAL);
        const uint8_t status = Transact(*port_, kRequest52, reply_, &why);
        if (row.operation == nullptr) {
            EXPECT_EQ(status, 0x00);
            EXPECT_TRUE(why.ok()) << why.Describe();
        } else {
            EXPECT_EQ(status, kNoReply);
            EXPECT_STREQ(why.operation(), row.operation);
            EXPECT_EQ(why.error(), row.error) << why.Describe();
        }
    }
}

ReaderPort::Opener ScriptedOpener(const std::shared_ptr<comm::testing::ScriptedPort>& line) {
    return [line](const std::string&) { return line->Open(); };
}

// The device's own failure, operation and errno, reaches the caller of every port operation and
// of the exchange.
TEST(ReaderPortFailure, DeviceErrorsAreCarriedThrough) {
    auto line = comm::testing::ScriptedPort::Create();
    ReaderPort port(ScriptedOpener(line));
    port.SetPause([](int) {});
    line->SetBusy(true);
    const comm::CommStatus busy = port.Open();
    EXPECT_STREQ(busy.operation(), "open");
    EXPECT_EQ(busy.error(), EBUSY);
    EXPECT_FALSE(port.IsOpen());

    line->SetBusy(false);
    ASSERT_TRUE(port.Open().ok());
    line->Vanish();
    const uint8_t announce = kFrameAnnounce;
    const comm::CommStatus write = port.Write(&announce, 1, 100);
    EXPECT_STREQ(write.operation(), "write");
    EXPECT_EQ(write.error(), EIO);
    uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1, nullptr, 100).error(), EIO);
    EXPECT_EQ(port.WaitForData(10).error(), EIO);
    EXPECT_EQ(port.SetLineState(9600, 8, 0, 0).error(), EIO);
    EXPECT_EQ(port.SetTimeouts().error(), EIO);

    ReplyBuffer reply;
    comm::CommStatus why;
    EXPECT_EQ(Transact(port, kRequest52, reply, &why), kNoReply);
    EXPECT_EQ(why.Describe(),
              std::string("write: ") + std::strerror(EIO) + " (" + std::to_string(EIO) + ")");
    EXPECT_TRUE(line->Written().empty());
}

// Only a received-character event is data: another event word is ENODATA, a quiet line the
// device's own time-out.
TEST(ReaderPortFailure, WaitForDataTellsDataFromOtherEvents) {
    auto line = comm::testing::ScriptedPort::Create();
    ReaderPort port(ScriptedOpener(line));
    ASSERT_TRUE(port.Open().ok());
    line->InjectEvents(comm::EV_TXEMPTY);
    const comm::CommStatus other = port.WaitForData(1000);
    EXPECT_STREQ(other.operation(), "WaitForData");
    EXPECT_EQ(other.error(), ENODATA);
    line->Receive({0x20});
    EXPECT_TRUE(port.WaitForData(1000).ok());
    EXPECT_EQ(port.BytesWaiting(), 1u);
    EXPECT_TRUE(port.WaitForData(0).ok());
    port.PurgeReceive();
    const comm::CommStatus quiet = port.WaitForData(0);
    EXPECT_STREQ(quiet.operation(), "WaitEvent");
    EXPECT_EQ(quiet.error(), ETIMEDOUT);
}

// A transfer given a wait of its own runs under it and leaves the port's time-outs as they were.
TEST(ReaderPortFailure, OwnWaitsAreUndoneAfterTheTransfer) {
    auto line = comm::testing::ScriptedPort::Create();
    ReaderPort port(ScriptedOpener(line));
    port.SetBaud(115200);
    ASSERT_TRUE(port.Open().ok());
    const comm::CommTimeouts own = line->LastTimeouts();
    EXPECT_EQ(own.ReadTotalTimeoutMultiplier, 24u);
    EXPECT_EQ(own.WriteTotalTimeoutConstant, 100u);

    uint8_t byte = 0;
    size_t got = 1;
    const comm::CommStatus read = port.Read(&byte, 1, &got, 10);  // shorter than 24 ms a byte
    EXPECT_STREQ(read.operation(), "Read");
    EXPECT_EQ(read.error(), ETIMEDOUT);
    EXPECT_EQ(got, 0u);
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_TRUE(port.Write(bytes, 3, 30).ok());
    EXPECT_EQ(line->Written(), (std::vector<uint8_t>{1, 2, 3}));
    const comm::CommTimeouts after = line->LastTimeouts();
    EXPECT_EQ(after.ReadTotalTimeoutMultiplier, own.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(after.ReadTotalTimeoutConstant, own.ReadTotalTimeoutConstant);
    EXPECT_EQ(after.WriteTotalTimeoutConstant, own.WriteTotalTimeoutConstant);
}

// The test-only scale stretches every time-out the port sets or waits, and nothing else.
TEST(ReaderPortFailure, ScaledTimeoutsStretchEveryWaitAlike) {
    auto line = comm::testing::ScriptedPort::Create();
    ReaderPort port(ScriptedOpener(line));
    port.SetBaud(115200);
    ASSERT_TRUE(port.Open().ok());
    port.ScaleTimeouts(20);
    const comm::CommTimeouts scaled = line->LastTimeouts();
    EXPECT_EQ(scaled.ReadTotalTimeoutMultiplier, 24u * 20u);
    EXPECT_EQ(scaled.WriteTotalTimeoutConstant, 100u * 20u);
    EXPECT_EQ(port.read_multiplier(), 24u);

    uint8_t byte = 0;
    size_t got = 1;
    // Shorter than a byte's time-out, scaled alike: still cut short by the caller's wait.
    EXPECT_EQ(port.Read(&byte, 1, &got, 10).error(), ETIMEDOUT);
    EXPECT_EQ(line->LastTimeouts().ReadTotalTimeoutMultiplier, 24u * 20u);

    port.ScaleTimeouts(1);
    EXPECT_EQ(line->LastTimeouts().ReadTotalTimeoutMultiplier, 24u);
    EXPECT_EQ(line->LastTimeouts().WriteTotalTimeoutConstant, 100u);
}

}  // namespace
}  // namespace reader
