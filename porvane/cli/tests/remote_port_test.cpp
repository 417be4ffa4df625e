// term and the line tester on a port served over the network, with the distribution's network
// serial server on the loopback interface in front of a virtual loop-back plug or a
// pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>

#include <random>
#include <sstream>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/serial_device.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/testing/ser2net_server.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::Ser2netServer;
using comm::testing::TempDir;
using comm::testing::WaitForPath;

// The one line a remote port says when the server ignores DTR and RTS (a pseudo-terminal has no
// modem lines, and this server then leaves those requests unanswered).
std::string UnansweredLine(const std::string& port) {
    return "porvane-cli: " + port +
           ": the server did not answer the DTR, RTS request within 300 ms; going on without "
           "waiting for such answers\n";
}

class RemotePort : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Ser2netServer::Available())
            GTEST_SKIP() << "ser2net is not installed";
    }
    // A loop-back plug served over the network.
    void ServeLoop() {
        link_ = dir_.path() + "/loop";
        vport_ = std::make_unique<ChildProcess>("vport", std::vector<std::string>{"loop", link_});
        ASSERT_TRUE(WaitForPath(link_));
        server_ = std::make_unique<Ser2netServer>(link_);
        ASSERT_TRUE(server_->listening());
    }
    TempDir dir_;
    std::string link_;
    std::unique_ptr<ChildProcess> vport_;
    std::unique_ptr<Ser2netServer> server_;
};

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(gen());
    return bytes;
}

TEST_F(RemotePort, TermCarriesEveryByteThereAndBack) {
    ServeLoop();
    const std::string input = RandomBytes(256 * 1024, 5);  // 0xFF included: doubled on the wire
    ChildProcess term("porvane-cli",
                      {"term", server_->port_name(), "--baud", "115200", "--data", "8", "--parity",
                       "no", "--stop", "1", "--linger", "3000"},
                      &input);
    const std::string output = term.ReadAllOutput(60000);
    EXPECT_EQ(term.Wait(), 0);
    ASSERT_EQ(output.size(), input.size());
    EXPECT_TRUE(output == input);
    // The unanswered DTR request did not stop the open, and is said once.
    EXPECT_EQ(term.ReadAllError(), UnansweredLine(server_->port_name()));
}

TEST_F(RemotePort, APortInUseIsRefusedAsALocalOneIs) {
    ServeLoop();
    comm::OpenResult held = comm::OpenSerialDevice(server_->port_name());
    ASSERT_TRUE(held.device) << held.status.Describe();
    ChildProcess term("porvane-cli", {"term", server_->port_name()});
    EXPECT_EQ(term.Wait(), 1);
    const std::string port = server_->port_name();
    const std::string address = port.substr(port.find("//") + 2);
    EXPECT_EQ(term.ReadAllError(), "串口被占用!! (" + port + ": the server at 127.0.0.1 port " +
                                       address.substr(address.find(':') + 1) +
                                       " closed the connection at once (the port is in use))\n");
}

TEST_F(RemotePort, ASpeedChangeReachesTheFarPort) {
    comm::testing::PtyPair far;
    Ser2netServer server(far.slave_path());
    ASSERT_TRUE(server.listening());
    std::string input = "ping\n";
    ChildProcess term("porvane-cli", {"term", server.port_name(), "--baud", "57600"}, &input);
    // The server applies commands and data in order: once the data is there, so is the speed.
    EXPECT_EQ(far.ReadExactly(input.size()), input);
    comm::KernelTermios termios;
    ASSERT_TRUE(comm::GetKernelTermios(far.master(), termios));
    EXPECT_EQ(termios.ospeed, 57600u);
    EXPECT_EQ(termios.cflag & comm::TermiosBits::kCsize, comm::TermiosBits::kCs8);
    EXPECT_EQ(termios.cflag & comm::TermiosBits::kParenb, 0u);
    EXPECT_EQ(term.Wait(), 0);
}

TEST_F(RemotePort, TheLineTesterCountsACleanLine) {
    ServeLoop();
    ChildProcess test("porvane-cli",
                      {"test", server_->port_name(), "--baud", "115200", "--seconds", "4"});
    const std::string output = test.ReadAllOutput(30000);
    ASSERT_EQ(test.Wait(), 0) << output;
    std::istringstream lines(output);
    std::string line;
    int counted = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        SCOPED_TRACE(line);
        std::istringstream fields(line);
        uint64_t tick, bits, errors;
        fields >> tick >> bits >> errors;
        EXPECT_GT(bits, 0u);
        EXPECT_EQ(errors, 0u);
        ++counted;
    }
    EXPECT_GE(counted, 1);
    EXPECT_NE(output.find("# seconds " + std::to_string(counted) + ", errored seconds 0"),
              std::string::npos);
    EXPECT_EQ(test.ReadAllError(), UnansweredLine(server_->port_name()));
}

TEST_F(RemotePort, AServerThatGoesAwayMidTransferIsAVanishedPort) {
    ServeLoop();
    ::signal(SIGPIPE, SIG_IGN);  // the feeder of term's input writes on after term has ended
    const std::string input = RandomBytes(32 * 1024 * 1024, 7);  // far more than goes by
    ChildProcess term("porvane-cli", {"term", server_->port_name()}, &input);
    ASSERT_FALSE(term.ReadOutputUntil(input.substr(0, 4096)).empty());
    server_->Kill();
    term.ReadAllOutput(30000);  // what was on its way, up to the end
    EXPECT_EQ(term.Wait(30000), 5);
    const std::string said = term.ReadAllError();
    const std::string last = "串口已断开: " + server_->port_name() + "\n";
    ASSERT_GE(said.size(), last.size());
    EXPECT_EQ(said.substr(said.size() - last.size()), last);
}

}  // namespace
}  // namespace porvane::cli
