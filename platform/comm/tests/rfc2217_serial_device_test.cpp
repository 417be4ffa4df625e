#include "platform/comm/rfc2217_serial_device.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "platform/comm/open_failure.h"
#include "platform/comm/testing/child_process.h"
#include "platform/rfc2217/telnet_codec.h"

namespace comm {
namespace {

namespace cpc = rfc2217;
using Message = std::pair<uint8_t, std::vector<uint8_t>>;  // command, value

// The far end of a remote port, scripted: agrees to the options a client asks for, answers each
// Com Port command with its value (queries with 115200 8N1) unless told to stay silent on it,
// and records what it receives.
struct Script {
    bool refuse_com_port = false;
    // Commands left unanswered: SET-CONTROL values from first to last.
    uint8_t silent_first = 0, silent_last = 0;
    uint8_t silent_command = 0;  // and every request of this command, when not 0
    // SET-PARITY requests are answered with this value (a port that cannot take the parity asked
    // for), when not 0.
    uint8_t parity_taken = 0;
    // Outbound flow control requests are answered with this value, when not 0.
    uint8_t flow_taken = 0;
    // Closes its side once the client has closed, as a server does.
    bool close_at_end = true;
};

class ScriptedServer final : public cpc::TelnetSink {
  public:
    explicit ScriptedServer(UniqueFd socket, Script script = {})
        : socket_(std::move(socket)), script_(script), decoder_(*this) {
        reader_ = std::thread([this] {
            uint8_t buffer[4096];
            ssize_t n;
            while ((n = ::recv(socket_.get(), buffer, sizeof buffer, 0)) > 0)
                decoder_.Feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
            std::lock_guard lock(mutex_);
            client_closed_ = true;
            changed_.notify_all();
            if (script_.close_at_end)
                ::shutdown(socket_.get(), SHUT_RDWR);
        });
    }
    ~ScriptedServer() override {
        ::shutdown(socket_.get(), SHUT_RDWR);
        reader_.join();
    }

    void Send(const std::vector<uint8_t>& bytes) {
        const ssize_t n = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET))
            return;  // the client has already hung up (a refused open): nobody reads
        ASSERT_EQ(n, static_cast<ssize_t>(bytes.size()));
    }
    void SendData(const std::vector<uint8_t>& data) {
        std::vector<uint8_t> wire;
        cpc::AppendData(wire, data);
        Send(wire);
    }
    void SendComPort(uint8_t command, std::vector<uint8_t> value) {
        Send(cpc::ComPortMessage(command, value));
    }
    void HangUp() { ::shutdown(socket_.get(), SHUT_RDWR); }
    // Sends bytes and says whether the client's side was still there to take them.
    bool SendAfterClientClosed(const std::vector<uint8_t>& bytes) {
        return ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool WaitForClientClose() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return client_closed_; });
    }

    // Waits until the commands received hold message; false after a generous limit.
    bool WaitFor(const Message& message) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
            return std::find(messages_.begin(), messages_.end(), message) != messages_.end();
        });
    }
    std::vector<uint8_t> WaitForData(size_t n) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return data_.size() >= n; });
        return data_;
    }
    std::vector<Message> TakeMessages() {
        std::lock_guard lock(mutex_);
        return std::exchange(messages_, {});
    }

    void OnData(std::span<const uint8_t> bytes) override {
        std::lock_guard lock(mutex_);
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        changed_.notify_all();
    }
    void OnNegotiation(uint8_t verb, uint8_t option) override {
        if (option == cpc::telnet::kComPortOption && script_.refuse_com_port) {
            Send(cpc::Negotiation(
                verb == cpc::telnet::kWill ? cpc::telnet::kDont : cpc::telnet::kWont, option));
            return;
        }
        Send(negotiator_.Receive(verb, option));
    }
    void OnSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override {
        if (option != cpc::telnet::kComPortOption || payload.empty())
            return;
        const uint8_t command = payload[0];
        std::vector<uint8_t> value(payload.begin() + 1, payload.end());
        {
            std::lock_guard lock(mutex_);
            messages_.emplace_back(command, value);
            changed_.notify_all();
        }
        if (command == static_cast<uint8_t>(cpc::Command::kSetControl) && !value.empty() &&
            value[0] >= script_.silent_first && value[0] <= script_.silent_last &&
            script_.silent_last != 0)
            return;
        if (command == script_.silent_command && !(value.size() == 1 && value[0] == 0))
            return;
        if (command == static_cast<uint8_t>(cpc::Command::kSetParity) && script_.parity_taken != 0)
            value = {script_.parity_taken};
        if (command == static_cast<uint8_t>(cpc::Command::kSetControl) && value.size() == 1 &&
            value[0] >= cpc::control::kFlowNone && value[0] <= cpc::control::kFlowHardware &&
            script_.flow_taken != 0)
            value = {script_.flow_taken};
        // Bytes the far port received before a purge are still on their way when it answers.
        if (command == static_cast<uint8_t>(cpc::Command::kPurgeData))
            SendData({'o', 'l', 'd'});
        if (command == static_cast<uint8_t>(cpc::Command::kSetBaudRate) &&
            cpc::ReadBaudRate(value) == 0) {
            const auto baud = cpc::BaudRateValue(115200);
            value.assign(baud.begin(), baud.end());
        } else if (value.size() == 1 && value[0] == 0) {
            value[0] = command == static_cast<uint8_t>(cpc::Command::kSetDataSize) ? 8 : 1;
        }
        SendComPort(command + cpc::kServerReplyOffset, value);
    }

  private:
    UniqueFd socket_;
    Script script_;
    cpc::TelnetDecoder decoder_;
    cpc::OptionNegotiator negotiator_{
        {cpc::telnet::kBinary, cpc::telnet::kSuppressGoAhead},
        {cpc::telnet::kComPortOption, cpc::telnet::kBinary, cpc::telnet::kSuppressGoAhead}};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
    std::vector<uint8_t> data_;
    bool client_closed_ = false;
    std::thread reader_;
};

struct Connected {
    std::unique_ptr<ScriptedServer> server;
    OpenResult opened;
    std::vector<std::string> notices;
};

std::unique_ptr<Connected> OpenAgainst(Script script = {}, bool raise_lines = true) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto c = std::make_unique<Connected>();
    c->server = std::make_unique<ScriptedServer>(UniqueFd(fds[1]), script);
    Rfc2217SerialDevice::Options options;
    options.raise_lines_at_open = raise_lines;
    options.notice = [raw = c.get()](const std::string& line) { raw->notices.push_back(line); };
    c->opened =
        Rfc2217SerialDevice::OpenConnected(UniqueFd(fds[0]), "rfc2217://bench:7000", options);
    return c;
}

Message Control(uint8_t value) {
    return {static_cast<uint8_t>(cpc::Command::kSetControl), {value}};
}

TEST(Rfc2217SerialDevice, OpeningTakesTheServersLineAndRaisesDtrAndRts) {
    auto c = OpenAgainst();
    ASSERT_TRUE(c->opened.device) << c->opened.status.Describe();
    Dcb dcb;
    ASSERT_TRUE(c->opened.device->GetState(dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_TRUE(c->server->WaitFor(Control(cpc::control::kDtrOn)));
    EXPECT_TRUE(c->server->WaitFor(Control(cpc::control::kRtsOn)));
    EXPECT_TRUE(
        c->server->WaitFor({static_cast<uint8_t>(cpc::Command::kSetModemStateMask), {0xFF}}));
    uint32_t control = 0;
    ASSERT_TRUE(c->opened.device->GetModemControl(control));
    EXPECT_EQ(control, kModemControlDtr | kModemControlRts);
    EXPECT_TRUE(c->notices.empty());
}

TEST(Rfc2217SerialDevice, SetStateSendsOnlyWhatChanged) {
    using cpc::Command;
    const auto cmd = [](Command c) { return static_cast<uint8_t>(c); };
    struct Row {
        const char* name;
        std::function<void(Dcb&)> change;
        std::vector<Message> expected;
    } rows[] = {
        {"nothing", [](Dcb&) {}, {}},
        {"any speed",
         [](Dcb& d) { d.BaudRate = 14400; },
         {{cmd(Command::kSetBaudRate), {0, 0, 0x38, 0x40}}}},
        {"7 data bits", [](Dcb& d) { d.ByteSize = 7; }, {{cmd(Command::kSetDataSize), {7}}}},
        {"mark parity", [](Dcb& d) { d.Parity = MARKPARITY; }, {{cmd(Command::kSetParity), {4}}}},
        {"space parity", [](Dcb& d) { d.Parity = SPACEPARITY; }, {{cmd(Command::kSetParity), {5}}}},
        {"1.5 stop bits",
         [](Dcb& d) { d.StopBits = ONE5STOPBITS; },
         {{cmd(Command::kSetStopSize), {3}}}},
        {"2 stop bits",
         [](Dcb& d) { d.StopBits = TWOSTOPBITS; },
         {{cmd(Command::kSetStopSize), {2}}}},
        {"hardware flow",
         [](Dcb& d) {
             d.fOutxCtsFlow = 1;
             d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         },
         {Control(cpc::control::kFlowHardware), Control(cpc::control::kInboundFlowHardware)}},
        {"xon/xoff both ways",
         [](Dcb& d) {
             d.fOutX = 1;
             d.fInX = 1;
         },
         {Control(cpc::control::kFlowXonXoff), Control(cpc::control::kInboundFlowXonXoff)}},
        {"DTR off",
         [](Dcb& d) { d.fDtrControl = DTR_CONTROL_DISABLE; },
         {Control(cpc::control::kDtrOff)}},
        {"RTS off",
         [](Dcb& d) { d.fRtsControl = RTS_CONTROL_DISABLE; },
         {Control(cpc::control::kRtsOff)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto c = OpenAgainst();
        ASSERT_TRUE(c->opened.device);
        SerialDevice& device = *c->opened.device;
        Dcb dcb;
        ASSERT_TRUE(device.GetState(dcb));
        c->server->TakeMessages();
        row.change(dcb);
        ASSERT_TRUE(device.SetState(dcb));  // returns once the server has answered
        EXPECT_EQ(c->server->TakeMessages(), row.expected);
        Dcb now;
        ASSERT_TRUE(device.GetState(now));
        EXPECT_EQ(now.BaudRate, dcb.BaudRate);
    }
    auto c = OpenAgainst();
    Dcb bad;
    bad.BaudRate = 9600;
    bad.ByteSize = 9;
    EXPECT_EQ(c->opened.device->SetState(bad).error(), EINVAL);
}

TEST(Rfc2217SerialDevice, EscapesAndPurgesBecomeComPortCommands) {
    const uint8_t purge = static_cast<uint8_t>(cpc::Command::kPurgeData);
    struct Row {
        const char* name;
        std::function<CommStatus(SerialDevice&)> act;
        Message expected;
    } rows[] = {
        {"DTR off", [](SerialDevice& d) { return d.EscapeFunction(Escape::ClrDtr); },
         Control(cpc::control::kDtrOff)},
        {"RTS off", [](SerialDevice& d) { return d.EscapeFunction(Escape::ClrRts); },
         Control(cpc::control::kRtsOff)},
        {"break on", [](SerialDevice& d) { return d.EscapeFunction(Escape::SetBreak); },
         Control(cpc::control::kBreakOn)},
        {"break off", [](SerialDevice& d) { return d.EscapeFunction(Escape::ClrBreak); },
         Control(cpc::control::kBreakOff)},
        {"purge input",
         [](SerialDevice& d) { return d.Purge(PURGE_RXCLEAR); },
         {purge, {cpc::purge::kReceive}}},
        {"purge output",
         [](SerialDevice& d) { return d.Purge(PURGE_TXCLEAR); },
         {purge, {cpc::purge::kTransmit}}},
        {"purge both",
         [](SerialDevice& d) { return d.Purge(kPurgeAll); },
         {purge, {cpc::purge::kBoth}}},
    };
    auto c = OpenAgainst();
    ASSERT_TRUE(c->opened.device);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(row.act(*c->opened.device));
        EXPECT_TRUE(c->server->WaitFor(row.expected));
    }
    uint32_t control = 0;
    ASSERT_TRUE(c->opened.device->GetModemControl(control));
    EXPECT_EQ(control, 0u);
}

TEST(Rfc2217SerialDevice, DataPassesWholeBothWaysWithIacDoubled) {
    auto c = OpenAgainst();
    ASSERT_TRUE(c->opened.device);
    SerialDevice& device = *c->opened.device;
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 3000; ++i)
        bytes.push_back(static_cast<uint8_t>(i * 7 + (i % 5 == 0 ? 0xFF : 0)));
    size_t written = 0;
    ASSERT_TRUE(device.Write(bytes.data(), bytes.size(), written));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(c->server->WaitForData(bytes.size()), bytes);

    c->server->SendData(bytes);
    CommTimeouts timeouts;
    timeouts.ReadTotalTimeoutConstant = 20000;
    device.SetTimeouts(timeouts);
    std::vector<uint8_t> got(bytes.size());
    size_t n = 0;
    ASSERT_TRUE(device.Read(got.data(), got.size(), n));
    EXPECT_EQ(n, got.size());
    EXPECT_EQ(got, bytes);
    SerialStats stats;
    device.GetStatistics(stats);
    EXPECT_EQ(stats.ReceivedCount, bytes.size());
    EXPECT_EQ(stats.TransmittedCount, bytes.size());
}

TEST(Rfc2217SerialDevice, AnInputPurgeEndsAtTheServersAnswer) {
    auto c = OpenAgainst();
    ASSERT_TRUE(c->opened.device);
    SerialDevice& device = *c->opened.device;
    ASSERT_TRUE(device.Purge(PURGE_RXCLEAR));
    // Returned once the server purged: what the far port receives from now on is kept, what
    // crossed the purge on the wire is not.
    const Message purge{static_cast<uint8_t>(cpc::Command::kPurgeData), {cpc::purge::kReceive}};
    const std::vector<Message> sent = c->server->TakeMessages();
    EXPECT_NE(std::find(sent.begin(), sent.end(), purge), sent.end());
    c->server->SendData({'n', 'e', 'w'});
    CommTimeouts timeouts;
    timeouts.ReadTotalTimeoutConstant = 20000;
    device.SetTimeouts(timeouts);
    uint8_t got[3];
    size_t n = 0;
    ASSERT_TRUE(device.Read(got, sizeof got, n));
    EXPECT_EQ(std::string(got, got + n), "new");
}

TEST(Rfc2217SerialDevice, ModemNotificationsAreEventsAndStatus) {
    auto c = OpenAgainst();
    ASSERT_TRUE(c->opened.device);
    SerialDevice& device = *c->opened.device;
    ASSERT_TRUE(device.SetEventMask(EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    const uint8_t notify = static_cast<uint8_t>(cpc::Command::kNotifyModemState) + 100;
    c->server->SendComPort(notify, {0x00});  // the lines as they are: no change
    c->server->SendComPort(notify, {cpc::modem_state::kCts | cpc::modem_state::kDsr});
    uint32_t events = 0;
    ASSERT_TRUE(device.WaitEventFor(events, 20000));
    EXPECT_EQ(events, EV_CTS | EV_DSR);
    uint32_t status = 0;
    ASSERT_TRUE(device.GetModemStatus(status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON);
    // A ring pulse between two reports shows only in the change bit.
    c->server->SendComPort(notify, {cpc::modem_state::kCts | cpc::modem_state::kDsr |
                                    cpc::modem_state::kRingTrailingEdge});
    ASSERT_TRUE(device.WaitEventFor(events, 20000));
    EXPECT_EQ(events, EV_RING);
}

TEST(Rfc2217SerialDevice, UnansweredRequestsAreSaidOnceAndNotAwaitedAgain) {
    auto c = OpenAgainst(
        {.silent_first = cpc::control::kRequestDtr, .silent_last = cpc::control::kRtsOff});
    ASSERT_TRUE(c->opened.device) << c->opened.status.Describe();
    ASSERT_EQ(c->notices.size(), 1u);
    EXPECT_EQ(c->notices[0],
              "rfc2217://bench:7000: the server did not answer the DTR, RTS request within 300 "
              "ms; going on without waiting for such answers");
    EXPECT_TRUE(c->opened.device->EscapeFunction(Escape::ClrDtr));
    EXPECT_TRUE(c->server->WaitFor(Control(cpc::control::kDtrOff)));
    EXPECT_EQ(c->notices.size(), 1u);
}

// A close shuts only the sending side and takes what the server still sends until the server
// closes too: a close with the server's bytes unread, or with bytes arriving after it, resets the
// connection, and the server drops what it has not yet passed on to its port.
TEST(Rfc2217SerialDevice, ACloseLetsTheServerFinishBeforeTheConnectionEnds) {
    Script script;
    script.close_at_end = false;
    auto c = OpenAgainst(script);
    ASSERT_TRUE(c->opened.device);
    std::thread close([&] { c->opened.device.reset(); });
    ASSERT_TRUE(c->server->WaitForClientClose());
    EXPECT_TRUE(c->server->SendAfterClientClosed(std::vector<uint8_t>(64 * 1024, 'x')));
    c->server->HangUp();
    close.join();
}

// Asked to, the open leaves DTR and RTS alone: a later state with DTR off never raises it.
TEST(Rfc2217SerialDevice, AnOpenThatLeavesTheLinesNeverRaisesThem) {
    auto c = OpenAgainst({}, false);
    ASSERT_TRUE(c->opened.device) << c->opened.status.Describe();
    Dcb dcb;
    ASSERT_TRUE(c->opened.device->GetState(dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(c->opened.device->SetState(dcb));  // returns once the server has answered
    const std::vector<Message> sent = c->server->TakeMessages();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), Control(cpc::control::kDtrOn)), 0);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), Control(cpc::control::kDtrOff)), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), Control(cpc::control::kRtsOn)), 1);
}

// A request of another kind that goes unanswered later is said too, not hidden by the first.
TEST(Rfc2217SerialDevice, EachKindOfUnansweredRequestIsSaidOnce) {
    auto c = OpenAgainst({.silent_first = cpc::control::kRequestDtr,
                          .silent_last = cpc::control::kRtsOff,
                          .silent_command = static_cast<uint8_t>(cpc::Command::kSetStopSize)});
    ASSERT_TRUE(c->opened.device) << c->opened.status.Describe();
    ASSERT_EQ(c->notices.size(), 1u);
    Dcb dcb;
    ASSERT_TRUE(c->opened.device->GetState(dcb));
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(c->opened.device->SetState(dcb));
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(c->opened.device->SetState(dcb));
    ASSERT_EQ(c->notices.size(), 2u);
    EXPECT_EQ(c->notices[1],
              "rfc2217://bench:7000: the server did not answer the stop size request within 300 "
              "ms; going on without waiting for such answers");
}

// The server answers with the setting it took: the state says that one, not the one asked for.
TEST(Rfc2217SerialDevice, TheStateIsWhatTheServerTook) {
    auto c =
        OpenAgainst({.parity_taken = cpc::parity::kNone, .flow_taken = cpc::control::kFlowNone});
    ASSERT_TRUE(c->opened.device) << c->opened.status.Describe();
    Dcb dcb;
    ASSERT_TRUE(c->opened.device->GetState(dcb));
    dcb.Parity = EVENPARITY;
    dcb.ByteSize = 7;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(c->opened.device->SetState(dcb));
    Dcb now;
    ASSERT_TRUE(c->opened.device->GetState(now));
    EXPECT_EQ(now.Parity, NOPARITY);
    EXPECT_EQ(now.ByteSize, 7);  // taken as asked
    EXPECT_EQ(now.fOutxCtsFlow, 0u);
    EXPECT_EQ(now.fRtsControl, RTS_CONTROL_ENABLE);
}

TEST(Rfc2217SerialDevice, ADroppedConnectionIsAVanishedPort) {
    auto c = OpenAgainst();
    ASSERT_TRUE(c->opened.device);
    SerialDevice& device = *c->opened.device;
    device.SetEventMask(EV_RXCHAR);
    std::thread hang_up([&] { c->server->HangUp(); });
    uint32_t events = 0;
    CommStatus waited = device.WaitEvent(events);
    hang_up.join();
    EXPECT_TRUE(waited.DeviceGone()) << waited.Describe();
    uint8_t byte;
    size_t n;
    EXPECT_TRUE(device.Read(&byte, 1, n).DeviceGone());
    EXPECT_TRUE(device.Write(&byte, 1, n).DeviceGone());
    EXPECT_TRUE(device.EscapeFunction(Escape::SetDtr).DeviceGone());
}

// What the server sent before it went away is counted and read like any received bytes; the
// port is gone once they are taken.
TEST(Rfc2217SerialDevice, BytesReceivedBeforeTheConnectionDroppedAreStillReadThenItIsGone) {
    auto c = OpenAgainst();
    ASSERT_TRUE(c->opened.device);
    SerialDevice& device = *c->opened.device;
    c->server->SendData({'t', 'a', 'i', 'l'});
    c->server->HangUp();
    ASSERT_TRUE(device.SetEventMask(EV_CTS));  // no data event: the wait ends at the hang-up
    uint32_t events = 0;
    ASSERT_TRUE(device.WaitEvent(events).DeviceGone());
    QueueStatus queue;
    ASSERT_TRUE(device.ClearError(nullptr, &queue));
    EXPECT_EQ(queue.in_queue, 4u);
    uint8_t got[8];
    size_t n = 0;
    ASSERT_TRUE(device.Read(got, queue.in_queue, n));
    EXPECT_EQ(std::string(got, got + n), "tail");
    EXPECT_TRUE(device.ClearError(nullptr, &queue).DeviceGone());
    ASSERT_TRUE(device.SetEventMask(EV_RXCHAR));
    EXPECT_TRUE(device.WaitEvent(events).DeviceGone());
}

TEST(Rfc2217SerialDevice, CancelIoEndsWaitsReadsAndHeldWrites) {
    auto c = OpenAgainst();
    ASSERT_TRUE(c->opened.device);
    SerialDevice& device = *c->opened.device;
    device.SetEventMask(EV_RXCHAR);
    CommStatus waited, read;
    std::thread waiter([&] {
        uint32_t events;
        waited = device.WaitEvent(events);
    });
    std::thread reader([&] {
        uint8_t byte;
        size_t n;
        read = device.Read(&byte, 1, n);
    });
    // Output held by the server: a write without a time-out waits until cancelled.
    c->server->SendComPort(
        static_cast<uint8_t>(cpc::Command::kFlowControlSuspend) + cpc::kServerReplyOffset, {});
    ASSERT_TRUE(device.EscapeFunction(Escape::SetDtr));  // its answer comes after the hold
    CommStatus wrote;
    std::atomic<pid_t> writer_id{0};
    std::thread writer([&] {
        writer_id = ::gettid();
        const uint8_t bytes[] = {'h', 'e', 'l', 'd'};
        size_t n;
        wrote = device.Write(bytes, sizeof bytes, n);
    });
    while (writer_id == 0)
        std::this_thread::yield();
    EXPECT_TRUE(testing::WaitUntilAsleep(writer_id));  // held in its write
    device.CancelIo();
    waiter.join();
    reader.join();
    writer.join();
    EXPECT_EQ(waited.error(), ECANCELED);
    EXPECT_EQ(read.error(), ECANCELED);
    EXPECT_EQ(wrote.error(), ECANCELED);
}

TEST(Rfc2217SerialDevice, OpenFailuresNameTheServer) {
    // A port nobody listens on: bound and closed again.
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    ASSERT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), len), 0);
    ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &len);
    const std::string port = std::to_string(ntohs(address.sin_port));
    probe.Reset();
    const std::string refused = "rfc2217://127.0.0.1:" + port;

    struct Row {
        std::string name;
        std::string said;
    } rows[] = {
        {refused, refused + ": cannot connect to 127.0.0.1 port " + port + ": Connection refused"},
        {"rfc2217://no-such-host.invalid:7000",
         "rfc2217://no-such-host.invalid:7000: host no-such-host.invalid not found"},
        {"rfc2217://bench", "rfc2217://bench: not a remote port address (rfc2217://HOST:PORT)"},
        {"rfc2217://bench:70000",
         "rfc2217://bench:70000: not a remote port address (rfc2217://HOST:PORT)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        OpenResult opened = OpenSerialDevice(row.name);
        ASSERT_FALSE(opened.device);
        EXPECT_EQ(DescribeOpenFailure(row.name, opened.status), row.said);
    }
    auto c = OpenAgainst({.refuse_com_port = true});
    EXPECT_EQ(c->opened.status.error(), EPROTONOSUPPORT);
}

TEST(Rfc2217SerialDevice, RemoteNamesParseWithEveryKindOfHost) {
    struct Row {
        const char* name;
        std::optional<std::pair<std::string, std::string>> address;
    } rows[] = {
        {"rfc2217://benchpc:7000", {{"benchpc", "7000"}}},
        {"rfc2217://192.168.1.20:4001", {{"192.168.1.20", "4001"}}},
        {"rfc2217://[::1]:7000", {{"::1", "7000"}}},
        {"rfc2217://::1:7000", std::nullopt},
        {"rfc2217://:7000", std::nullopt},
        {"rfc2217://host:", std::nullopt},
        {"rfc2217://host:0", std::nullopt},
        {"rfc2217://host:7x", std::nullopt},
        {"/dev/ttyS0", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto parsed = ParseRemotePortName(row.name);
        ASSERT_EQ(parsed.has_value(), row.address.has_value());
        if (parsed) {
            EXPECT_EQ(parsed->host, row.address->first);
            EXPECT_EQ(parsed->port, row.address->second);
        }
    }
    EXPECT_EQ(DevicePathForPort("rfc2217://benchpc:7000"), "rfc2217://benchpc:7000");
}

}  // namespace
}  // namespace comm
