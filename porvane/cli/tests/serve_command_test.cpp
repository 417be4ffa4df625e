#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/serial_device.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "porvane/cli/exit_status.h"

namespace porvane::cli {
namespace {

using comm::testing::ChildProcess;
using comm::testing::PtyPair;

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

// Every byte value, IAC (0xFF) between each two, repeated: the Telnet layer doubles a third of it.
std::string EveryByte(size_t rounds) {
    std::string bytes;
    for (size_t r = 0; r < rounds; ++r) {
        for (int b = 0; b < 256; ++b) {
            bytes += static_cast<char>(b);
            bytes += '\xff';
        }
    }
    return bytes;
}

// A plain TCP connection to port on the loopback interface.
comm::UniqueFd Connect(uint16_t port) {
    comm::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fd.Reset();
    return fd;
}

// Reads from a connection until what was read holds text or the connection ends (or 30 s pass).
std::string ReadUntil(int fd, const std::string& text) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buffer[512];
    while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, 1000) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// porvane-cli serve on a pseudo-terminal, on a port of the loopback interface the system picks;
// clients are python3-serial's rfc2217:// client driven by steps.
class ServeCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        serve_ = std::make_unique<ChildProcess>(
            "porvane-cli",
            std::vector<std::string>{"serve", pty_.slave_path(), "--listen", "127.0.0.1:0"});
        const std::string first = serve_->ReadOutputUntil("\n");
        ASSERT_EQ(first.rfind("serving " + pty_.slave_path() + " on 127.0.0.1:", 0), 0u) << first;
        port_ = std::stoi(first.substr(first.rfind(':') + 1));
    }

    std::unique_ptr<ChildProcess> Client(std::vector<std::string> steps,
                                         const std::string* input = nullptr) {
        steps.insert(steps.begin(), {RFC2217_CLIENT, std::to_string(port_)});
        return std::make_unique<ChildProcess>(PORVANE_PYTHON, steps, input);
    }

    // Waits for serve's line about a client that leaves.
    void ExpectClientLeft(const std::string& reason) {
        std::string lines = serve_->ReadOutputUntil(" left: ");
        const size_t at = lines.find(" left: ");
        ASSERT_NE(at, std::string::npos) << lines;
        if (lines.find('\n', at) == std::string::npos)
            lines += serve_->ReadOutputUntil("\n");
        const std::string line = lines.substr(at, lines.find('\n', at) - at);
        EXPECT_NE(line.find(reason), std::string::npos) << line;
    }

    PtyPair pty_;
    std::unique_ptr<ChildProcess> serve_;
    int port_ = 0;
};

TEST_F(ServeCommandTest, ClientSettingsReachTheServedPortOrAreAnsweredWithWhatItUses) {
    struct Row {
        const char* name;
        const char* open;
        bool opens;
        uint32_t speed;
        bool two_stop_bits;
    };
    const Row rows[] = {
        {"115200 8N1", "open:baudrate=115200", true, 115200, false},
        {"14400 (no standard speed code) with two stop bits", "open:baudrate=14400,stopbits=2",
         true, 14400, true},
        // A pseudo-terminal keeps no parity: the answer says so and the client refuses to open.
        {"even parity", "open:baudrate=9600,parity=E", false, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto client = Client({row.open});
        const std::string out = client->ReadAllOutput();
        EXPECT_NE(out.find(row.opens ? "open ok" : "open failed"), std::string::npos) << out;
        EXPECT_EQ(client->Wait(), 0);
        ExpectClientLeft("closed by the client");
        if (!row.opens)
            continue;
        comm::KernelTermios termios;
        ASSERT_TRUE(comm::GetKernelTermios(pty_.slave(), termios));
        EXPECT_EQ(termios.ospeed, row.speed);
        EXPECT_EQ((termios.cflag & comm::TermiosBits::kCstopb) != 0, row.two_stop_bits);
    }
    serve_->Signal(SIGTERM);
    EXPECT_EQ(serve_->Wait(), kExitDone);
}

TEST_F(ServeCommandTest, DataCrossesIntactBothWays) {
    const std::string sent = EveryByte(16);
    const std::string reply = EveryByte(24).substr(3);
    auto client = Client({"open:baudrate=115200", "send:" + Hex(sent), "expect:" + Hex(reply)});
    EXPECT_EQ(pty_.ReadExactly(sent.size()), sent);
    pty_.WriteAll(reply);
    const std::string out = client->ReadAllOutput();
    EXPECT_NE(out.find("done"), std::string::npos) << out;
    EXPECT_EQ(client->Wait(), 0);
}

TEST_F(ServeCommandTest, ASecondClientIsTurnedAwayWhileTheFirstWorks) {
    const std::string input;
    auto first = Client({"open:", "hold", "send:6869", "expect:4f4bff"}, &input);
    ASSERT_NE(first->ReadOutputUntil("open ok").find("open ok"), std::string::npos);
    const comm::UniqueFd second = Connect(static_cast<uint16_t>(port_));
    const std::string refusal = ReadUntil(second.get(), "\n");
    EXPECT_NE(refusal.find("串口被占用!! (" + pty_.slave_path() + ": in use by another client)"),
              std::string::npos)
        << refusal;
    EXPECT_NE(serve_->ReadOutputUntil("turned away").find("turned away"), std::string::npos);
    first->CloseInput();
    EXPECT_EQ(pty_.ReadExactly(2), "hi");
    pty_.WriteAll("OK\xff");
    EXPECT_NE(first->ReadAllOutput().find("done"), std::string::npos);
    EXPECT_EQ(first->Wait(), 0);
}

TEST_F(ServeCommandTest, AClientThatVanishesMidTransferFreesThePortForTheNext) {
    // The port sends more than the server and the connection hold to a client that reads
    // nothing once the data has started; the client then goes away with a reset.
    std::thread port_sends([&] { pty_.WriteAll(std::string(4 << 20, 'x')); });
    {
        const comm::UniqueFd gone = Connect(static_cast<uint16_t>(port_));
        ASSERT_TRUE(gone.valid());
        EXPECT_NE(ReadUntil(gone.get(), "x").find('x'), std::string::npos);
        const linger reset{1, 0};
        ::setsockopt(gone.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ExpectClientLeft("Connection reset by peer");
    // Between sessions the port's data is dropped, so the port's writes all end.
    port_sends.join();

    auto next = Client({"open:", "send:6869", "expect_end:454e44"});
    EXPECT_EQ(pty_.ReadExactly(2), "hi");
    pty_.WriteAll("END");
    const std::string out = next->ReadAllOutput();
    EXPECT_NE(out.find("done"), std::string::npos) << out;
    EXPECT_EQ(next->Wait(), 0);
}

// A server that goes away is waited for by term --reconnect, which connects again by itself once
// it serves the same address again, and carries on.
TEST_F(ServeCommandTest, TermReconnectResumesWhenTheServerIsBack) {
    const std::string name = "rfc2217://127.0.0.1:" + std::to_string(port_);
    const std::string held_open;
    ChildProcess term("porvane-cli", {"term", "--reconnect", name}, &held_open);
    ASSERT_TRUE(term.WriteInput("one\n"));
    EXPECT_EQ(pty_.ReadExactly(4), "one\n");
    serve_->Signal(SIGKILL);
    serve_->Wait();
    ChildProcess again("porvane-cli", {"serve", pty_.slave_path(), "--listen",
                                       "127.0.0.1:" + std::to_string(port_)});
    ASSERT_NE(again.ReadOutputUntil(" connected\n").find(" connected\n"), std::string::npos);
    ASSERT_TRUE(term.WriteInput("two\n"));
    EXPECT_EQ(pty_.ReadExactly(4), "two\n");
    term.CloseInput();
    EXPECT_EQ(term.Wait(), kExitDone);
    EXPECT_EQ(term.ReadAllError(), "串口已断开: " + name +
                                       "\nporvane-cli: waiting for the server to come back "
                                       "(Ctrl-C quits)\nporvane-cli: the server is back: " +
                                       name + ", 9600 8N1\n");
}

TEST_F(ServeCommandTest, AVanishedPortEndsTheSessionAndServe) {
    auto client = Client({"open:", "expect:00"});
    ASSERT_NE(client->ReadOutputUntil("open ok").find("open ok"), std::string::npos);
    pty_.CloseMaster();
    ExpectClientLeft("the port vanished");
    EXPECT_EQ(serve_->Wait(), kExitPortVanished);
    EXPECT_NE(serve_->ReadAllError().find("串口已断开: " + pty_.slave_path()), std::string::npos);
}

TEST(ServeCommand, StartFailuresSayWhy) {
    PtyPair pty;
    const comm::OpenResult held = comm::OpenSerialDevice(pty.slave_path());
    ASSERT_TRUE(held.device);
    // An address in use: a socket of the test listens on it.
    const comm::UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(taken.get(), 1), 0);
    ::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&address), &length);
    const std::string in_use = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    PtyPair free_port;

    struct Row {
        const char* name;
        std::string port;
        std::string listen;
        int status;
        std::string message;
    };
    const Row rows[] = {
        {"port held by another program", pty.slave_path(), "127.0.0.1:0", kExitPortNotOpen,
         "串口被占用!! (" + pty.slave_path() + ": in use by process"},
        {"no such port", "/dev/no-such-port", "127.0.0.1:0", kExitPortNotOpen,
         "porvane-cli: /dev/no-such-port: No such file or directory\n"},
        {"listen address without a port", free_port.slave_path(), "127.0.0.1:", kExitUsage,
         "--listen 127.0.0.1:"},
        {"listen address in use", free_port.slave_path(), in_use, kExitNotListening,
         "cannot listen on " + in_use},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ChildProcess serve("porvane-cli", {"serve", row.port, "--listen", row.listen});
        EXPECT_NE(serve.ReadAllError().find(row.message), std::string::npos);
        EXPECT_EQ(serve.Wait(), row.status);
    }
}

}  // namespace
}  // namespace porvane::cli
