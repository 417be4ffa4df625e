// The control protocol through a real driver host over its sockets.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>

#include "driver/host/testing/app_create.h"
#include "driver/host/testing/host_ready.h"
#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "porvane/monitor/driver_link.h"

namespace porvane::monitor {
namespace {

using comm::IOCTL_SERIAL_GET_BAUD_RATE;
using comm::testing::ChildProcess;
using comm::testing::TempDir;

class DriverLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string map = dir_.path() + "/map";
        std::ofstream(map) << "ttyS0=" << pty_.slave_path() << "\nttyS1=/tmp/port-b\n";
        runtime_ = dir_.path() + "/run";
        setenv("PORVANE_DEVICE_MAP", map.c_str(), 1);
        host_ = std::make_unique<ChildProcess>("sievrad",
                                               std::vector<std::string>{"--runtime-dir", runtime_});
        ASSERT_TRUE(sievra::testing::WaitUntilServing(*host_));
        unsetenv("PORVANE_DEVICE_MAP");
    }
    void TearDown() override {
        // The host must end cleanly and say nothing on its error output (sanitizer reports
        // included).
        host_->Signal(SIGTERM);
        EXPECT_EQ(host_->Wait(10000), 0);
        const std::string errors = host_->ReadAllError(1000);
        EXPECT_TRUE(errors.empty()) << errors.substr(0, 4000);
    }
    comm::testing::PtyPair pty_;
    TempDir dir_;
    std::string runtime_;
    std::unique_ptr<ChildProcess> host_;
};

TEST_F(DriverLinkTest, SocketsBelongToTheOwnerOnly) {
    struct stat st;
    ASSERT_EQ(::stat((runtime_ + "/Sievr1").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DriverLinkTest, OneClientAtATimeAndControlCalls) {
    DriverLink first(runtime_);
    ASSERT_TRUE(first.Open(0));
    DriverLink second(runtime_);
    EXPECT_FALSE(second.Open(0));  // held by the first
    EXPECT_TRUE(second.Open(1));   // another port is free
    EXPECT_EQ(first.SetMode(1), 1);
    sievra::FilterRule rule{sievra::kReplace, 3, 3, 0, 0x55, 0};
    EXPECT_EQ(first.LoadRule(sievra::IOCTL_FILTER_SEND_COUNT_RULE, rule), 1);
    uint32_t baud = 77;
    uint32_t returned = 0;
    EXPECT_EQ(first.Forward(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4, &returned), 1);
    EXPECT_EQ(baud, 0u);  // no application has the port open
    EXPECT_EQ(returned, 4u);
    first.Close();
    EXPECT_EQ(first.SetMode(1), 0);  // closed: nothing happens
    DriverLink third(runtime_);
    EXPECT_TRUE(third.Open(0));                  // free again
    EXPECT_FALSE(DriverLink(runtime_).Open(5));  // no such port
}

TEST_F(DriverLinkTest, CloseEndsABlockedRead) {
    DriverLink link(runtime_);
    ASSERT_TRUE(link.Open(0));
    uint32_t got = 99;
    std::promise<pid_t> reader_id;
    std::thread reader([&] {
        reader_id.set_value(static_cast<pid_t>(::gettid()));
        uint8_t buffer[4096];
        got = link.Read(buffer);
    });
    EXPECT_TRUE(comm::testing::WaitUntilAsleep(reader_id.get_future().get()));  // in its Read
    link.Close();
    reader.join();
    EXPECT_EQ(got, 0u);
    DriverLink again(runtime_);
    EXPECT_TRUE(again.Open(0));
}

// The host takes a client's going in its own time; the link opens once it has.
bool OpensOnceTheHostHasLetGo(DriverLink& link) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!link.Open(0)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST_F(DriverLinkTest, AClientKilledMidReadIsAClose) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DriverLink link(runtime_);
        if (!link.Open(0))
            _exit(2);
        uint8_t buffer[4096];
        link.Read(buffer);  // blocks until killed
        _exit(0);
    }
    EXPECT_TRUE(comm::testing::WaitUntilAsleep(child));  // waiting for the host's answer
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    DriverLink link(runtime_);
    EXPECT_TRUE(OpensOnceTheHostHasLetGo(link));
}

int RawConnect(const std::string& path) {
    const int fd = sievra::link::ConnectTo(path);
    if (fd < 0)
        return -1;
    uint8_t welcome[sievra::link::kResponseHeaderSize];
    if (::recv(fd, welcome, sizeof welcome, MSG_WAITALL) != static_cast<ssize_t>(sizeof welcome))
        return -1;
    return fd;
}

TEST_F(DriverLinkTest, MalformedAndOversizedRequestsAreRefusedAndTheHostServesOn) {
    int fd = RawConnect(runtime_ + "/Sievr1");
    ASSERT_GE(fd, 0);
    uint8_t unknown[sievra::link::kRequestHeaderSize] = {};
    unknown[0] = 7;
    unknown[4] = 99;  // no such operation
    ASSERT_EQ(::send(fd, unknown, sizeof unknown, MSG_NOSIGNAL),
              static_cast<ssize_t>(sizeof unknown));
    uint8_t reply[sievra::link::kResponseHeaderSize];
    ASSERT_EQ(::recv(fd, reply, sizeof reply, MSG_WAITALL), static_cast<ssize_t>(sizeof reply));
    EXPECT_EQ(static_cast<int32_t>(sievra::GetLe32(reply + 4)),
              sievra::link::kStatusInvalidRequest);
    uint8_t huge[sievra::link::kRequestHeaderSize] = {};
    huge[4] = sievra::link::kDeviceControl;
    sievra::PutLe32(huge + 9, 1u << 30);  // far beyond what a request may carry
    ::send(fd, huge, sizeof huge, MSG_NOSIGNAL);
    ASSERT_EQ(::recv(fd, reply, sizeof reply, MSG_WAITALL), static_cast<ssize_t>(sizeof reply));
    uint8_t more;
    EXPECT_EQ(::recv(fd, &more, 1, 0), 0);  // the host ended that connection
    ::close(fd);
    fd = RawConnect(runtime_ + "/Sievr1");
    ::send(fd, "\x01\x02", 2, MSG_NOSIGNAL);  // half a header, then gone
    ::close(fd);
    DriverLink link(runtime_);
    EXPECT_TRUE(OpensOnceTheHostHasLetGo(link));
    EXPECT_EQ(link.SetMode(0), 1);
}

// A host that welcomes a client and then never answers: it reads requests until the client
// goes.
class SilentHost {
  public:
    explicit SilentHost(const std::string& dir) {
        listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address;
        listening_ = sievra::link::SocketAddress(dir + "/Sievr1", address) &&
                     ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::listen(listen_, 1) == 0;
        if (!listening_)
            return;
        server_ = std::thread([this] {
            const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            const uint8_t welcome[sievra::link::kResponseHeaderSize] = {};
            ::send(client, welcome, sizeof welcome, MSG_NOSIGNAL);
            uint8_t request[256];
            while (::recv(client, request, sizeof request, 0) > 0) {
            }
            ::close(client);
        });
    }
    ~SilentHost() {
        if (server_.joinable())
            server_.join();
        ::close(listen_);
    }
    bool listening() const { return listening_; }

  private:
    int listen_ = -1;
    bool listening_ = false;
    std::thread server_;
};

TEST(DriverLinkHungHost, AnUnansweredControlCallFailsAndClosesTheLink) {
    TempDir dir;
    SilentHost host(dir.path());
    ASSERT_TRUE(host.listening());
    DriverLink link(dir.path(), 200);
    ASSERT_TRUE(link.Open(0));
    uint32_t read_result = 99;
    std::thread reader([&] {
        uint8_t buffer[4096];
        read_result = link.Read(buffer);  // ends when the link gives up on the host
    });
    uint32_t baud = 7;
    EXPECT_EQ(link.Forward(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4), 0);
    EXPECT_EQ(baud, 7u);
    reader.join();
    EXPECT_EQ(read_result, 0u);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.SetMode(1), 0);  // fails at once: the link is closed
    link.Close();
}

// The application side of a port, as an attachment speaks it: requests on the filter device.
class AppClient {
  public:
    explicit AppClient(const std::string& path) {
        fd_ = sievra::link::ConnectTo(path, SOCK_SEQPACKET);
        connected_ = fd_ >= 0;
    }
    ~AppClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    // Reports an open of the port behind descriptor, as the attachment does.
    int32_t Create(int descriptor) {
        return sievra::testing::SendAppCreate(fd_, ++id_, descriptor);
    }
    int32_t Request(uint8_t op, uint32_t code, const std::vector<uint8_t>& input,
                    uint32_t output_length, uint32_t* information = nullptr) {
        std::vector<uint8_t> request(sievra::link::kRequestHeaderSize + input.size());
        sievra::PutLe32(request.data(), ++id_);
        request[4] = op;
        sievra::PutLe32(request.data() + 5, code);
        sievra::PutLe32(request.data() + 9, static_cast<uint32_t>(input.size()));
        sievra::PutLe32(request.data() + 13, output_length);
        std::copy(input.begin(), input.end(), request.begin() + sievra::link::kRequestHeaderSize);
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        uint8_t reply[sievra::link::kResponseHeaderSize];
        if (::recv(fd_, reply, sizeof reply, MSG_WAITALL) != static_cast<ssize_t>(sizeof reply))
            return -1;
        if (information != nullptr)
            *information = sievra::GetLe32(reply + 8);
        return static_cast<int32_t>(sievra::GetLe32(reply + 4));
    }

  private:
    int fd_;
    bool connected_ = false;
    uint32_t id_ = 0;
};

TEST_F(DriverLinkTest, TheTwoRecordExamplesArriveByteForByte) {
    DriverLink link(runtime_);
    ASSERT_TRUE(link.Open(0));
    ASSERT_EQ(link.SetMode(sievra::kLinkModeMonitor), 1);
    AppClient app(runtime_ + "/SievrApp1");
    ASSERT_TRUE(app.connected());
    EXPECT_EQ(app.Create(pty_.slave()), 0);
    EXPECT_EQ(app.Request(sievra::link::kDeviceControl, comm::IOCTL_SERIAL_SET_BAUD_RATE,
                          {0x80, 0x25, 0, 0}, 0),
              0);
    uint8_t buffer[4096];
    uint32_t n = link.Read(buffer);
    ASSERT_EQ(n, 13u + 4u + 17u);  // the open's record and the baud's, in one read
    const std::vector<uint8_t> baud(buffer + 17, buffer + 34);
    EXPECT_EQ(baud, (std::vector<uint8_t>{0x01, 0x0E, 0, 0, 0, 0x04, 0x00, 0x1B, 0x00, 0x04, 0, 0,
                                          0, 0x80, 0x25, 0, 0}));

    ASSERT_EQ(link.SetMode(sievra::kLinkModeFilter), 1);
    sievra::FilterRule rule{sievra::kReplace, 3, 3, 0, 0x55, 0};
    ASSERT_EQ(link.LoadRule(sievra::IOCTL_FILTER_SEND_COUNT_RULE, rule), 1);
    EXPECT_EQ(app.Request(sievra::link::kAppWrite, 0, {0x41, 0x42, 0x43, 0x44, 0x45}, 0), 0);
    n = link.Read(buffer);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + n),
              (std::vector<uint8_t>{0x01, 0x0E, 0, 0, 0, 0x04, 0x20, 0x1B, 0x00, 0x02, 0, 0, 0,
                                    0x43, 0x55}));
    EXPECT_EQ(app.Request(sievra::link::kClose, 0, {}, 0), 0);
}

// Milliseconds as an await request's input.
std::vector<uint8_t> Milliseconds(uint32_t ms) {
    return {static_cast<uint8_t>(ms), static_cast<uint8_t>(ms >> 8), static_cast<uint8_t>(ms >> 16),
            static_cast<uint8_t>(ms >> 24)};
}

TEST_F(DriverLinkTest, AwaitingTheOtherApplicationsEndsWhenTheLastConnectionEnds) {
    AppClient waiter(runtime_ + "/SievrApp1");
    ASSERT_TRUE(waiter.connected());
    uint32_t still_open = 99;
    EXPECT_EQ(waiter.Request(sievra::link::kAppAwaitClosed, 0, Milliseconds(0), 0, &still_open), 0);
    EXPECT_EQ(still_open, 0u);  // no other application: answered at once
    auto closing = std::make_unique<AppClient>(runtime_ + "/SievrApp1");
    auto vanishing = std::make_unique<AppClient>(runtime_ + "/SievrApp1");
    ASSERT_EQ(closing->Create(pty_.slave()), 0);
    ASSERT_EQ(vanishing->Create(pty_.slave()), 0);
    EXPECT_EQ(waiter.Request(sievra::link::kAppAwaitClosed, 0, Milliseconds(50), 0, &still_open),
              0);
    EXPECT_EQ(still_open, 2u);  // the time ran out with both held
    // One closes its open and goes, the other's connection drops as at a program's end: the
    // wait, already under way, ends with none left.
    std::thread ends([&] {
        closing->Request(sievra::link::kClose, 0, {}, 0);
        closing.reset();
        vanishing.reset();
    });
    EXPECT_EQ(waiter.Request(sievra::link::kAppAwaitClosed, 0, Milliseconds(60000), 0, &still_open),
              0);
    EXPECT_EQ(still_open, 0u);
    ends.join();
}

}  // namespace
}  // namespace porvane::monitor
