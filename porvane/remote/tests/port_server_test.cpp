#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/comm/comm_constants.h"
#include "platform/comm/termios_serial_device.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/testing/scripted_port.h"
#include "porvane/remote/com_port_control.h"
#include "porvane/remote/listen_address.h"
#include "porvane/remote/port_server.h"

namespace remote {
namespace {

using comm::testing::ChildProcess;
using comm::testing::ScriptedPort;
using rfc2217::Command;

TEST(ListenAddress, ReadsEveryFormAndRefusesTheRest) {
    struct Row {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    };
    const Row rows[] = {
        {"7000", true, "", 7000},
        {":7000", true, "", 7000},
        {"benchpc:0", true, "benchpc", 0},
        {"[::1]:65535", true, "::1", 65535},
        {"::1:7000", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:", false, "", 0},
        {"[::1]7000", false, "", 0},
        {"", false, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string error;
        const auto address = ParseListenAddress(row.text, error);
        ASSERT_EQ(address.has_value(), row.ok) << error;
        if (row.ok) {
            EXPECT_EQ(address->host, row.host);
            EXPECT_EQ(address->port, row.port);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

// IAC SB COM-PORT-OPTION command value IAC SE, as the server answers.
std::vector<uint8_t> Answer(uint8_t command, std::vector<uint8_t> value) {
    return rfc2217::ComPortMessage(static_cast<uint8_t>(command + 100), value);
}

// A scripted port opened with the state a real open starts from: 9600 8N1, DTR and RTS raised.
std::unique_ptr<comm::SerialDevice> OpenAsAPortOpens(ScriptedPort& port) {
    auto device = port.Open().device;
    comm::Dcb start;
    start.BaudRate = 9600;
    start.ByteSize = 8;
    start.fDtrControl = comm::DTR_CONTROL_ENABLE;
    start.fRtsControl = comm::RTS_CONTROL_ENABLE;
    device->SetState(start);
    return device;
}

TEST(ComPortControl, AnswersWithTheValueThePortNowUses) {
    auto port = ScriptedPort::Create();
    auto device = OpenAsAPortOpens(*port);
    ComPortControl control(*device, "porvane-cli 1.1");
    namespace c = rfc2217::control;
    struct Row {
        const char* name;
        Command command;
        std::vector<uint8_t> value;
        std::vector<uint8_t> answer;  // empty: no answer
    };
    const Row rows[] = {
        {"signature asked",
         Command::kSignature,
         {},
         {'p', 'o', 'r', 'v', 'a', 'n', 'e', '-', 'c', 'l', 'i', ' ', '1', '.', '1'}},
        {"client's own signature", Command::kSignature, {'x'}, {}},
        {"speed set", Command::kSetBaudRate, {0, 1, 0xC2, 0}, {0, 1, 0xC2, 0}},
        {"speed asked", Command::kSetBaudRate, {0, 0, 0, 0}, {0, 1, 0xC2, 0}},
        {"speed the port refuses", Command::kSetBaudRate, {0, 0, 0}, {0, 1, 0xC2, 0}},
        {"speed of 1 baud", Command::kSetBaudRate, {0, 0, 0, 1}, {0, 1, 0xC2, 0}},
        {"speed of 4,000,000,000 baud",
         Command::kSetBaudRate,
         {0xEE, 0x6B, 0x28, 0},
         {0, 1, 0xC2, 0}},
        {"data bits set", Command::kSetDataSize, {7}, {7}},
        {"data bits no port has", Command::kSetDataSize, {9}, {7}},
        {"mark parity", Command::kSetParity, {rfc2217::parity::kMark}, {rfc2217::parity::kMark}},
        {"one and a half stop bits: two with seven data bits", Command::kSetStopSize, {3}, {2}},
        {"hardware flow", Command::kSetControl, {c::kFlowHardware}, {c::kFlowHardware}},
        {"inbound flow asked",
         Command::kSetControl,
         {c::kRequestInboundFlow},
         {c::kInboundFlowHardware}},
        {"no flow", Command::kSetControl, {c::kFlowNone}, {c::kFlowNone}},
        {"DTR off", Command::kSetControl, {c::kDtrOff}, {c::kDtrOff}},
        {"RTS asked", Command::kSetControl, {c::kRequestRts}, {c::kRtsOn}},
        {"break on", Command::kSetControl, {c::kBreakOn}, {c::kBreakOn}},
        {"purge both", Command::kPurgeData, {rfc2217::purge::kBoth}, {rfc2217::purge::kBoth}},
        {"purge of nothing", Command::kPurgeData, {7}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto answer = control.Execute(row.command, row.value);
        if (row.answer.empty())
            EXPECT_TRUE(answer.empty());
        else
            EXPECT_EQ(answer, Answer(static_cast<uint8_t>(row.command), row.answer));
    }
    const comm::Dcb now = port->LastState();
    EXPECT_EQ(now.BaudRate, 115200u);
    EXPECT_EQ(now.ByteSize, 7);
    EXPECT_EQ(now.Parity, comm::MARKPARITY);
    EXPECT_EQ(now.StopBits, comm::ONE5STOPBITS);
    EXPECT_EQ(now.fOutxCtsFlow, 0u);
    EXPECT_EQ(now.fRtsControl, comm::RTS_CONTROL_ENABLE);
    EXPECT_EQ(port->ModemControl(), comm::kModemControlRts);
    EXPECT_EQ(port->Breaks(), 1);
    EXPECT_EQ(port->Purges(), std::vector<uint32_t>{comm::kPurgeAll});
}

// The server's lines, for a test to wait on.
class RecordedLines : public ServerObserver {
  public:
    void ClientArrived(const std::string& peer) override { Add("connected " + peer); }
    void ClientLeft(const std::string& peer, const std::string& reason) override {
        Add("left " + peer + ": " + reason);
    }
    void ClientTurnedAway(const std::string& peer, const std::string&) override {
        Add("turned away " + peer);
    }
    // Waits for a line that starts with start; found (when given) receives it.
    bool WaitFor(const std::string& start, std::string* found = nullptr) {
        std::unique_lock lock(mutex_);
        auto match = [&](const std::string& line) { return line.starts_with(start); };
        if (!changed_.wait_for(lock, std::chrono::seconds(30),
                               [&] { return std::any_of(lines_.begin(), lines_.end(), match); }))
            return false;
        if (found != nullptr)
            *found = *std::find_if(lines_.begin(), lines_.end(), match);
        return true;
    }

  private:
    void Add(const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
    }
    std::mutex mutex_;  // guards lines_
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// python3-serial's client, through the real protocol, against the server core serving a
// scripted line: what a pseudo-terminal cannot show (modem lines, parity, break) reaches the
// port, and the port's modem lines reach the client.
TEST(PortServer, LineSettingsControlLinesBreakAndModemStateCrossTheNetwork) {
    auto port = ScriptedPort::Create();
    port->SetModemStatus(comm::MS_CTS_ON | comm::MS_DSR_ON);
    std::string error;
    std::vector<comm::UniqueFd> listeners = OpenListeners({"127.0.0.1", 0}, error);
    ASSERT_EQ(listeners.size(), 1u) << error;
    const std::string where = LocalAddressText(listeners[0].get());
    RecordedLines lines;
    PortServer server(OpenAsAPortOpens(*port), std::move(listeners),
                      {"scripted", "porvane-cli 1.1"}, lines);
    ASSERT_TRUE(server.Start(error)) << error;

    const std::string input;  // held open until the test has looked
    ChildProcess client(PORVANE_PYTHON,
                        {RFC2217_CLIENT, where.substr(where.rfind(':') + 1),
                         "open:baudrate=57600,bytesize=7,parity=E,stopbits=2", "dtr:0", "rts:0",
                         "break:on", "modem:30", "send:41ff42", "hold", "modem:b0", "break:off"},
                        &input);
    // The steps print in order; the client holds after "sent".
    const std::string progress = client.ReadOutputUntil("sent 3");
    ASSERT_NE(progress.find("sent 3"), std::string::npos) << progress;
    EXPECT_NE(progress.find("modem 30 ok"), std::string::npos) << progress;
    const comm::Dcb dcb = port->LastState();
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, comm::EVENPARITY);
    EXPECT_EQ(dcb.StopBits, comm::TWOSTOPBITS);
    EXPECT_EQ(port->ModemControl(), 0u);
    EXPECT_EQ(port->Breaks(), 1);
    // The client's open purged both buffers.
    const auto purges = port->Purges();
    EXPECT_NE(std::find(purges.begin(), purges.end(), comm::PURGE_RXABORT | comm::PURGE_RXCLEAR),
              purges.end());
    EXPECT_NE(std::find(purges.begin(), purges.end(), comm::PURGE_TXABORT | comm::PURGE_TXCLEAR),
              purges.end());

    port->SetModemStatus(comm::MS_CTS_ON | comm::MS_DSR_ON | comm::MS_RLSD_ON);
    client.CloseInput();
    EXPECT_NE(client.ReadOutputUntil("done").find("done"), std::string::npos);
    EXPECT_EQ(client.Wait(), 0);
    ASSERT_TRUE(lines.WaitFor("left"));
    const std::vector<uint8_t> written = port->Written();
    EXPECT_EQ(written, (std::vector<uint8_t>{0x41, 0xFF, 0x42}));
}

// The Telnet stream byte for byte, from a plain socket: line errors reported under the mask a
// client set (python3-serial never asks for them), and IAC doubled in the port's data.
TEST(PortServer, ReportsLineErrorsUnderTheMaskAndDoublesIacInData) {
    auto port = ScriptedPort::Create();
    std::string error;
    std::vector<comm::UniqueFd> listeners = OpenListeners({"127.0.0.1", 0}, error);
    ASSERT_EQ(listeners.size(), 1u) << error;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(listeners[0].get(), reinterpret_cast<sockaddr*>(&address), &length);
    RecordedLines lines;
    PortServer server(OpenAsAPortOpens(*port), std::move(listeners), {"scripted", "x"}, lines);
    ASSERT_TRUE(server.Start(error)) << error;

    const comm::UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    std::string stream;
    // Reads until the stream holds wanted (or 30 s pass).
    auto read_until = [&](const std::vector<uint8_t>& wanted) {
        const std::string text(wanted.begin(), wanted.end());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        char buffer[512];
        while (stream.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd in{client.get(), POLLIN, 0};
            if (::poll(&in, 1, 1000) <= 0)
                continue;
            const ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            stream.append(buffer, static_cast<size_t>(n));
        }
        return stream.find(text) != std::string::npos;
    };
    const uint8_t kFraming = rfc2217::line_state::kFraming;
    std::vector<uint8_t> request = rfc2217::Negotiation(rfc2217::telnet::kWill, 44);
    const auto mask = rfc2217::ComPortMessage(Command::kSetLineStateMask, std::vector{kFraming});
    request.insert(request.end(), mask.begin(), mask.end());
    ASSERT_EQ(::send(client.get(), request.data(), request.size(), 0),
              static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(read_until(Answer(10, {kFraming})));

    port->AddLineErrors(1, 0, 0, 0);
    port->Receive({0x41, 0xFF, 0x42});
    EXPECT_TRUE(read_until({0x41, 0xFF, 0xFF, 0x42}));
    EXPECT_TRUE(read_until(Answer(6, {kFraming})));
}

// A client that sets the slowest speed, sends a little to a line that takes nothing more and
// closes would keep the port from every other client for as long as its data would take at that
// speed (hours): its data waits no longer than the closing wait.
TEST(PortServer, AClosedClientsDataWaitsNoLongerThanTheClosingWait) {
    comm::testing::PtyPair pty;
    comm::OpenResult opened = comm::TermiosSerialDevice::Open(pty.slave_path());
    ASSERT_TRUE(opened.device) << opened.status.Describe();
    // The far end reads nothing: the line's buffer is filled until it takes no more.
    ASSERT_EQ(::fcntl(pty.slave(), F_SETFL, O_NONBLOCK), 0);
    const std::string fill(4096, 'f');
    while (::write(pty.slave(), fill.data(), fill.size()) > 0) {
    }
    std::string error;
    std::vector<comm::UniqueFd> listeners = OpenListeners({"127.0.0.1", 0}, error);
    ASSERT_EQ(listeners.size(), 1u) << error;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(listeners[0].get(), reinterpret_cast<sockaddr*>(&address), &length);
    RecordedLines lines;
    PortServer::Config config{"pty", "x"};
    config.closing_wait_ms = 500;
    PortServer server(std::move(opened.device), std::move(listeners), config, lines);
    ASSERT_TRUE(server.Start(error)) << error;

    const comm::UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    std::vector<uint8_t> request = rfc2217::Negotiation(rfc2217::telnet::kWill, 44);
    const auto slowest =
        rfc2217::ComPortMessage(Command::kSetBaudRate, std::vector<uint8_t>{0, 0, 0, 50});
    request.insert(request.end(), slowest.begin(), slowest.end());
    request.insert(request.end(), 2000, 'd');
    ASSERT_EQ(::send(client.get(), request.data(), request.size(), 0),
              static_cast<ssize_t>(request.size()));
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_TRUE(lines.WaitFor("left"));
}

// Reads from fd until the bytes read hold wanted, within 30 s.
bool ReadUntil(int fd, const std::string& wanted, std::string& seen) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buffer[4096];
    while (seen.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, 1000) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return seen.find(wanted) != std::string::npos;
}

// A server on a pseudo-terminal whose far end reads nothing, and raw clients of it.
class StalledLine {
  public:
    // receive_buffer (when not 0): the clients' connections take this much that the server has
    // not read yet, at least.
    explicit StalledLine(PortServer::Config config, int receive_buffer = 0) {
        comm::OpenResult opened = comm::TermiosSerialDevice::Open(pty_.slave_path());
        EXPECT_TRUE(opened.device) << opened.status.Describe();
        std::string error;
        std::vector<comm::UniqueFd> listeners = OpenListeners({"127.0.0.1", 0}, error);
        EXPECT_EQ(listeners.size(), 1u) << error;
        if (receive_buffer != 0)
            ::setsockopt(listeners[0].get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                         sizeof receive_buffer);
        socklen_t length = sizeof address_;
        ::getsockname(listeners[0].get(), reinterpret_cast<sockaddr*>(&address_), &length);
        server_ = std::make_unique<PortServer>(std::move(opened.device), std::move(listeners),
                                               std::move(config), lines_);
        EXPECT_TRUE(server_->Start(error)) << error;
    }
    comm::testing::PtyPair& pty() { return pty_; }
    RecordedLines& lines() { return lines_; }

    comm::UniqueFd Connect() {
        comm::UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(
            ::connect(client.get(), reinterpret_cast<const sockaddr*>(&address_), sizeof address_),
            0);
        return client;
    }
    // Sends the Com Port option and the commands, XON/XOFF output control last, and reads the
    // answers into stream. Then the far end sends XOFF, and a byte behind it that reaches the
    // client once the port has taken the XOFF.
    void HoldLine(int client, std::vector<uint8_t> commands, std::string& stream) {
        std::vector<uint8_t> request = rfc2217::Negotiation(rfc2217::telnet::kWill, 44);
        request.insert(request.end(), commands.begin(), commands.end());
        const auto flow = rfc2217::ComPortMessage(
            Command::kSetControl, std::vector<uint8_t>{rfc2217::control::kFlowXonXoff});
        request.insert(request.end(), flow.begin(), flow.end());
        ASSERT_EQ(::send(client, request.data(), request.size(), 0),
                  static_cast<ssize_t>(request.size()));
        const auto answer = Answer(5, {rfc2217::control::kFlowXonXoff});
        ASSERT_TRUE(ReadUntil(client, std::string(answer.begin(), answer.end()), stream));
        pty_.WriteAll("\x13m");
        ASSERT_TRUE(ReadUntil(client, "m", stream));
    }
    // Sends data bytes, as many as the connection takes without waiting up to count, and closes
    // its side (a close with answers still unread would reset the connection instead).
    static void SendAndLeave(int client, size_t count) {
        const std::vector<uint8_t> data(count, 'd');
        size_t sent = 0;
        while (sent < count) {
            const ssize_t n = ::send(client, data.data() + sent, count - sent, MSG_DONTWAIT);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        EXPECT_GT(sent, 80u * 1024) << "the port must fall behind";
        ::shutdown(client, SHUT_WR);
    }

  private:
    comm::testing::PtyPair pty_;
    RecordedLines lines_;
    sockaddr_in address_{};
    std::unique_ptr<PortServer> server_;
};

// A client turns on XON/XOFF, the line's far end answers with XOFF, and the client queues far
// more than the port takes and goes. Its close waits behind its data, which nobody reads: the
// session ends once the port has taken nothing for the stall limit, and the next client finds
// the flow control the server started with and a line that runs. Speeds no line has and stop
// bits the port cannot give are answered with what the port does.
TEST(PortServer, AClientThatLeftAStalledLineFreesThePortWithFlowControlReset) {
    PortServer::Config config{"pty", "x"};
    config.stall_ms = 1000;
    StalledLine line(config);
    comm::UniqueFd client = line.Connect();
    std::vector<uint8_t> commands;
    auto add = [&](Command command, std::vector<uint8_t> value) {
        const auto message = rfc2217::ComPortMessage(command, value);
        commands.insert(commands.end(), message.begin(), message.end());
    };
    add(Command::kSetBaudRate, {0, 1, 0xC2, 0});
    add(Command::kSetBaudRate, {0, 0, 0, 1});
    add(Command::kSetBaudRate, {0xEE, 0x6B, 0x28, 0});
    add(Command::kSetStopSize, {rfc2217::stop_size::kOneAndHalf});
    std::string stream;
    line.HoldLine(client.get(), commands, stream);
    const auto speed = Answer(1, {0, 1, 0xC2, 0});
    const std::string speed_text(speed.begin(), speed.end());
    size_t speeds = 0;
    for (size_t at = stream.find(speed_text); at != std::string::npos;
         at = stream.find(speed_text, at + 1))
        ++speeds;
    EXPECT_EQ(speeds, 3u);
    const auto two = Answer(4, {rfc2217::stop_size::kTwo});
    EXPECT_NE(stream.find(std::string(two.begin(), two.end())), std::string::npos);

    StalledLine::SendAndLeave(client.get(), 4 * 1024 * 1024);
    std::string left;
    ASSERT_TRUE(line.lines().WaitFor("left", &left));
    EXPECT_NE(left.find("took none of the client's data for 1 s"), std::string::npos) << left;
    termios now{};
    ASSERT_EQ(::tcgetattr(line.pty().slave(), &now), 0);
    EXPECT_EQ(now.c_iflag & (IXON | IXOFF), 0u);

    comm::UniqueFd next = line.Connect();
    ASSERT_EQ(::send(next.get(), "ping", 4, 0), 4);
    std::string far_end;
    EXPECT_TRUE(ReadUntil(line.pty().master(), "ping", far_end));
}

// With no stall limit the client's close is still seen behind the data the port has not taken
// (more than the server reads ahead, less than its connection holds), and the closing wait
// bounds it.
TEST(PortServer, AClientsCloseIsSeenWhileTheLineIsStalled) {
    PortServer::Config config{"pty", "x"};
    config.stall_ms = 0;
    config.closing_wait_ms = 500;
    StalledLine line(config, 2 * 1024 * 1024);
    comm::UniqueFd client = line.Connect();
    std::string stream;
    line.HoldLine(client.get(), {}, stream);
    const std::vector<uint8_t> data(512 * 1024, 'd');
    ASSERT_EQ(::send(client.get(), data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ::shutdown(client.get(), SHUT_WR);
    std::string left;
    ASSERT_TRUE(line.lines().WaitFor("left", &left));
    EXPECT_NE(left.find("closed by the client; what the port had not taken after the closing wait"),
              std::string::npos)
        << left;
}

}  // namespace
}  // namespace remote
