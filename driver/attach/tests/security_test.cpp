// The host and the attachment against an unprivileged local user: a user id with no account, made
// with setpriv, tries to read, change or break what the port's device does not give it.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "driver/attach/tests/attached_program.h"
#include "driver/attach/tests/record_log.h"
#include "driver/host/testing/app_create.h"
#include "driver/host/testing/host_ready.h"
#include "driver/link/link_socket.h"
#include "driver/link/record_ring.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/unique_fd.h"

namespace sievra::attach::testing {
namespace {

using comm::testing::ChildProcess;
using comm::testing::PtyPair;
using comm::testing::TempDir;
namespace fs = std::filesystem;

const std::string kPython = "/usr/bin/python3";
constexpr uid_t kOutsider = 12345;  // no account: setpriv needs none

gid_t Dialout() {
    const group* g = ::getgrnam("dialout");
    return g != nullptr ? g->gr_gid : 20;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SecurityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "acting as another user needs root";
        ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);  // the outsider may pass through
        runtime_ = dir_.path() + "/run";
        map_ = dir_.path() + "/map";
        std::ofstream(map_) << "ttyS0=" << pty_.slave_path() << "\n";
        DeviceAccess(0, 0600);  // root's alone, as a root program's port
        setenv("PORVANE_DEVICE_MAP", map_.c_str(), 1);
        setenv("SIEVRA_RUNTIME_DIR", runtime_.c_str(), 1);
        host_ = StartHost(runtime_);
        ASSERT_TRUE(sievra::testing::WaitUntilServing(*host_));
    }
    void TearDown() override {
        unsetenv("PORVANE_DEVICE_MAP");
        unsetenv("SIEVRA_RUNTIME_DIR");
        if (host_ != nullptr) {
            host_->Signal(SIGTERM);
            EXPECT_EQ(host_->Wait(10000), 0);
        }
    }
    static std::unique_ptr<ChildProcess> StartHost(const std::string& runtime) {
        return std::make_unique<ChildProcess>(
            "sievrad", std::vector<std::string>{"--runtime-dir", runtime, "--group", "dialout"});
    }
    void DeviceAccess(gid_t group, mode_t mode) {
        ASSERT_EQ(::chown(pty_.slave_path().c_str(), 0, group), 0);
        ASSERT_EQ(::chmod(pty_.slave_path().c_str(), mode), 0);
    }
    // argv run as the outsider, a member of dialout (so it reaches the sockets), with its error
    // output joined to its output.
    // input, when given, keeps standard input open (see ChildProcess).
    static std::unique_ptr<ChildProcess> AsOutsider(const std::vector<std::string>& argv,
                                                    const std::string* input = nullptr) {
        std::vector<std::string> args{"-c",
                                      "exec \"$@\" 2>&1",
                                      "sh",
                                      "/usr/bin/setpriv",
                                      "--reuid=" + std::to_string(kOutsider),
                                      "--regid=" + std::to_string(kOutsider),
                                      "--groups=" + std::to_string(Dialout()),
                                      "--"};
        args.insert(args.end(), argv.begin(), argv.end());
        return std::make_unique<ChildProcess>("/bin/sh", args, input);
    }
    static std::string Cli() { return ChildProcess::BinDir() + "/porvane-cli"; }
    speed_t PortSpeed() {
        termios t{};
        EXPECT_EQ(::tcgetattr(pty_.slave(), &t), 0);
        return ::cfgetospeed(&t);
    }

    PtyPair pty_;
    TempDir dir_;
    std::string runtime_;
    std::string map_;
    std::unique_ptr<ChildProcess> host_;
};

TEST_F(SecurityTest, OnlyAUserWhoMayOpenThePortMayWatchOrFilterIt) {
    const speed_t speed = PortSpeed();
    auto monitor = AsOutsider({Cli(), "monitor", "ttyS0"});
    EXPECT_EQ(monitor->Wait(), 1);
    const std::string refused = monitor->ReadAllOutput();
    EXPECT_NE(refused.find("不能开始监视,驱动失败!!"), std::string::npos) << refused;
    EXPECT_NE(refused.find("access denied: only users who may open " + pty_.slave_path()),
              std::string::npos)
        << refused;
    auto filter = AsOutsider({Cli(), "filter", "ttyS0", "--action", "replace", "--byte", "58",
                              "--send-count", "1", "--force", "50,8,no,1"});
    EXPECT_EQ(filter->Wait(), 1);
    EXPECT_EQ(PortSpeed(), speed);

    // A member of a group that may open the device keeps every right.
    DeviceAccess(Dialout(), 0660);
    auto allowed = AsOutsider({Cli(), "monitor", "ttyS0"});
    ASSERT_NE(allowed->ReadOutputUntil("monitoring").find("monitoring"), std::string::npos);
    AttachedProgram program({kPython, "-c",
                             "import os,sys\nfd=os.open(sys.argv[1],os.O_RDWR|os.O_NOCTTY)\n"
                             "os.write(fd,b'secret')\nos.close(fd)\n",
                             pty_.slave_path()},
                            AttachedEnvironment(runtime_));
    EXPECT_EQ(program.Wait(), 0) << program.Errors();
    EXPECT_NE(allowed->ReadOutputUntil("secret").find("secret"), std::string::npos);
    allowed->Signal(SIGINT);
    EXPECT_EQ(allowed->Wait(), 0);
}

// Connects to the port's application socket and tries to speak for the port with a pseudo-
// terminal of its own; prints what the host made of it.
const char* const kPoseScript = R"(
import os, socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(sys.argv[1])
own, _ = os.openpty()
create = struct.pack('<IBIII', 1, 4, 0, 4, 0) + struct.pack('<I', 0)
reply = b''
try:
    socket.send_fds(s, [create], [own])
    reply = s.recv(16)
    s.sendall(struct.pack('<IBIII', 2, 5 | 0x80, 0, 4, 0) + b'fake')
    s.sendall(struct.pack('<IBIII', 3, 3, 0, 0, 0))
except OSError:
    pass
if len(reply) < 16:
    print('closed')
else:
    print('status %08x' % struct.unpack('<I', reply[4:8])[0])
)";

TEST_F(SecurityTest, OnlyTheProgramHoldingThePortSpeaksForIt) {
    RecordLog log(runtime_, 0);
    ASSERT_TRUE(log.open());
    ASSERT_EQ(log.link().SetMode(kLinkModeMonitor), 1);
    AttachedProgram program({kPython, "-c",
                             "import os,sys\nfd=os.open(sys.argv[1],os.O_RDWR|os.O_NOCTTY)\n"
                             "print('open',flush=True)\nsys.stdin.readline()\n"
                             "os.write(fd,b'real')\nprint('wrote',flush=True)\n"
                             "sys.stdin.readline()\nos.write(fd,b'rule')\nos.close(fd)\n",
                             pty_.slave_path()},
                            AttachedEnvironment(runtime_));
    ASSERT_EQ(program.ReadLine(), "open");

    // Not allowed on the device: turned away at once. Allowed, but with a descriptor of another
    // terminal: the open is refused.
    auto stranger = AsOutsider({kPython, "-c", kPoseScript, runtime_ + "/SievrApp1"});
    EXPECT_EQ(stranger->ReadAllOutput(), "closed\n");
    DeviceAccess(Dialout(), 0660);
    auto member = AsOutsider({kPython, "-c", kPoseScript, runtime_ + "/SievrApp1"});
    EXPECT_EQ(member->ReadAllOutput(), "status c0000022\n");

    // Nothing of theirs is on record, and the real program's session and rules are untouched.
    program.WriteLine("");
    EXPECT_EQ(program.ReadLine(), "wrote");
    EXPECT_EQ(pty_.ReadExactly(4), "real");
    ASSERT_TRUE(log.WaitFor("写串口 4 bytes: real"));
    ASSERT_EQ(log.link().SetMode(kLinkModeFilter), 1);
    ASSERT_EQ(
        log.link().LoadRule(IOCTL_FILTER_SEND_COUNT_RULE, FilterRule{kReplace, 1, 1, 1, 'X', 0}),
        1);
    program.WriteLine("");
    EXPECT_EQ(pty_.ReadExactly(4), "XXXX");
    EXPECT_EQ(program.Wait(), 0) << program.Errors();
    const std::string text = log.Text();
    EXPECT_EQ(text.find("fake"), std::string::npos) << text;
    EXPECT_EQ(RecordLog::Count(text, "Open Com"), 1u) << text;
    EXPECT_EQ(RecordLog::Count(text, "Close Com"), 0u) << text;  // filtering when it closed
}

// A program's record ring is the program's to spoil: garbage, impossible counts and a writer
// that never makes room end its own connection, never another program's records or the host.
TEST_F(SecurityTest, AProgramThatSpoilsItsRecordRingSpoilsOnlyItsOwnRecords) {
    RecordLog log(runtime_, 0);
    ASSERT_TRUE(log.open());
    ASSERT_EQ(log.link().SetMode(kLinkModeMonitor), 1);
    struct Spoil {
        const char* name;
        std::function<void(link::RingHeader&, uint8_t*)> apply;
    };
    const std::vector<Spoil> spoils = {
        {"garbage requests",
         [](link::RingHeader& h, uint8_t* data) {
             for (uint32_t i = 0; i < 8192; ++i)
                 data[i] = static_cast<uint8_t>(i * 131 + 7);
             h.tail.store(8192);
         }},
        {"a count beyond the ring",
         [](link::RingHeader& h, uint8_t*) { h.tail.store(0x80000001u); }},
        {"a request longer than the ring holds",
         [](link::RingHeader& h, uint8_t* data) {
             uint8_t header[link::kRequestHeaderSize] = {};
             header[4] = link::kAppWrite | link::kNoReply;
             PutLe32(header + 9, link::kMaxTransfer);
             std::memcpy(data, header, sizeof header);
             h.tail.store(sizeof header);
             h.head.store(0xFFFFFFFFu);
             h.writer_waiting.store(1);
         }},
    };
    for (const Spoil& spoil : spoils) {
        SCOPED_TRACE(spoil.name);
        const comm::UniqueFd app(link::ConnectTo(runtime_ + "/SievrApp1", SOCK_SEQPACKET));
        int page = -1, ring = -1;
        ASSERT_EQ(sievra::testing::SendAppCreate(app.get(), 1, pty_.slave(), &page, 20000, &ring),
                  0);
        const comm::UniqueFd page_held(page), ring_held(ring);
        ASSERT_TRUE(ring_held.valid());
        EXPECT_NE(::ftruncate(ring, 0), 0);  // sealed: the host's mapping cannot fault
        void* mapping =
            ::mmap(nullptr, link::kRingFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, ring, 0);
        ASSERT_NE(mapping, MAP_FAILED);
        spoil.apply(*link::RingHeaderOf(mapping), link::RingDataOf(mapping));
        uint8_t wake[link::kRequestHeaderSize] = {};
        wake[4] = link::kAppWake | link::kNoReply;
        EXPECT_EQ(::send(app.get(), wake, sizeof wake, MSG_NOSIGNAL),
                  static_cast<ssize_t>(sizeof wake));
        ::munmap(mapping, link::kRingFileSize);

        // The next program's records are whole and in order (and the host still ends cleanly).
        AttachedProgram program({kPython, "-c",
                                 "import os,sys\nfd=os.open(sys.argv[1],os.O_RDWR|os.O_NOCTTY)\n"
                                 "os.write(fd,b'real')\nos.close(fd)\n",
                                 pty_.slave_path()},
                                AttachedEnvironment(runtime_));
        EXPECT_EQ(pty_.ReadExactly(4), "real");
        EXPECT_EQ(program.Wait(), 0) << program.Errors();
        EXPECT_TRUE(log.WaitFor("写串口 4 bytes: real", &spoil - spoils.data() + 1));
    }
}

// Only a client trusted with every port (root, or the host's own user: a tracer) may name the
// process its requests are made for; anyone else is turned away before an open.
TEST_F(SecurityTest, OnlyATrustedTracerNamesTheProcessItSpeaksFor) {
    DeviceAccess(Dialout(), 0660);
    const char* const script = R"(
import socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(sys.argv[1])
s.send(struct.pack('<IBIII', 1, 10, 0, 4, 0) + struct.pack('<I', 1))
reply = s.recv(16)
print('closed' if len(reply) < 16 else 'status %08x' % struct.unpack('<I', reply[4:8])[0])
)";
    auto member = AsOutsider({kPython, "-c", script, runtime_ + "/SievrApp1"});
    EXPECT_EQ(member->ReadAllOutput(), "status c0000022\n");
}

// Reports an open with the status in argv[2] and, for status 0, a pseudo-terminal of its own;
// prints what the host answered.
const char* const kOddOpenScript = R"(
import os, socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(sys.argv[1])
status = int(sys.argv[2], 16)
own, _ = os.openpty()
create = struct.pack('<IBIII', 1, 4, 0, 4, 0) + struct.pack('<I', status)
reply = b''
try:
    socket.send_fds(s, [create], [own] if status == 0 else [])
    reply = s.recv(16)
except OSError:
    pass
print('closed' if len(reply) < 16 else 'status %08x' % struct.unpack('<I', reply[4:8])[0])
)";

TEST_F(SecurityTest, AnOpenReportIsAnErrorOrTheDevicesOwnDescriptorAndNothingElse) {
    DeviceAccess(Dialout(), 0660);  // the outsider may use the port
    AttachedProgram program({kPython, "-c",
                             "import os,sys\nfd=os.open(sys.argv[1],os.O_RDWR|os.O_NOCTTY)\n"
                             "print('open',flush=True)\nsys.stdin.readline()\nos.close(fd)\n",
                             pty_.slave_path()},
                            AttachedEnvironment(runtime_));
    ASSERT_EQ(program.ReadLine(), "open");
    struct Case {
        const char* status;
        const char* answer;
    };
    // Pending and success-class codes are no failed open; an error is recorded and ends there.
    const Case cases[] = {{"00000103", "status c0000010\n"},
                          {"40000000", "status c0000010\n"},
                          {"c0000022", "status c0000022\n"},
                          {"00000000", "status c0000022\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        auto odd = AsOutsider({kPython, "-c", kOddOpenScript, runtime_ + "/SievrApp1", c.status});
        EXPECT_EQ(odd->ReadAllOutput(), c.answer);
    }
    // The host still serves, and a forwarded request acts on the program's own port.
    porvane::monitor::DriverLink link(runtime_);
    ASSERT_TRUE(link.Open(0));
    const speed_t before = PortSpeed();
    uint32_t baud = before == B1200 ? 2400 : 1200;
    ASSERT_EQ(link.Forward(comm::IOCTL_SERIAL_SET_BAUD_RATE, &baud, 4, nullptr, 0), 1);
    EXPECT_NE(PortSpeed(), before);
    program.WriteLine("");
    EXPECT_EQ(program.Wait(), 0) << program.Errors();
}

TEST_F(SecurityTest, IdleConnectionsOfOneUserKeepNobodyElseOut) {
    DeviceAccess(Dialout(), 0660);
    auto idle = AsOutsider({kPython, "-c", R"(
import select, socket, sys
held = []
for i in range(48):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    s.connect(sys.argv[1])
    held.append(s)
print('connected', flush=True)
ended = 0
for s in held:
    if select.select([s], [], [], 30)[0] and s.recv(1) == b'':
        ended += 1
print('ended', ended, flush=True)
)",
                            runtime_ + "/SievrApp1"});
    ASSERT_NE(idle->ReadOutputUntil("connected").find("connected"), std::string::npos);
    porvane::monitor::DriverLink link(runtime_);
    EXPECT_TRUE(link.Open(0));  // root's page still gets its port
    // Connections that never open are ended by the host (over the user's share at once, the
    // rest when their time to open has passed).
    EXPECT_NE(idle->ReadOutputUntil("ended 48").find("ended 48"), std::string::npos);
}

// A stand-in host in the test's folder that answers an open with a page anyone may shrink, and
// shrinks it as soon as it is handed over.
class ShrinkingPageHost {
  public:
    explicit ShrinkingPageHost(const std::string& path) {
        listen_.Reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address;
        link::SocketAddress(path, address);
        ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listen_.get(), 4);
        thread_ = std::thread([this, path] {
            const comm::UniqueFd app(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!app.valid())
                return;
            uint8_t request[link::kRequestHeaderSize + 4];
            link::ReadFully(app.get(), request, sizeof request);
            reached = true;  // before the answer, which the program waits for
            const std::string page_path = path + ".page";
            const comm::UniqueFd page(::open(page_path.c_str(), O_RDWR | O_CREAT, 0600));
            [[maybe_unused]] int sized = ::ftruncate(page.get(), 4096);
            uint8_t reply[link::kResponseHeaderSize] = {};
            iovec part{reply, sizeof reply};
            msghdr msg{};
            msg.msg_iov = &part;
            msg.msg_iovlen = 1;
            link::DescriptorRoom room;
            link::PassDescriptor(msg, room, page.get());
            ::sendmsg(app.get(), &msg, MSG_NOSIGNAL);
            sized = ::ftruncate(page.get(), 0);
            char c_;
            while (::recv(app.get(), &c_, 1, 0) > 0) {
            }
        });
    }
    ~ShrinkingPageHost() {
        ::shutdown(listen_.get(), SHUT_RDWR);
        thread_.join();
    }

    // The program handed its open to this host (so it was offered the shrinking page).
    std::atomic<bool> reached{false};

  private:
    comm::UniqueFd listen_;
    std::thread thread_;
};

const char* const kStreamScript = R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
for i in range(64):
    assert os.write(fd, bytes(range(256)) * 4) == 1024
os.close(fd)
)";

TEST_F(SecurityTest, WhatProgramsMapCannotBeShrunkOrWrittenAndAnyFolderIsSurvived) {
    // The page comes over the socket, sealed: no file of it in the folder, no way to change it.
    for (const auto& entry : fs::directory_iterator(runtime_))
        EXPECT_EQ(entry.path().filename().string().find("SievrPage"), std::string::npos);
    const comm::UniqueFd app(link::ConnectTo(runtime_ + "/SievrApp1", SOCK_SEQPACKET));
    int page = -1;
    ASSERT_EQ(sievra::testing::SendAppCreate(app.get(), 1, pty_.slave(), &page), 0);
    const comm::UniqueFd held(page);
    ASSERT_TRUE(held.valid());
    EXPECT_NE(::ftruncate(page, 0), 0);
    EXPECT_EQ(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, page, 0), MAP_FAILED);
    EXPECT_NE(::pwrite(page, "x", 1, 0), 1);

    // Whatever the folder holds, the program's data passes whole.
    std::string stream;
    for (int i = 0; i < 256; ++i)
        stream += static_cast<char>(i);
    std::string expected;
    for (int i = 0; i < 256; ++i)
        expected += stream;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> fill;
    };
    const std::string device_line = [&] {
        struct stat st;
        ::stat(pty_.slave_path().c_str(), &st);
        return "1 " + std::to_string(major(st.st_rdev)) + " " + std::to_string(minor(st.st_rdev)) +
               " " + pty_.slave_path() + "\n";
    }();
    std::unique_ptr<ShrinkingPageHost> fake;
    const std::vector<Case> cases = {
        {"missing", [](const std::string&) {}},
        {"another user's, with a pipe for a map",
         [](const std::string& d) {
             fs::create_directory(d);
             ::mkfifo((d + "/SievrMap").c_str(), 0666);
             ASSERT_EQ(::chown(d.c_str(), kOutsider, kOutsider), 0);
         }},
        {"empty", [](const std::string& d) { fs::create_directory(d); }},
        {"garbage",
         [](const std::string& d) {
             fs::create_directory(d);
             std::ofstream(d + "/SievrMap") << std::string(5000, '\xff') << "\n1 0 0\n\n1";
             std::ofstream(d + "/SievrApp1") << "not a socket";
         }},
        {"a page anyone may shrink",
         [&](const std::string& d) {
             fs::create_directory(d);
             std::ofstream(d + "/SievrMap") << device_line;
             fake = std::make_unique<ShrinkingPageHost>(d + "/SievrApp1");
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = dir_.path() + "/odd" + std::to_string(n++);
        c.fill(folder);
        AttachedProgram program({kPython, "-c", kStreamScript, pty_.slave_path()},
                                AttachedEnvironment(folder));
        EXPECT_EQ(pty_.ReadExactly(expected.size()), expected);
        EXPECT_EQ(program.Wait(), 0) << program.Errors();
        if (fake != nullptr) {
            EXPECT_TRUE(fake->reached.load());
        }
        fake.reset();
    }
}

TEST_F(SecurityTest, TheHostRefusesAFolderOthersControlAndNeverFollowsLinks) {
    const std::string victim = dir_.path() + "/victim";
    std::ofstream(victim) << "root only";
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
    auto plant = [&](const std::string& folder) {
        for (const char* name : {"SievrMap", "SievrMap.new", "Sievr1", "SievrApp1"})
            fs::create_symlink(victim, folder + "/" + name);
    };
    struct Case {
        const char* name;
        uid_t owner;
        mode_t mode;
        bool served;
    };
    const Case cases[] = {
        {"another user's folder", kOutsider, 0755, false},
        {"a folder anyone may write", 0, 0777, false},
        {"root's own folder with leftover links", 0, 0755, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = dir_.path() + "/host" + std::to_string(n++);
        fs::create_directory(folder);
        plant(folder);
        ASSERT_EQ(::chown(folder.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
        auto host = StartHost(folder);
        if (c.served) {
            ASSERT_TRUE(sievra::testing::WaitUntilServing(*host));
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder + "/SievrMap")));
            host->Signal(SIGTERM);
            EXPECT_EQ(host->Wait(), 0);
        } else {
            EXPECT_EQ(host->Wait(), 1);
            EXPECT_NE(host->ReadAllError().find("runtime folder not owned by this user or "
                                                "writable by others"),
                      std::string::npos);
        }
        struct stat st;
        ASSERT_EQ(::stat(victim.c_str(), &st), 0);
        EXPECT_EQ(ReadFile(victim), "root only");
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_gid, 0u);
    }
}

// The notices of terminal devices outside the map are another user's words: a name and paths
// made up to start forged lines or to move the reader's terminal are printed harmless, and a
// flood of them neither runs on without end nor silences what other users' programs open.
TEST_F(SecurityTest, UnlistedNoticesCannotForgeLinesOrSilenceOtherUsers) {
    const std::string socket = runtime_ + "/SievrUnlisted";
    auto flood = AsOutsider({kPython, "-c", R"(
import ctypes, socket, sys
ctypes.CDLL(None).prctl(15, b"x\n\x1b[31mevil", 0, 0, 0)
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
for i in range(300):
    s.sendto(b"/dev/made-up%d\nsievrad: forged \xff\xc2\x9b\x1b[2J" % i, sys.argv[1])
)",
                             socket});
    ASSERT_EQ(flood->Wait(), 0) << flood->ReadAllOutput();
    comm::UniqueFd own(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    const std::string legit = "/dev/ttyLegit";
    ASSERT_EQ(::sendto(own.get(), legit.data(), legit.size(), 0,
                       reinterpret_cast<sockaddr*>(&address), sizeof address),
              static_cast<ssize_t>(legit.size()));
    host_->Signal(SIGTERM);
    ASSERT_EQ(host_->Wait(), 0);
    const std::string said = host_->ReadAllError();
    host_ = nullptr;
    EXPECT_NE(said.find("opened " + legit + ", "), std::string::npos) << said;
    EXPECT_EQ(said.find_first_of("\x1b\xff\x9b"), std::string::npos) << said;
    size_t made_up = 0;
    for (size_t at = 0; at < said.size();) {
        const size_t end = said.find('\n', at);
        const std::string line = said.substr(at, end - at);
        EXPECT_EQ(line.rfind("sievrad: process ", 0), 0u) << line;
        made_up += line.find("made-up") != std::string::npos;
        at = end == std::string::npos ? said.size() : end + 1;
    }
    EXPECT_GT(made_up, 0u);
    EXPECT_LE(made_up, 64u);
}

TEST_F(SecurityTest, OneHostAtATimeAndNoOtherUserCanKeepItFromStarting) {
    const std::string kKeepOpen;
    auto second = StartHost(runtime_);
    EXPECT_EQ(second->Wait(), 1);
    EXPECT_NE(second->ReadAllError().find("another sievrad serves the runtime folder"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(runtime_ + "/SievrMap"));
    {
        porvane::monitor::DriverLink link(runtime_);
        EXPECT_TRUE(link.Open(0));
    }
    // Another user locking the folder itself does not stop the next host.
    auto locker = AsOutsider({kPython, "-c", R"(
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)
fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
print('locked', flush=True)
sys.stdin.read()
)",
                              runtime_},
                             &kKeepOpen);
    ASSERT_NE(locker->ReadOutputUntil("locked").find("locked"), std::string::npos);
    host_->Signal(SIGTERM);
    ASSERT_EQ(host_->Wait(), 0);
    host_ = StartHost(runtime_);
    EXPECT_TRUE(sievra::testing::WaitUntilServing(*host_));
}

}  // namespace
}  // namespace sievra::attach::testing
