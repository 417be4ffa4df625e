// The driver host's thread model and its sockets, in process, with raw clients.
#include "driver/host/sievra_host.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "driver/host/record_drain.h"
#include "driver/host/testing/app_create.h"
#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"
#include "driver/link/record_ring.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/unique_fd.h"

namespace sievra {
namespace {

using comm::testing::PtyPair;
using comm::testing::TempDir;

// A raw client of one of the host's sockets.
class RawClient {
  public:
    // type: SOCK_STREAM for a control socket, SOCK_SEQPACKET for an application socket.
    explicit RawClient(const std::string& path, int type = SOCK_STREAM)
        : seqpacket_(type == SOCK_SEQPACKET) {
        fd_ = link::ConnectTo(path, type);
        connected_ = fd_ >= 0;
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void Send(uint32_t id, uint8_t op, uint32_t code = 0, const std::vector<uint8_t>& input = {},
              uint32_t out = 0) {
        std::vector<uint8_t> request(link::kRequestHeaderSize + input.size());
        PutLe32(request.data(), id);
        request[4] = op;
        PutLe32(request.data() + 5, code);
        PutLe32(request.data() + 9, static_cast<uint32_t>(input.size()));
        PutLe32(request.data() + 13, out);
        std::copy(input.begin(), input.end(), request.begin() + link::kRequestHeaderSize);
        ASSERT_EQ(::send(fd_, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
    }
    // The next response: id, status and, when asked, its data's length; false when the host
    // closed or nothing came in time.
    bool Receive(uint32_t& id, int32_t& status, int timeout_ms = 20000, uint32_t* length = nullptr,
                 std::vector<uint8_t>* data_out = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return false;
        uint8_t header[link::kResponseHeaderSize + link::kMaxTransfer];
        const size_t want = seqpacket_ ? sizeof header : link::kResponseHeaderSize;
        if (::recv(fd_, header, want, MSG_WAITALL) <
            static_cast<ssize_t>(link::kResponseHeaderSize))
            return false;
        id = GetLe32(header);
        status = static_cast<int32_t>(GetLe32(header + 4));
        const uint32_t data_length = GetLe32(header + 12);
        if (length != nullptr)
            *length = data_length;
        std::vector<uint8_t> data(seqpacket_ ? 0 : data_length);  // a message is whole
        const bool whole = data.empty() || ::recv(fd_, data.data(), data.size(), MSG_WAITALL) ==
                                               static_cast<ssize_t>(data.size());
        if (data_out != nullptr)
            *data_out = std::move(data);
        return whole;
    }
    // Waits for the host to end the connection.
    bool WaitForEnd(int timeout_ms = 20000) {
        pollfd p{fd_, POLLIN, 0};
        char c;
        while (::poll(&p, 1, timeout_ms) > 0) {
            const ssize_t n = ::recv(fd_, &c, 1, 0);
            if (n <= 0)
                return true;
        }
        return false;
    }
    // Reports an open with the descriptor, as the attachment does; the host's answer's status.
    int32_t Create(int descriptor) { return testing::SendAppCreate(fd_, 1, descriptor); }
    // Ends the sending side only, so the host's own end is still seen.
    void Shutdown() { ::shutdown(fd_, SHUT_WR); }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool seqpacket_;
};

// Takes everything a port's far end receives, on a thread of its own, until it goes out of scope.
class FarEnd {
  public:
    explicit FarEnd(int master) {
        if (::pipe(stop_) != 0)
            ADD_FAILURE() << "pipe";
        thread_ = std::thread([this, master] {
            char buffer[4096];
            pollfd p[2] = {{master, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            while (::poll(p, 2, -1) > 0 && p[1].revents == 0 &&
                   ::read(master, buffer, sizeof buffer) > 0) {
            }
        });
    }
    ~FarEnd() {
        ::close(stop_[1]);
        thread_.join();
        ::close(stop_[0]);
    }

  private:
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

class SievraHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_ = std::make_unique<SievraHost>(SievraHost::Options{
            dir_.path(), {pty_.slave_path()}, {}, {}, -1, {}, false, time_records_, 0, {}});
        const comm::CommStatus started = host_->Start();
        ASSERT_TRUE(started) << started.Describe();
        server_ = std::thread([this] { host_->Serve(); });
    }
    void TearDown() override {
        host_->Stop();
        server_.join();
        host_.reset();  // joins every session: a hang here is a failure (test time-out)
    }
    // A control client that has been welcomed.
    std::unique_ptr<RawClient> Control() {
        auto client = std::make_unique<RawClient>(dir_.path() + "/Sievr1");
        uint32_t id = 1;
        int32_t status = 1;
        EXPECT_TRUE(client->Receive(id, status));
        EXPECT_EQ(status, 0);
        return client;
    }
    std::string AppPath() const { return dir_.path() + "/SievrApp1"; }

    bool time_records_ = false;
    PtyPair pty_;
    TempDir dir_;
    std::unique_ptr<SievraHost> host_;
    std::thread server_;
};

TEST_F(SievraHostTest, AReadFollowedAtOnceByACloseEndsTheSession) {
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        auto client = Control();
        client->Send(7, link::kRead, 0, {}, 4096);
        client->Send(8, link::kClose);
        uint32_t id = 0;
        int32_t status = 0;
        bool closed = false;
        while (!closed && client->Receive(id, status))
            closed = id == 8;
        ASSERT_TRUE(closed);
    }
}

TEST_F(SievraHostTest, ReadsWhileOneWaitsCompleteAtOnceWithNoBytesAndSessionsAreJoined) {
    auto client = Control();
    constexpr int kReads = 300;
    // Nothing is recorded, so the first read waits; each later one completes at once, empty.
    for (int i = 0; i < kReads; ++i)
        client->Send(100 + i, link::kRead, 0, {}, 16);
    for (int i = 1; i < kReads; ++i) {
        uint32_t id = 0;
        int32_t status = -1;
        uint32_t length = 99;
        ASSERT_TRUE(client->Receive(id, status, 20000, &length));
        EXPECT_EQ(id, 100u + i);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(length, 0u);
    }
    client->Shutdown();
    ASSERT_TRUE(client->WaitForEnd());
    for (int i = 0; i < 300; ++i) {
        RawClient app(AppPath(), SOCK_SEQPACKET);
        ASSERT_TRUE(app.connected());
        ASSERT_EQ(app.Create(pty_.slave()), 0);
        app.Shutdown();
        ASSERT_TRUE(app.WaitForEnd());
    }
    EXPECT_EQ(host_->SessionCount(), 0u);
}

TEST_F(SievraHostTest, AProgramNeverWaitsForALateReaderWhoseLargeReadsTakeEveryRecordInOrder) {
    auto control = Control();
    uint32_t id = 0;
    int32_t status = -1;
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeMonitor, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    RawClient app(AppPath(), SOCK_SEQPACKET);
    ASSERT_EQ(app.Create(pty_.slave()), 0);
    // Fifty queues' worth of records while nobody reads; the answered write after them shows
    // the host took them all without waiting for the reader.
    constexpr int kWrites = 50;
    for (int i = 0; i < kWrites; ++i)
        app.Send(2, link::kAppWrite | link::kNoReply, 0, std::vector<uint8_t>(4000, uint8_t(i)));
    app.Send(3, link::kAppWrite, 0, {uint8_t(kWrites)}, 1);
    ASSERT_TRUE(app.Receive(id, status));
    EXPECT_EQ(id, 3u);
    std::vector<uint8_t> firsts;  // each write record's first data byte, in order
    size_t largest_read = 0;
    while (firsts.size() < kWrites + 1) {
        std::vector<uint8_t> records;
        uint32_t length = 0;
        control->Send(4, link::kRead, 0, {}, link::kMaxRecordRead);
        ASSERT_TRUE(control->Receive(id, status, 20000, &length, &records));
        ASSERT_EQ(status, 0);
        largest_read = std::max<size_t>(largest_read, length);
        for (size_t at = 0; at + kRecordHeaderSize <= records.size();) {
            const uint32_t data_length = GetLe32(&records[at + 9]);
            if (GetLe32(&records[at + 1]) == kKindWrite && data_length > 0)
                firsts.push_back(records[at + kRecordHeaderSize]);
            at += kRecordHeaderSize + data_length;
        }
    }
    for (int i = 0; i <= kWrites; ++i)
        EXPECT_EQ(firsts[static_cast<size_t>(i)], i);
    EXPECT_GT(largest_read, kRecordQueueSize);
}

// While a reader lags so far that the host's stash is full, a program's records wait in the
// port's queue; a close, an open or a change of process recorded after them must wait for room
// too, as the data records do, rather than overflow the queue and drop what waits there.
TEST_F(SievraHostTest, RecordsWaitingForALaggingReaderAreNeverDroppedByTheRecordsAfterThem) {
    auto control = Control();
    uint32_t id = 0;
    int32_t status = -1;
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeMonitor, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    FarEnd line(pty_.master());  // takes what the program writes, so each write is whole
    RawClient app(AppPath(), SOCK_SEQPACKET);
    ASSERT_EQ(app.Create(pty_.slave()), 0);
    constexpr size_t kRecord = kRecordHeaderSize + 4000;
    for (size_t stashed = 0; stashed + kRecordQueueSize <= kRecordStashSize; stashed += kRecord) {
        app.Send(2, link::kAppWrite, 0, std::vector<uint8_t>(4000, 'a'), 4000);
        ASSERT_TRUE(app.Receive(id, status));
    }
    // The stash is full: this record stays queued, and leaves less room than a close record.
    constexpr uint32_t kLast = kRecordQueueSize - kRecordHeaderSize - 17;
    app.Send(3, link::kAppWrite, 0, std::vector<uint8_t>(kLast, 'b'), kLast);
    ASSERT_TRUE(app.Receive(id, status));
    app.Send(4, link::kClose);
    bool last_seen = false;
    bool close_seen = false;
    for (uint32_t rid = 100; !close_seen; ++rid) {
        std::vector<uint8_t> records;
        control->Send(rid, link::kRead, 0, {}, link::kMaxRecordRead);
        ASSERT_TRUE(control->Receive(id, status, 20000, nullptr, &records));
        for (size_t at = 0; at + kRecordHeaderSize <= records.size();) {
            const uint32_t kind = GetLe32(&records[at + 1]);
            const uint32_t length = GetLe32(&records[at + 9]);
            last_seen |= kind == kKindWrite && length == kLast;
            close_seen |= kind == kKindClose;
            at += kRecordHeaderSize + length;
        }
    }
    EXPECT_TRUE(last_seen);
    ASSERT_TRUE(app.Receive(id, status));
    EXPECT_EQ(id, 4u);
}

// A reader that stops with its stash full costs other programs only their records: an open and
// a close made meanwhile are answered and carried out at once, unrecorded, and once the reader
// reads again it is told how many requests it was not given.
TEST_F(SievraHostTest, AStalledReaderCostsOtherProgramsOnlyTheirRecordsWhichAreCounted) {
    auto control = Control();
    uint32_t id = 0;
    int32_t status = -1;
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeMonitor, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    FarEnd line(pty_.master());
    RawClient filler(AppPath(), SOCK_SEQPACKET);
    ASSERT_EQ(filler.Create(pty_.slave()), 0);
    for (size_t stashed = 0; stashed + kRecordQueueSize <= kRecordStashSize;
         stashed += kRecordHeaderSize + 4000) {
        filler.Send(2, link::kAppWrite, 0, std::vector<uint8_t>(4000, 'a'), 4000);
        ASSERT_TRUE(filler.Receive(id, status));
    }
    constexpr uint32_t kLast = kRecordQueueSize - kRecordHeaderSize - 17;
    filler.Send(3, link::kAppWrite, 0, std::vector<uint8_t>(kLast, 'b'), kLast);
    ASSERT_TRUE(filler.Receive(id, status));
    {
        const comm::UniqueFd own(::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY));
        RawClient other(AppPath(), SOCK_SEQPACKET);
        ASSERT_EQ(other.Create(own.get()), 0);
        other.Send(4, link::kClose);
        ASSERT_TRUE(other.Receive(id, status));
        EXPECT_EQ(id, 4u);
    }
    std::vector<uint32_t> report;
    uint32_t creates = 0;
    for (uint32_t rid = 100; report.empty(); ++rid) {
        std::vector<uint8_t> records;
        control->Send(rid, link::kRead, 0, {}, link::kMaxRecordRead);
        ASSERT_TRUE(control->Receive(id, status, 20000, nullptr, &records));
        for (size_t at = 0; at + kRecordHeaderSize <= records.size();) {
            const uint32_t kind = GetLe32(&records[at + 1]);
            const uint32_t length = GetLe32(&records[at + 9]);
            creates += kind == kKindCreate;
            if (kind == kKindDeviceControl &&
                GetLe32(&records[at + 5]) == IOCTL_SIEVRA_BYPASS_REPORT)
                for (size_t word = 0; word < 3; ++word)
                    report.push_back(GetLe32(&records[at + kRecordHeaderSize + 4 * word]));
            at += kRecordHeaderSize + length;
        }
    }
    EXPECT_EQ(report, (std::vector<uint32_t>{kNotRecorded, 2, 0}));
    EXPECT_EQ(creates, 1u);  // the filler's own
}

// Only a control client's read of records may ask for more than one transfer, up to the
// larger limit; beyond it the stream cannot be trusted and the connection ends.
TEST_F(SievraHostTest, ReadsAskingTooMuchAreRefusedAndEndTheConnection) {
    struct Case {
        bool control;
        uint32_t out;
        int32_t status;
    };
    for (const Case& c :
         {Case{true, 0, 0}, Case{true, link::kMaxRecordRead + 1, link::kStatusInvalidRequest},
          Case{false, link::kMaxTransfer + 1, link::kStatusInvalidRequest}}) {
        SCOPED_TRACE(c.out);
        auto client =
            c.control ? Control() : std::make_unique<RawClient>(AppPath(), SOCK_SEQPACKET);
        if (!c.control) {
            ASSERT_EQ(client->Create(pty_.slave()), 0);
        }
        client->Send(5, link::kRead, 0, {}, c.out);
        uint32_t id = 0;
        int32_t status = -1;
        uint32_t length = 99;
        ASSERT_TRUE(client->Receive(id, status, 20000, &length));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(length, 0u);
        if (c.status == 0)
            client->Shutdown();
        EXPECT_TRUE(client->WaitForEnd());
    }
}

// A reader that asks for many large reads and never takes the answers holds the program back
// once the stash is full; closing it frees the program.
TEST_F(SievraHostTest, ClosingAReaderThatNeverTakesItsAnswersFreesTheProgram) {
    FarEnd line(pty_.master());  // takes what the program writes, so each write is whole
    auto control = std::make_unique<RawClient>(dir_.path() + "/Sievr1");
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeMonitor, 0, 0, 0});
    for (uint32_t i = 0; i < 100; ++i)
        control->Send(10 + i, link::kRead, 0, {}, link::kMaxRecordRead);
    RawClient app(AppPath(), SOCK_SEQPACKET);
    ASSERT_EQ(app.Create(pty_.slave()), 0);
    // Records until the program is held back: its socket fills.
    std::vector<uint8_t> write(link::kRequestHeaderSize + 4000, 'a');
    write[4] = link::kAppWrite | link::kNoReply;
    PutLe32(write.data() + 9, 4000);
    PutLe32(write.data() + 13, 0);
    ssize_t sent = 0;
    for (int i = 0; i < 4000 && sent >= 0; ++i)
        sent = ::send(app.fd(), write.data(), write.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ASSERT_EQ(errno, EAGAIN);
    control.reset();
    app.Send(3, link::kAppWrite, 0, {'z'}, 1);
    uint32_t id = 0;
    int32_t status = -1;
    ASSERT_TRUE(app.Receive(id, status));
    EXPECT_EQ(id, 3u);
}

// A client may send reads ahead of their answers: records reach it in the order they were made
// whichever of the host's threads answers each read.
TEST_F(SievraHostTest, ReadsSentAheadTakeRecordsInOrder) {
    auto control = Control();
    uint32_t id = 0;
    int32_t status = -1;
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeMonitor, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    FarEnd line(pty_.master());   // takes what the program writes, so each write is whole
    std::thread program([this] {  // numbered two-byte writes
        RawClient app(AppPath(), SOCK_SEQPACKET);
        ASSERT_EQ(app.Create(pty_.slave()), 0);
        for (int i = 0; i < 3000; ++i)
            app.Send(2, link::kAppWrite | link::kNoReply, 0, {uint8_t(i), uint8_t(i >> 8)});
    });
    int next = 0;
    int outstanding = 0;
    while (next < 3000) {
        for (; outstanding < 8; ++outstanding)  // each read takes at most one record
            control->Send(100, link::kRead, 0, {}, kRecordHeaderSize + 2);
        std::vector<uint8_t> records;
        ASSERT_TRUE(control->Receive(id, status, 20000, nullptr, &records));
        --outstanding;
        for (size_t at = 0; at + kRecordHeaderSize <= records.size();) {
            const uint32_t length = GetLe32(&records[at + 9]);
            if (GetLe32(&records[at + 1]) == kKindWrite && length == 2) {
                ASSERT_EQ(records[at + 13] | records[at + 14] << 8, next++);
            }
            at += kRecordHeaderSize + length;
        }
    }
    program.join();
}

TEST_F(SievraHostTest, StopEndsSessionsBlockedOnTheirSockets) {
    auto control = Control();
    RawClient app(AppPath(), SOCK_SEQPACKET);
    ASSERT_TRUE(app.connected());
    ASSERT_EQ(app.Create(pty_.slave()), 0);
    host_->Stop();  // both sessions sit in recv; TearDown's join must not wait for the clients
    EXPECT_TRUE(control->WaitForEnd());
    EXPECT_TRUE(app.WaitForEnd());
}

// What a program's ring holds when its socket ends was published before: taken, and no more. A
// program that keeps its ring fed from elsewhere (another process holding the memory file) must
// not hold its session, and with it the host's stop, once it has gone.
TEST_F(SievraHostTest, ARingFedAfterItsSocketEndedHoldsNoSession) {
    RawClient app(AppPath(), SOCK_SEQPACKET);
    int page_fd = -1, ring_fd = -1;
    ASSERT_EQ(testing::SendAppCreate(app.fd(), 1, pty_.slave(), &page_fd, 20000, &ring_fd), 0);
    const comm::UniqueFd page_held(page_fd), ring_held(ring_fd);
    ASSERT_TRUE(ring_held.valid());
    void* ring =
        ::mmap(nullptr, link::kRingFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, ring_fd, 0);
    ASSERT_NE(ring, MAP_FAILED);
    // Whole requests in blocks that fill the ring exactly (13 time stamps and 11 wakes make 512
    // bytes), so that publishing more costs only a count: published as fast as the host takes.
    constexpr uint32_t kBlock = 512;
    std::vector<uint8_t> block;
    for (int i = 0; i < 24; ++i) {
        const bool stamp = i < 13;
        std::vector<uint8_t> request(link::kRequestHeaderSize + (stamp ? 8 : 0));
        request[4] = (stamp ? link::kAppTime : link::kAppWake) | link::kNoReply;
        PutLe32(request.data() + 9, stamp ? 8 : 0);
        block.insert(block.end(), request.begin(), request.end());
    }
    ASSERT_EQ(block.size(), kBlock);
    link::RingHeader& header = *link::RingHeaderOf(ring);
    for (uint32_t at = 0; at < link::kRingCapacity; at += kBlock)
        std::memcpy(link::RingDataOf(ring) + at, block.data(), kBlock);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        while (!stop.load()) {
            const uint32_t tail = header.tail.load();
            const uint32_t room = link::kRingCapacity - (tail - header.head.load());
            header.tail.store(tail + room / kBlock * kBlock);
            if (header.host_sleeping.exchange(0) != 0) {
                uint8_t wake[link::kRequestHeaderSize] = {0, 0, 0, 0,
                                                          link::kAppWake | link::kNoReply};
                ::send(app.fd(), wake, sizeof wake, MSG_NOSIGNAL);  // fails once shut down
            }
        }
    });
    while (header.head.load() < 2 * link::kRingCapacity)  // the host takes them as they come
        std::this_thread::yield();
    const uint32_t taken_before = header.head.load();
    app.Shutdown();
    EXPECT_TRUE(app.WaitForEnd());
    // The ring as the host found it on its next look, and the piece it was taking then.
    EXPECT_LE(header.head.load() - taken_before, 2 * link::kRingCapacity);
    stop.store(true);
    feeder.join();
    ::munmap(ring, link::kRingFileSize);
}

// Reads records off a control client until one of `kind` and `code` comes.
bool WaitForRecord(int fd, uint32_t kind, uint32_t code) {
    std::vector<uint8_t> pending;
    for (uint32_t id = 1000;; ++id) {
        uint8_t request[link::kRequestHeaderSize] = {};
        PutLe32(request, id);
        request[4] = link::kRead;
        PutLe32(request + 13, 4096);
        if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0)
            return false;
        uint8_t header[link::kResponseHeaderSize];
        if (::recv(fd, header, sizeof header, MSG_WAITALL) != sizeof header)
            return false;
        std::vector<uint8_t> data(GetLe32(header + 12));
        if (!data.empty() && ::recv(fd, data.data(), data.size(), MSG_WAITALL) !=
                                 static_cast<ssize_t>(data.size())) {
            return false;
        }
        for (size_t at = 0; at + kRecordHeaderSize <= data.size();) {
            if (GetLe32(&data[at + 1]) == kind && GetLe32(&data[at + 5]) == code)
                return true;
            at += kRecordHeaderSize + GetLe32(&data[at + 9]);
        }
    }
}

TEST_F(SievraHostTest, AnApplicationThatVanishesIsCleanedUpAndClosed) {
    const std::string control_path = dir_.path() + "/Sievr1";
    const int fd = link::ConnectTo(control_path);
    ASSERT_GE(fd, 0);
    uint8_t welcome[link::kResponseHeaderSize];
    ASSERT_EQ(::recv(fd, welcome, sizeof welcome, MSG_WAITALL),
              static_cast<ssize_t>(sizeof welcome));
    auto call = [&](uint32_t code, const std::vector<uint8_t>& input) {
        std::vector<uint8_t> request(link::kRequestHeaderSize + input.size());
        PutLe32(request.data(), 1);
        request[4] = link::kDeviceControl;
        PutLe32(request.data() + 5, code);
        PutLe32(request.data() + 9, static_cast<uint32_t>(input.size()));
        std::copy(input.begin(), input.end(), request.begin() + link::kRequestHeaderSize);
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        uint8_t reply[link::kResponseHeaderSize];
        return ::recv(fd, reply, sizeof reply, MSG_WAITALL) == sizeof reply &&
               GetLe32(reply + 4) == 0;
    };
    ASSERT_TRUE(call(IOCTL_FILTER_SET_MODE, {1, 0, 0, 0}));
    {
        RawClient app(AppPath(), SOCK_SEQPACKET);
        ASSERT_EQ(app.Create(pty_.slave()), 0);
        app.Send(2, link::kAppWrite | link::kNoReply, 0, {'a'});
    }  // gone without a close
    EXPECT_TRUE(WaitForRecord(fd, kKindClose, 0));

    // Its rules end with it: a count rule half way through does not carry over to the next open.
    ASSERT_TRUE(call(IOCTL_FILTER_SET_MODE, {0, 0, 0, 0}));
    FilterRule rule{kReplace, 2, 2, 0, 'X', 0};
    std::vector<uint8_t> bytes(sizeof rule);
    std::memcpy(bytes.data(), &rule, sizeof rule);
    ASSERT_TRUE(call(IOCTL_FILTER_SEND_COUNT_RULE, bytes));
    {
        RawClient app(AppPath(), SOCK_SEQPACKET);
        ASSERT_EQ(app.Create(pty_.slave()), 0);
        app.Send(2, link::kAppWrite | link::kNoReply, 0, {'a'});
        app.Shutdown();
        ASSERT_TRUE(app.WaitForEnd());  // the host has cleaned it up
    }
    FilterRule marker{kReplace, 1, 0, 0, 'M', 0};
    std::memcpy(bytes.data(), &marker, sizeof marker);
    RawClient app(AppPath(), SOCK_SEQPACKET);
    ASSERT_EQ(app.Create(pty_.slave()), 0);
    uint32_t id = 0;
    int32_t status = 0;
    app.Send(2, link::kAppWrite, 0, {'b'}, 1);
    ASSERT_TRUE(app.Receive(id, status));
    ASSERT_TRUE(call(IOCTL_FILTER_SEND_TIME_RULE, bytes));
    app.Send(3, link::kAppWrite, 0, {'c'}, 1);
    ASSERT_TRUE(app.Receive(id, status));
    // The first event to come is the time rule's: the count rule never fired on 'b'.
    bool count_fired = false;
    bool time_fired = false;
    for (uint32_t rid = 2000; !time_fired; ++rid) {
        uint8_t request[link::kRequestHeaderSize] = {};
        PutLe32(request, rid);
        request[4] = link::kRead;
        PutLe32(request + 13, 4096);
        ::send(fd, request, sizeof request, MSG_NOSIGNAL);
        uint8_t header[link::kResponseHeaderSize];
        ASSERT_EQ(::recv(fd, header, sizeof header, MSG_WAITALL),
                  static_cast<ssize_t>(sizeof header));
        std::vector<uint8_t> data(GetLe32(header + 12));
        if (!data.empty())
            ::recv(fd, data.data(), data.size(), MSG_WAITALL);
        for (size_t at = 0; at + kRecordHeaderSize <= data.size();) {
            const uint32_t code = GetLe32(&data[at + 5]);
            count_fired |= code == IOCTL_FILTER_SEND_COUNT_RULE;
            time_fired |= code == IOCTL_FILTER_SEND_TIME_RULE;
            at += kRecordHeaderSize + GetLe32(&data[at + 9]);
        }
    }
    EXPECT_FALSE(count_fired);
    ::close(fd);
}

// A program holds the port when its device goes away (the far end hangs up, as a pulled adapter
// does): requests forwarded to the dead device and the program's own close are still answered.
TEST_F(SievraHostTest, APortThatVanishesUnderItsProgramNeverHoldsTheHost) {
    auto control = Control();
    RawClient app(AppPath(), SOCK_SEQPACKET);
    ASSERT_EQ(app.Create(pty_.slave()), 0);
    pty_.CloseMaster();
    uint32_t id = 0;
    int32_t status = 0;
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> requests = {
        {comm::IOCTL_SERIAL_SET_BAUD_RATE, {0x80, 0x25, 0, 0}},
        {comm::IOCTL_SERIAL_SET_DTR, {}},
        {comm::IOCTL_SERIAL_GET_MODEMSTATUS, {}},
    };
    for (const auto& [code, input] : requests) {
        SCOPED_TRACE(code);
        control->Send(10, link::kDeviceControl, code, input, 4);
        ASSERT_TRUE(control->Receive(id, status));
        EXPECT_EQ(id, 10u);
    }
    app.Send(11, link::kClose);
    ASSERT_TRUE(app.Receive(id, status));
    EXPECT_EQ(id, 11u);
}

// The rules' glance on the watch page is published by every session that served a request
// touching the rules; one that read the rules before a change and publishes after the change's
// own publication must not leave the older glance behind: once a rule is armed and its answer
// given, the page says so, or programs would pass bytes the rule should act on without asking.
// The rules' glance of a watch page a program was given, mapped as the attachment maps it.
class GlanceView {
  public:
    explicit GlanceView(int page_fd) : page_fd_(page_fd) {
        mapping_ = ::mmap(nullptr, link::kPageSize, PROT_READ, MAP_SHARED, page_fd, 0);
    }
    ~GlanceView() {
        if (mapping_ != MAP_FAILED)
            ::munmap(mapping_, link::kPageSize);
    }
    bool mapped() const { return mapping_ != MAP_FAILED; }
    const void* page() const { return mapping_; }
    const link::RuleGlance& glance() const {
        return *reinterpret_cast<const link::RuleGlance*>(static_cast<uint8_t*>(mapping_) +
                                                          link::kRuleGlanceOffset);
    }

  private:
    comm::UniqueFd page_fd_;
    void* mapping_;
};

// A rule's bytes for a control client's rule request.
std::vector<uint8_t> RuleBytes(const FilterRule& rule) {
    std::vector<uint8_t> bytes(sizeof rule);
    std::memcpy(bytes.data(), &rule, sizeof rule);
    return bytes;
}

TEST_F(SievraHostTest, TheRuleGlanceIsNeverOlderThanTheLastChangeAnswered) {
    auto control = Control();
    uint32_t id = 0;
    int32_t status = -1;
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeFilter, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    RawClient app(AppPath(), SOCK_SEQPACKET);
    int page_fd = -1;
    ASSERT_EQ(testing::SendAppCreate(app.fd(), 1, pty_.slave(), &page_fd), 0);
    const GlanceView view(page_fd);
    ASSERT_TRUE(view.mapped());
    const link::RuleGlance* glance = &view.glance();
    // Programs' notes of nothing passed: each makes its session publish the glance.
    std::vector<std::unique_ptr<RawClient>> others;
    for (int i = 0; i < 3; ++i) {
        others.push_back(std::make_unique<RawClient>(AppPath(), SOCK_SEQPACKET));
        ASSERT_EQ(others.back()->Create(pty_.slave()), 0);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> notes;
    for (RawClient* client : {&app, others[0].get(), others[1].get(), others[2].get()}) {
        notes.emplace_back([&stop, client] {
            const std::vector<uint8_t> note = {0, 0, 0, 0, 0};
            while (!stop.load())
                client->Send(3, link::kAppPassed | link::kNoReply, 0, note);
        });
    }
    int stale = 0;
    for (int round = 0; round < 1500; ++round) {
        const bool armed = round % 2 == 0;
        control->Send(4, link::kDeviceControl, IOCTL_FILTER_SEND_TIME_RULE,
                      RuleBytes({kReplace, armed ? 1u : 0u, 0, 0, 'M', 0}));
        ASSERT_TRUE(control->Receive(id, status));
        for (uint32_t sequence = 1; (sequence & 1) != 0;)
            sequence = glance->sequence.load();  // a glance being written is finished shortly
        stale += (glance->time_armed[0].load() != 0) != armed;
    }
    stop.store(true);
    for (std::thread& thread : notes)
        thread.join();
    EXPECT_EQ(stale, 0);
}

// Each program counts only its own bytes passed without asking against a count rule; two
// sharing the port could together take it past its byte with neither asking. While more than
// one open shares the port, the glance shows the rule acting on the next byte.
TEST_F(SievraHostTest, ProgramsSharingAPortAreShownACountRuleActingOnTheirNextByte) {
    auto control = Control();
    uint32_t id = 0;
    int32_t status = -1;
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeFilter, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    control->Send(3, link::kDeviceControl, IOCTL_FILTER_SEND_COUNT_RULE,
                  RuleBytes({kReplace, 10, 10, 0, 'X', 0}));
    ASSERT_TRUE(control->Receive(id, status));
    RawClient first(AppPath(), SOCK_SEQPACKET);
    int page_fd = -1;
    ASSERT_EQ(testing::SendAppCreate(first.fd(), 1, pty_.slave(), &page_fd), 0);
    const GlanceView view(page_fd);
    ASSERT_TRUE(view.mapped());
    EXPECT_EQ(view.glance().count_left[0].load(), 10u);
    {
        const comm::UniqueFd own(::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY));
        RawClient second(AppPath(), SOCK_SEQPACKET);
        ASSERT_EQ(second.Create(own.get()), 0);
        EXPECT_EQ(view.glance().count_left[0].load(), 1u);
        second.Send(4, link::kClose);
        ASSERT_TRUE(second.Receive(id, status));
    }
    // The close ended the rules; set again, the one program left passes alone.
    control->Send(5, link::kDeviceControl, IOCTL_FILTER_SEND_COUNT_RULE,
                  RuleBytes({kReplace, 10, 10, 0, 'X', 0}));
    ASSERT_TRUE(control->Receive(id, status));
    EXPECT_EQ(view.glance().count_left[0].load(), 10u);
}

// Rules outlive the control client that set them: one that opens later finds them acting, so
// the glance published while nobody watched (when no rule acts) is renewed before the page says
// the port is filtered again.
TEST_F(SievraHostTest, AControlClientFindsTheRulesLeftArmedOnTheGlanceAsItStartsFiltering) {
    uint32_t id = 0;
    int32_t status = -1;
    {
        auto control = Control();
        control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeFilter, 0, 0, 0});
        ASSERT_TRUE(control->Receive(id, status));
        control->Send(3, link::kDeviceControl, IOCTL_FILTER_SEND_TIME_RULE,
                      RuleBytes({kReplace, 1, 0, 0, 'M', 0}));
        ASSERT_TRUE(control->Receive(id, status));
        control->Send(4, link::kClose);
        ASSERT_TRUE(control->Receive(id, status));
    }
    RawClient app(AppPath(), SOCK_SEQPACKET);
    int page_fd = -1;
    ASSERT_EQ(testing::SendAppCreate(app.fd(), 1, pty_.slave(), &page_fd), 0);
    const GlanceView view(page_fd);
    ASSERT_TRUE(view.mapped());
    const auto* state = static_cast<const std::atomic<uint32_t>*>(view.page());
    ASSERT_EQ(state->load(), link::kUnwatched);
    auto control = Control();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (state->load() != link::kWatchedFilter && std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    ASSERT_EQ(state->load(), link::kWatchedFilter);
    EXPECT_EQ(view.glance().time_armed[0].load(), 1u);
}

// A program passes a call without asking when the page shows the port filtered and no rule
// acting; if the client has turned to monitoring by the time the host takes the note, the call
// went unrecorded, and the client is told so before the next record.
TEST_F(SievraHostTest, BytesPassedJustBeforeMonitoringBeganAreToldAsNotRecorded) {
    auto control = Control();
    uint32_t id = 0;
    int32_t status = -1;
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeFilter, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    FarEnd line(pty_.master());
    RawClient app(AppPath(), SOCK_SEQPACKET);
    ASSERT_EQ(app.Create(pty_.slave()), 0);
    control->Send(3, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeMonitor, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    app.Send(0, link::kAppPassed | link::kNoReply, 0, {0, 7, 0, 0, 0});
    app.Send(4, link::kAppWrite, 0, {'a'}, 1);
    ASSERT_TRUE(app.Receive(id, status));
    std::vector<uint32_t> report;  // the reports before the write's record
    bool written = false;
    for (uint32_t rid = 100; !written; ++rid) {
        std::vector<uint8_t> records;
        control->Send(rid, link::kRead, 0, {}, link::kMaxRecordRead);
        ASSERT_TRUE(control->Receive(id, status, 20000, nullptr, &records));
        for (size_t at = 0; at + kRecordHeaderSize <= records.size() && !written;) {
            const uint32_t kind = GetLe32(&records[at + 1]);
            if (kind == kKindDeviceControl &&
                GetLe32(&records[at + 5]) == IOCTL_SIEVRA_BYPASS_REPORT) {
                for (size_t word = 0; word < 3; ++word)
                    report.push_back(GetLe32(&records[at + kRecordHeaderSize + 4 * word]));
            }
            written = kind == kKindWrite;
            at += kRecordHeaderSize + GetLe32(&records[at + 9]);
        }
    }
    EXPECT_EQ(report, (std::vector<uint32_t>{kNotRecorded, 1, 7}));
}

class SievraHostTimedTest : public SievraHostTest {
  protected:
    SievraHostTimedTest() { time_records_ = true; }
};

// A program's stamp says when it made the request right after it, and no other: a note of
// bytes passed takes its own stamp along, so a request behind it on the socket (which carries
// none) is timed by the host. No request is made after the host takes it, so a stamp from the
// future is taken for the time the host has.
TEST_F(SievraHostTimedTest, AProgramsStampTimesOnlyTheRequestItPrecedesAndNeverTheFuture) {
    auto control = Control();
    uint32_t id = 0;
    int32_t status = -1;
    control->Send(2, link::kDeviceControl, IOCTL_FILTER_SET_MODE, {kLinkModeMonitor, 0, 0, 0});
    ASSERT_TRUE(control->Receive(id, status));
    FarEnd line(pty_.master());
    RawClient app(AppPath(), SOCK_SEQPACKET);
    ASSERT_EQ(app.Create(pty_.slave()), 0);
    const auto stamp = [](uint64_t us) {
        std::vector<uint8_t> input(8);
        PutLe32(input.data(), static_cast<uint32_t>(us));
        PutLe32(input.data() + 4, static_cast<uint32_t>(us >> 32));
        return input;
    };
    constexpr uint64_t kLongAgo = 1'000'000'000'000'000;  // 2001
    constexpr uint64_t kFarAhead = uint64_t{1} << 62;
    app.Send(0, link::kAppTime | link::kNoReply, 0, stamp(kLongAgo));
    app.Send(0, link::kAppPassed | link::kNoReply, 0, {0, 1, 0, 0, 0});
    app.Send(3, link::kAppWrite, 0, {'a'}, 1);
    ASSERT_TRUE(app.Receive(id, status));
    app.Send(0, link::kAppTime | link::kNoReply, 0, stamp(kFarAhead));
    app.Send(4, link::kAppWrite, 0, {'b'}, 1);
    ASSERT_TRUE(app.Receive(id, status));
    const uint64_t after =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    std::vector<uint64_t> times;  // the time told before each write
    uint64_t told = 0;
    for (uint32_t rid = 100; times.size() < 2; ++rid) {
        std::vector<uint8_t> records;
        control->Send(rid, link::kRead, 0, {}, link::kMaxRecordRead);
        ASSERT_TRUE(control->Receive(id, status, 20000, nullptr, &records));
        for (size_t at = 0; at + kRecordHeaderSize <= records.size();) {
            const uint32_t kind = GetLe32(&records[at + 1]);
            const uint32_t length = GetLe32(&records[at + 9]);
            const uint8_t* data = &records[at + kRecordHeaderSize];
            if (kind == kKindDeviceControl && GetLe32(&records[at + 5]) == IOCTL_SIEVRA_TIME_REPORT)
                told = GetLe32(data) | static_cast<uint64_t>(GetLe32(data + 4)) << 32;
            if (kind == kKindWrite)
                times.push_back(told);
            at += kRecordHeaderSize + length;
        }
    }
    EXPECT_GT(times[0], kLongAgo);
    EXPECT_LE(times[0], after);
    EXPECT_LE(times[1], after);
}

// Sends a home link request for port 1 with descriptor passed along.
bool SendHomeConnect(int home, int descriptor) {
    uint8_t request[link::kRequestHeaderSize + 4] = {};
    request[4] = link::kHomeConnect | link::kNoReply;
    PutLe32(request + 9, 4);
    PutLe32(request + link::kRequestHeaderSize, 1);
    iovec part{request, sizeof request};
    msghdr msg{};
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    link::DescriptorRoom room;
    link::PassDescriptor(msg, room, descriptor);
    return ::sendmsg(home, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request);
}

// A connection through the home link is served as whoever made the socket pair, as they were
// when they made it: a process that gave up root gets no more than its new user, and a pair that
// another process made (whose credentials the sender does not hold) is refused.
TEST_F(SievraHostTest, AHomeLinkServesPairsAsTheirMakerIsNow) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "changing the user needs root";
    const int home = link::ConnectTo(dir_.path() + "/SievrHome", SOCK_SEQPACKET);
    ASSERT_GE(home, 0);
    // Made here: served, as root.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_TRUE(SendHomeConnect(home, pair[1]));
    ::close(pair[1]);
    EXPECT_EQ(testing::SendAppCreate(pair[0], 1, pty_.slave()), 0);
    ::close(pair[0]);
    // Made by another process and passed on: refused (closed).
    int carrier[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, carrier), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int made[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, made) != 0 ||
            !SendHomeConnect(carrier[1], made[1]))
            ::_exit(1);
        ::_exit(SendHomeConnect(carrier[1], made[0]) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    int made[2] = {-1, -1};
    for (int& fd : made) {
        uint8_t request[link::kRequestHeaderSize + 4];
        iovec part{request, sizeof request};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr msg{};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ASSERT_GT(::recvmsg(carrier[0], &msg, MSG_CMSG_CLOEXEC), 0);
        ASSERT_NE(CMSG_FIRSTHDR(&msg), nullptr);
        std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&msg)), sizeof fd);
    }
    ASSERT_TRUE(SendHomeConnect(home, made[0]));
    ::close(made[0]);
    EXPECT_EQ(testing::SendAppCreate(made[1], 1, pty_.slave()), -1);
    ::close(made[1]);
    // Made after giving up root: served as nobody, who may not open the port's device, and once
    // it may, not trusted to speak for another process.
    for (const bool may_open : {false, true}) {
        SCOPED_TRACE(may_open ? "the device open to all" : "the device root's");
        ASSERT_EQ(::chmod(pty_.slave_path().c_str(), may_open ? 0666 : 0600), 0);
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const gid_t none = 65534;
            int own[2];
            if (::setgroups(1, &none) != 0 || ::setresgid(none, none, none) != 0 ||
                ::setresuid(none, none, none) != 0 ||
                ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, own) != 0 ||
                !SendHomeConnect(home, own[1])) {
                ::_exit(10);
            }
            ::close(own[1]);
            const int32_t created = testing::SendAppCreate(own[0], 1, pty_.slave());
            if (!may_open)
                ::_exit(created == -1 ? 0 : 11);
            if (created != 0)
                ::_exit(12);
            uint8_t on_behalf[link::kRequestHeaderSize + 4] = {};
            on_behalf[4] = link::kAppOnBehalf;
            PutLe32(on_behalf + 9, 4);
            PutLe32(on_behalf + link::kRequestHeaderSize, 1);
            uint8_t reply[link::kResponseHeaderSize];
            if (::send(own[0], on_behalf, sizeof on_behalf, MSG_NOSIGNAL) != sizeof on_behalf ||
                ::recv(own[0], reply, sizeof reply, 0) != sizeof reply) {
                ::_exit(13);
            }
            ::_exit(static_cast<int32_t>(GetLe32(reply + 4)) == link::kStatusInvalidRequest ? 0
                                                                                            : 14);
        }
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ::close(home);
    ::close(carrier[0]);
    ::close(carrier[1]);
}

// A pair made while the process was root and passed after it gave up root would carry root's
// rights to a program of another user (one it runs after the change, with its descriptors):
// refused, the connection closed without a word.
TEST_F(SievraHostTest, AHomeLinkRefusesAPairMadeBeforeItsMakerGaveUpRoot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "changing the user needs root";
    const int home = link::ConnectTo(dir_.path() + "/SievrHome", SOCK_SEQPACKET);
    ASSERT_GE(home, 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const gid_t none = 65534;
        int stale[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, stale) != 0 || ::setgroups(1, &none) != 0 ||
            ::setresgid(none, none, none) != 0 || ::setresuid(none, none, none) != 0 ||
            !SendHomeConnect(home, stale[1])) {
            ::_exit(10);
        }
        ::close(stale[1]);
        // Root may name another process without an open; a refused pair is closed instead.
        uint8_t on_behalf[link::kRequestHeaderSize + 4] = {};
        on_behalf[4] = link::kAppOnBehalf;
        PutLe32(on_behalf + 9, 4);
        PutLe32(on_behalf + link::kRequestHeaderSize, 1);
        uint8_t reply[link::kResponseHeaderSize];
        if (::send(stale[0], on_behalf, sizeof on_behalf, MSG_NOSIGNAL) != sizeof on_behalf)
            ::_exit(0);  // already closed by the host
        // Closed with the request unread: an end of file or a reset, never an answer.
        ::_exit(::recv(stale[0], reply, sizeof reply, 0) > 0 ? 11 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ::close(home);
}

TEST(SievraHostStart, BothSocketPathsAreCheckedForLength) {
    TempDir dir;
    PtyPair pty;
    // Long enough for ".../Sievr1" but not for ".../SievrApp1".
    std::string runtime = dir.path() + "/";
    const size_t limit = sizeof(sockaddr_un::sun_path);
    runtime += std::string(limit - runtime.size() - 9, 'r');
    SievraHost host({runtime, {pty.slave_path()}, {}, {}, -1, {}, false, false, 0, {}});
    const comm::CommStatus started = host.Start();
    EXPECT_FALSE(started);
    EXPECT_EQ(started.error(), ENAMETOOLONG);
    EXPECT_NE(started.Describe().find("socket path"), std::string::npos);
}

TEST(SievraHostStart, AnUnknownGroupSaysWhatFailed) {
    TempDir dir;
    SievraHost host({dir.path(), {}, "no-such-group-here", {}, -1, {}, false, false, 0, {}});
    const comm::CommStatus started = host.Start();
    EXPECT_FALSE(started);
    EXPECT_NE(started.Describe().find("getgrnam --group"), std::string::npos);
}

}  // namespace
}  // namespace sievra
