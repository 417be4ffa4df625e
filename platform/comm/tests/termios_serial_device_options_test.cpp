// The advanced line options a TermiosSerialDevice carries out itself, on a real pseudo-terminal:
// null stripping, error replacement, the event character and RTS toggling.
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <deque>
#include <mutex>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/termios_serial_device.h"
#include "platform/comm/testing/pty_pair.h"

namespace comm {
namespace {

using testing::PtyPair;

// What a real UART's driver does and a pseudo-terminal cannot: reads that bring bytes the
// terminal marked as received with errors, and an RS-485 mode. Everything else reaches the
// kernel.
class UartCalls : public SerialSystemCalls {
  public:
    void BringMarked(const std::string& bytes) {
        std::lock_guard lock(mutex_);
        marked_.push_back(bytes);
    }
    void HaveRs485() {
        std::lock_guard lock(mutex_);
        has_rs485_ = true;
    }
    uint32_t rs485_flags() {
        std::lock_guard lock(mutex_);
        return rs485_.flags;
    }
    int rts_requests() {
        std::lock_guard lock(mutex_);
        return rts_requests_;
    }

    ssize_t Read(int fd, void* buffer, size_t count) override {
        {
            std::lock_guard lock(mutex_);
            if (!marked_.empty()) {
                std::string& bytes = marked_.front();
                const size_t n = std::min(bytes.size(), count);
                std::copy_n(bytes.begin(), n, static_cast<char*>(buffer));
                bytes.erase(0, n);
                if (bytes.empty())
                    marked_.pop_front();
                return static_cast<ssize_t>(n);
            }
        }
        return SerialSystemCalls::Read(fd, buffer, count);
    }
    int Ioctl(int fd, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex_);
        if (request == TIOCGRS485 || request == TIOCSRS485) {
            if (!has_rs485_) {
                errno = ENOTTY;
                return -1;
            }
            auto* rs485 = static_cast<serial_rs485*>(argument);
            if (request == TIOCGRS485)
                *rs485 = rs485_;
            else
                rs485_ = *rs485;
            return 0;
        }
        if ((request == TIOCMBIS || request == TIOCMBIC) &&
            (*static_cast<int*>(argument) & TIOCM_RTS))
            ++rts_requests_;
        return SerialSystemCalls::Ioctl(fd, request, argument);
    }

  private:
    std::mutex mutex_;  // guards every field below
    std::deque<std::string> marked_;
    bool has_rs485_ = false;
    serial_rs485 rs485_{};
    int rts_requests_ = 0;
};

class TermiosSerialDeviceOptionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OpenResult opened = TermiosSerialDevice::Open(pty_.slave_path(), calls_);
        ASSERT_TRUE(opened.status) << opened.status.Describe();
        device_ = std::move(opened.device);
        // Reads wait up to a minute for the bytes asked for, and end as soon as they are there.
        CommTimeouts timeouts;
        timeouts.ReadTotalTimeoutConstant = 60000;
        ASSERT_TRUE(device_->SetTimeouts(timeouts));
    }
    Dcb State() {
        Dcb dcb;
        EXPECT_TRUE(device_->GetState(dcb));
        return dcb;
    }
    std::string ReadExactly(size_t n) {
        std::string bytes(n, '\0');
        size_t got = 0;
        EXPECT_TRUE(device_->Read(reinterpret_cast<uint8_t*>(bytes.data()), n, got));
        return bytes.substr(0, got);
    }
    // Whatever else is waiting, at once.
    std::string ReadRest() {
        CommTimeouts now;
        now.ReadIntervalTimeout = kMaxDword;
        EXPECT_TRUE(device_->SetTimeouts(now));
        std::string rest = ReadExactly(4096);
        CommTimeouts wait;
        wait.ReadTotalTimeoutConstant = 60000;
        EXPECT_TRUE(device_->SetTimeouts(wait));
        return rest;
    }

    PtyPair pty_;
    std::shared_ptr<UartCalls> calls_ = std::make_shared<UartCalls>();
    std::unique_ptr<SerialDevice> device_;
};

TEST_F(TermiosSerialDeviceOptionsTest, NullStrippingAndErrorReplacementOnTheBytesThatArrive) {
    struct Row {
        const char* name;
        bool strip_null, replace_errors;
        std::string sent, read;
    };
    const Row rows[] = {
        {"neither: every byte as it came", false, false, std::string("A\0B\xff", 4),
         std::string("A\0B\xff", 4)},
        {"null stripping drops the NUL", true, false, std::string("A\0B", 3), "AB"},
        {"error replacement leaves good bytes alone, 0xFF too", false, true,
         std::string("A\0\xff"
                     "B",
                     4),
         std::string("A\0\xff"
                     "B",
                     4)},
        {"both", true, true, std::string("\0\xff\0", 3), "\xff"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dcb dcb = State();
        dcb.fNull = row.strip_null;
        dcb.fErrorChar = row.replace_errors;
        dcb.ErrorChar = '?';
        ASSERT_TRUE(device_->SetState(dcb));
        KernelTermios tty;
        ASSERT_TRUE(GetKernelTermios(pty_.master(), tty));
        EXPECT_EQ((tty.iflag & TermiosBits::kParmrk) != 0, row.replace_errors);
        pty_.WriteAll(row.sent);
        EXPECT_EQ(ReadExactly(row.read.size()), row.read);
        EXPECT_EQ(ReadRest(), "");
    }
}

TEST_F(TermiosSerialDeviceOptionsTest, BytesReceivedWithErrorsBecomeTheErrorCharacter) {
    Dcb dcb = State();
    dcb.fErrorChar = 1;
    dcb.ErrorChar = '?';
    ASSERT_TRUE(device_->SetState(dcb));
    // A parity error on 'x', a 0xFF, a break, then a mark split across two reads.
    calls_->BringMarked(
        std::string("a\xff\0x\xff\xff\xff\0\0"
                    "b\xff",
                    11));
    calls_->BringMarked(std::string("\0y", 2));
    EXPECT_EQ(ReadExactly(6), "a?\xff?b?");
    EXPECT_EQ(ReadRest(), "");
}

TEST_F(TermiosSerialDeviceOptionsTest, TheEventCharacterIsTheReceiveFlagEvent) {
    Dcb dcb = State();
    dcb.EvtChar = 'q';
    ASSERT_TRUE(device_->SetState(dcb));
    ASSERT_TRUE(device_->SetEventMask(EV_RXCHAR | EV_RXFLAG));
    pty_.WriteAll("abq");
    ASSERT_TRUE(pty_.WaitSlaveQueued(3));
    uint32_t events = 0;
    ASSERT_TRUE(device_->WaitEvent(events));
    EXPECT_EQ(events, EV_RXCHAR | EV_RXFLAG);
    // Read ahead to find it, the bytes still wait for the program.
    QueueStatus queue;
    ASSERT_TRUE(device_->ClearError(nullptr, &queue));
    EXPECT_EQ(queue.in_queue, 3u);
    EXPECT_EQ(ReadExactly(3), "abq");

    // Reported once; bytes without it are no such event.
    ASSERT_TRUE(device_->SetEventMask(EV_RXFLAG));
    pty_.WriteAll("zz");
    ASSERT_TRUE(pty_.WaitSlaveQueued(2));
    EXPECT_EQ(device_->WaitEventFor(events, 0).error(), ETIMEDOUT);
    EXPECT_EQ(ReadExactly(2), "zz");

    // One that came while the program read, not waited, is reported by the next wait.
    pty_.WriteAll("xq");
    ASSERT_TRUE(pty_.WaitSlaveQueued(2));
    EXPECT_EQ(ReadExactly(2), "xq");
    ASSERT_TRUE(device_->WaitEventFor(events, 0));
    EXPECT_EQ(events, EV_RXFLAG);
    EXPECT_EQ(device_->WaitEventFor(events, 0).error(), ETIMEDOUT);
}

TEST_F(TermiosSerialDeviceOptionsTest, RtsToggleIsTheDriversRs485ModeWhereItHasOne) {
    Dcb dcb = State();
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(device_->SetState(dcb));
    EXPECT_FALSE(device_->RtsFollowsSending());  // a pseudo-terminal has no RS-485 mode
    EXPECT_EQ(calls_->rts_requests(), 2);        // at open and now: RTS stays raised

    calls_->HaveRs485();
    ASSERT_TRUE(device_->SetState(dcb));
    EXPECT_TRUE(device_->RtsFollowsSending());
    EXPECT_EQ(calls_->rs485_flags() &
                  (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND),
              static_cast<uint32_t>(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
    EXPECT_EQ(calls_->rts_requests(), 2);  // the driver drives RTS now

    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(device_->SetState(dcb));
    EXPECT_FALSE(device_->RtsFollowsSending());
    EXPECT_EQ(calls_->rs485_flags() & SER_RS485_ENABLED, 0u);
    EXPECT_EQ(calls_->rts_requests(), 3);
}

// A port that closes with the toggle on leaves the driver's RS-485 setting as it found it.
TEST_F(TermiosSerialDeviceOptionsTest, ClosingWithRtsToggleRestoresTheDriversSetting) {
    calls_->HaveRs485();
    Dcb dcb = State();
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(device_->SetState(dcb));
    ASSERT_NE(calls_->rs485_flags() & SER_RS485_ENABLED, 0u);
    device_.reset();
    EXPECT_EQ(calls_->rs485_flags(), 0u);
}

// NULs the filter strips are not waiting bytes: a read asked for them would wait for bytes that
// never come (a transfer of zeros stalled the event thread).
TEST_F(TermiosSerialDeviceOptionsTest, StrippedNulsAreNotCountedAsWaiting) {
    Dcb dcb = State();
    dcb.fNull = 1;
    ASSERT_TRUE(device_->SetState(dcb));
    pty_.WriteAll(std::string(3000, '\0'));
    ASSERT_TRUE(pty_.WaitSlaveQueued(1));
    QueueStatus status;
    ASSERT_TRUE(device_->ClearError(nullptr, &status));
    EXPECT_EQ(status.in_queue, 0u);
    pty_.WriteAll(std::string("\0A", 2));
    EXPECT_EQ(ReadExactly(1), "A");
}

}  // namespace
}  // namespace comm
