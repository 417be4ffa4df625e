// Ports that come and go, and their identity, against a USB serial adapter mocked with umockdev:
// porvane-cli runs under mocked_adapter, which plugs the adapter in and pulls it out on our word.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/comm/testing/child_process.h"

namespace {

using comm::testing::ChildProcess;

constexpr char kWrapper[] = "/usr/bin/umockdev-wrapper";
constexpr char kById[] = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";

// porvane-cli with the given arguments beside the mocked adapter, which is plugged in at start.
class MockedAdapterRun {
  public:
    explicit MockedAdapterRun(const std::vector<std::string>& cli_args) {
        std::vector<std::string> args = {ChildProcess::BinDir() + "/mocked_adapter",
                                         ChildProcess::BinDir() + "/porvane-cli"};
        args.insert(args.end(), cli_args.begin(), cli_args.end());
        const std::string keep_open;
        child_ = std::make_unique<ChildProcess>(kWrapper, args, &keep_open);
    }

    void Do(const std::string& command) { ASSERT_TRUE(child_->WriteInput(command + "\n")); }

    // True once the output so far holds text after what earlier calls found.
    bool Shows(const std::string& text) {
        for (;;) {
            if (const size_t at = seen_.find(text, found_); at != std::string::npos) {
                found_ = at + text.size();
                return true;
            }
            const std::string more = child_->ReadOutputUntil(text);
            if (more.empty())
                return false;
            seen_ += more;
        }
    }

    // Reads on until the output after what Shows found holds one of the texts; which one, or
    // empty on time-out. Shows finds it (and what comes before it) later.
    std::string Awaits(const std::vector<std::string>& texts) {
        for (;;) {
            for (const std::string& text : texts) {
                if (seen_.find(text, found_) != std::string::npos)
                    return text;
            }
            const std::string more = child_->ReadOutputUntil("\n");
            if (more.empty())
                return {};
            seen_ += more;
        }
    }

    // The whole output once the run ended (its standard input closed first).
    std::string AllOutput() {
        child_->CloseInput();
        return seen_ + child_->ReadAllOutput();
    }
    const std::string& seen() const { return seen_; }
    int Wait() { return child_->Wait(); }

  private:
    std::unique_ptr<ChildProcess> child_;
    std::string seen_;
    size_t found_ = 0;
};

class HotPlugTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kWrapper, X_OK) != 0)
            GTEST_SKIP() << "umockdev-wrapper is not installed";
        unsetenv("PORVANE_DEVICE_MAP");
        // In a sanitizer build the preloaded umockdev library comes before the sanitizer's
        // runtime, which it would otherwise refuse.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS",
               ((asan != nullptr ? std::string(asan) + ":" : std::string()) +
                "verify_asan_link_order=0")
                   .c_str(),
               1);
    }
};

// Pulling the adapter hangs its tty up, which takes CAP_SYS_ADMIN.
#define UNPLUG_OR_SKIP(run)                                                             \
    do {                                                                                \
        (run).Do("unplug");                                                             \
        const std::string said = (run).Awaits({"unplugged ttyUSB", "cannot hang up"});  \
        ASSERT_FALSE(said.empty()) << (run).seen();                                     \
        if (said == "cannot hang up")                                                   \
            GTEST_SKIP() << "the mocked tty cannot be hung up here (no CAP_SYS_ADMIN)"; \
    } while (0)

TEST_F(HotPlugTest, PortsLongShowsTheAdapterFromUdevAndPlainPortsStaysPlain) {
    MockedAdapterRun plain({"ports"});
    EXPECT_EQ(plain.AllOutput(), "mocked_adapter: plugged ttyUSB0\nttyUSB0\n");
    EXPECT_EQ(plain.Wait(), 0);

    MockedAdapterRun identity({"ports", "--long"});
    EXPECT_EQ(identity.AllOutput(),
              "mocked_adapter: plugged ttyUSB0\n"
              "ttyUSB0\n"
              "  device    ttyUSB0\n"
              "  path      /dev/ttyUSB0\n"
              "  by-id     /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n"
              "  by-path   /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0\n"
              "  vendor    0403 FTDI\n"
              "  product   6001 FT232R USB UART\n"
              "  serial    A1B2C3\n"
              "  driver    ftdi_sio\n");
    EXPECT_EQ(identity.Wait(), 0);
}

TEST_F(HotPlugTest, PortsFollowReportsTheAdapterLeavingAndComingBack) {
    MockedAdapterRun follow({"ports", "--follow"});
    ASSERT_TRUE(follow.Shows("plugged ttyUSB0\nttyUSB0\n")) << follow.seen();
    UNPLUG_OR_SKIP(follow);
    ASSERT_TRUE(follow.Shows("departed ttyUSB0\n")) << follow.seen();
    follow.Do("plug");
    ASSERT_TRUE(follow.Shows("arrived ttyUSB1\n")) << follow.seen();
    follow.Do("interrupt");
    EXPECT_EQ(follow.Wait(), 0);
}

// Named by its by-id link, the port is reopened when the adapter comes back under another tty
// name, at the speed it had, and carries data both ways again.
TEST_F(HotPlugTest, TermReconnectResumesOnTheReaddedAdapter) {
    MockedAdapterRun term({"term", "--reconnect", "--baud", "19200", kById});
    term.Do("type ping1");
    ASSERT_TRUE(term.Shows("received ping1")) << term.seen();
    term.Do("send hello1");
    ASSERT_TRUE(term.Shows("hello1")) << term.seen();
    UNPLUG_OR_SKIP(term);
    // A link is named with the device it led to (under the mock, a pseudo-terminal).
    ASSERT_TRUE(term.Shows(std::string("串口已断开: ") + kById + " (/dev/")) << term.seen();
    ASSERT_TRUE(term.Shows("porvane-cli: waiting for the adapter to come back")) << term.seen();
    term.Do("plug");
    ASSERT_TRUE(term.Shows("porvane-cli: the adapter is back: /dev/ttyUSB1, 19200 8N1\n"))
        << term.seen();
    term.Do("send hello2");
    ASSERT_TRUE(term.Shows("hello2")) << term.seen();
    term.Do("type ping2");
    ASSERT_TRUE(term.Shows("received ping2")) << term.seen();
    term.Do("speed");
    ASSERT_TRUE(term.Shows("speed 19200")) << term.seen();
    term.Do("interrupt");
    EXPECT_EQ(term.Wait(), 0);
}

TEST_F(HotPlugTest, TermStoppedWhileWaitingEndsAsAVanishedPort) {
    MockedAdapterRun term({"term", "--reconnect", "ttyUSB0"});
    term.Do("type ping");
    ASSERT_TRUE(term.Shows("received ping")) << term.seen();
    UNPLUG_OR_SKIP(term);
    ASSERT_TRUE(term.Shows("porvane-cli: waiting for the adapter")) << term.seen();
    term.Do("interrupt");
    EXPECT_EQ(term.Wait(), 5);
}

}  // namespace
