// Real programs under the attachment against a real driver host on a pseudo-terminal; what the
// monitor and filter see is read through the control device as the workbench reads it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "driver/attach/port_registry.h"
#include "driver/attach/tests/attached_program.h"
#include "driver/attach/tests/record_log.h"
#include "driver/host/testing/host_ready.h"
#include "platform/comm/kernel_termios.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/unique_fd.h"

namespace sievra::attach::testing {
namespace {

using comm::testing::ChildProcess;
using comm::testing::PtyPair;
using comm::testing::TempDir;

const std::string kPython = "/usr/bin/python3";

class AttachmentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        runtime_ = dir_.path() + "/run";
        StartHost();
    }
    void TearDown() override {
        log_.reset();
        if (host_ != nullptr) {
            host_->Signal(SIGTERM);
            EXPECT_EQ(host_->Wait(10000), 0);
            const std::string errors = host_->ReadAllError(1000);
            EXPECT_TRUE(errors.empty()) << errors.substr(0, 4000);
        }
    }
    void StartHost() {
        const std::string map = dir_.path() + "/map";
        std::ofstream(map) << "ttyS0=" << pty_.slave_path() << "\n";
        setenv("PORVANE_DEVICE_MAP", map.c_str(), 1);
        host_ = std::make_unique<ChildProcess>("sievrad",
                                               std::vector<std::string>{"--runtime-dir", runtime_});
        unsetenv("PORVANE_DEVICE_MAP");
        ASSERT_TRUE(sievra::testing::WaitUntilServing(*host_));
    }
    // Watches port 1 in a link mode.
    void Watch(uint32_t mode) {
        log_ = std::make_unique<RecordLog>(runtime_, 0);
        ASSERT_TRUE(log_->open());
        ASSERT_EQ(log_->link().SetMode(mode), 1);
    }
    std::unique_ptr<AttachedProgram> Run(const std::vector<std::string>& argv) {
        return std::make_unique<AttachedProgram>(argv, AttachedEnvironment(runtime_));
    }
    std::unique_ptr<AttachedProgram> Python(const std::string& script) {
        return Run({kPython, "-c", script, pty_.slave_path()});
    }
    double SecondsWhileTheHostIsStopped(const std::string& script);
    void ExpectLines(const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            EXPECT_TRUE(log_->WaitFor(line)) << "missing: " << line << "\nlog:\n" << log_->Text();
    }

    PtyPair pty_;
    TempDir dir_;
    std::string runtime_;
    std::unique_ptr<ChildProcess> host_;
    std::unique_ptr<RecordLog> log_;
};

// Opens the port, writes its second argument and closes it.
const char* const kMarkerScript = R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, sys.argv[2].encode())
os.close(fd)
)";

// Opens the port raw with VMIN 5, writes hello, reads five bytes, closes.
const char* const kTermiosScript = R"(
import fcntl, os, sys, termios
try:
    os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)
except NotADirectoryError:
    pass
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
a = termios.tcgetattr(fd)
a[0] = termios.IXON
a[2] = (a[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB | termios.PARODD | termios.CSTOPB
a[3] = 0
a[4] = a[5] = termios.B9600
a[6][termios.VMIN] = 5
a[6][termios.VTIME] = 0
termios.tcsetattr(fd, termios.TCSAFLUSH, a)
os.write(fd, b'hello')
print('wrote', flush=True)
print(os.read(fd, 5).decode(), flush=True)
termios.tcflush(fd, termios.TCIOFLUSH)
fcntl.ioctl(fd, termios.FIONREAD, b'\0\0\0\0')
termios.tcflow(fd, termios.TCOOFF)
termios.tcflow(fd, termios.TCOON)
termios.tcsendbreak(fd, 0)
termios.tcdrain(fd)
os.close(fd)
)";

TEST_F(AttachmentTest, PythonTermiosCallsAndDataAppearAsTheMonitorDecodesThem) {
    Watch(kLinkModeMonitor);
    auto program = Python(kTermiosScript);
    ASSERT_EQ(program->ReadLine(), "wrote");
    EXPECT_EQ(pty_.ReadExactly(5), "hello");
    pty_.WriteAll("world");
    EXPECT_EQ(program->ReadLine(), "world");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ExpectLines({"Open Com OK\r\n", "查询波特率: ", "清空数据(PurgeComm): 清空接收(RXCLEAR), \r\n",
                 "设置波特率: 9600 bps\r\n",
                 "设置线路状态寄存器(LSR): 7 DataBit ,ODD Parity, 2 Stopbit\r\n",
                 "设置流量控制: XON/XOFF Handshake Out, ",
                 "设置超时(SetCommTimouts): ReadIntervalTimeouts 0ms", "写串口 5 bytes: hello\r\n",
                 "读串口 5 bytes: world\r\n",
                 "清空数据(PurgeComm): 清空接收(RXCLEAR), 清空发送(TXCLEAR), \r\n",
                 "查询串口状态: 发送区字节数 0, 接收区字节数 0, ", "设置XOFF字节: 0x00\r\n",
                 "设置XON字节: 0x00\r\n", "Close Com OK.\r\n"});
    // In the order the program made the calls, each once: the C library's own ioctl inside
    // tcsetattr is not reported a second time.
    const std::string text = log_->Text();
    EXPECT_EQ(RecordLog::Count(text, "设置波特率: 9600"), 1u);
    EXPECT_EQ(RecordLog::Count(text, "Open Com OK"), 1u);
    EXPECT_EQ(RecordLog::Count(text, "Close Com OK"), 1u);
    EXPECT_LT(text.find("Open Com OK"), text.find("设置波特率: 9600"));
    EXPECT_LT(text.find("设置波特率: 9600"), text.find("写串口"));
    EXPECT_LT(text.find("写串口"), text.find("读串口"));
    EXPECT_LT(text.find("读串口"), text.find("Close Com"));
}

// A pseudo-terminal refuses modem line calls before it reads their argument, so a bad pointer
// there must fail for the program as it does without the attachment, not fault in the report.
TEST_F(AttachmentTest, ARefusedModemLineCallWithABadPointerFailsAsWithoutTheAttachment) {
    Watch(kLinkModeMonitor);
    auto program = Python(R"(
import ctypes, os, sys, termios
libc = ctypes.CDLL(None, use_errno=True)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
for request in (termios.TIOCMBIS, termios.TIOCMSET):
    r = libc.ioctl(ctypes.c_int(fd), ctypes.c_ulong(request), ctypes.c_void_p(8))
    print(r, ctypes.get_errno() != 0, flush=True)
bits = ctypes.c_int(termios.TIOCM_DTR)
libc.ioctl(ctypes.c_int(fd), ctypes.c_ulong(termios.TIOCMBIS), ctypes.byref(bits))
os.close(fd)
)");
    EXPECT_EQ(program->ReadLine(), "-1 True");
    EXPECT_EQ(program->ReadLine(), "-1 True");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ExpectLines({"Open Com OK\r\n", "设置 DTR.\r\n", "Close Com OK.\r\n"});
    EXPECT_EQ(RecordLog::Count(log_->Text(), "设置 DTR."), 1u);
    EXPECT_EQ(RecordLog::Count(log_->Text(), "设置modem控制寄存器"), 0u);
}

TEST_F(AttachmentTest, SttyCustomRateParityStopBitsAndFlowControl) {
    Watch(kLinkModeMonitor);
    auto stty = Run({"/usr/bin/stty", "-F", pty_.slave_path(), "57600", "parenb", "-parodd",
                     "cstopb", "crtscts", "ixon"});
    stty->Wait();  // a pseudo-terminal may refuse parity: stty then says so, which is fine here
    ExpectLines({"Open Com OK\r\n", "设置波特率: 57600 bps\r\n",
                 "设置线路状态寄存器(LSR): 8 DataBit ,EVEN Parity, 2 Stopbit\r\n",
                 "设置流量控制: CTS Handshake, XON/XOFF Handshake Out, RTS Handshake, ",
                 "Close Com OK.\r\n"});
}

TEST_F(AttachmentTest, PythonSerialOpensSetsLinesPurgesAndSendsABreak) {
    Watch(kLinkModeMonitor);
    auto program = Python(R"(
import sys, serial
s = serial.Serial(sys.argv[1], 115200, bytesize=7, parity='O', timeout=1)
for attr, value in (('dtr', False), ('rts', True)):
    try:
        setattr(s, attr, value)
    except OSError:
        pass  # a pseudo-terminal has no modem lines
s.reset_input_buffer()
s.send_break(0.01)
s.write(b'ping')
s.baudrate = 250000  # a custom rate: set through termios2
s.close()
)");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    EXPECT_EQ(pty_.ReadExactly(4), "ping");
    EXPECT_TRUE(log_->WaitFor("设置波特率: 250000 bps\r\n")) << log_->Text();
    ExpectLines({"Open Com OK\r\n", "设置波特率: 115200 bps\r\n",
                 "设置线路状态寄存器(LSR): 7 DataBit ,ODD Parity, 1 Stopbit\r\n", "清除 DTR.\r\n",
                 "设置 RTS.\r\n", "清空数据(PurgeComm): 清空接收(RXCLEAR), \r\n",
                 "写串口 4 bytes: ping\r\n", "Close Com OK.\r\n"});
}

TEST_F(AttachmentTest, SocatAndPicocomAreWatched) {
    Watch(kLinkModeMonitor);
    const std::string input = "via socat";
    auto socat = std::make_unique<AttachedProgram>(
        std::vector<std::string>{"/usr/bin/socat", "-u", "STDIN",
                                 pty_.slave_path() + ",b38400,raw,echo=0"},
        AttachedEnvironment(runtime_));
    socat->WriteLine(input);
    EXPECT_EQ(pty_.ReadExactly(input.size() + 1), input + "\n");
    // Its input ends, so it closes the port and exits. (Killing it at once could land between
    // its write and the write's record, as it could between any two calls.)
    socat->CloseInput();
    EXPECT_EQ(socat->Wait(), 0) << socat->Errors();
    ExpectLines({"Open Com OK\r\n", "设置波特率: 38400 bps\r\n", "写串口 10 bytes: via socat",
                 "Close Com OK.\r\n"});
    auto picocom = Run({"/usr/bin/picocom", "-q", "-X", "-b", "19200", "-y", "e", "-d", "7",
                        "--initstring", "AT", pty_.slave_path()});
    EXPECT_EQ(picocom->Wait(), 0) << picocom->Errors();
    ExpectLines({"设置波特率: 19200 bps\r\n",
                 "设置线路状态寄存器(LSR): 7 DataBit ,EVEN Parity, 1 Stopbit\r\n",
                 "写串口 2 bytes: AT\r\n"});
    EXPECT_TRUE(log_->WaitFor("Open Com OK\r\n", 2));
    EXPECT_TRUE(log_->WaitFor("Close Com OK.\r\n", 2));
}

// Writes 2000 bytes in four writes, then waits for a line before closing.
const char* const kWriterScript = R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
for i in range(4):
    n = os.write(fd, b'A' * 500)
    assert n == 500, n
print('done', flush=True)
sys.stdin.readline()
os.close(fd)
)";

TEST_F(AttachmentTest, CopiesOfADescriptorAreWatchedAndOnlyTheLastCloseIsAClose) {
    Watch(kLinkModeMonitor);
    auto program = Python(R"(
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
copy = os.dup(fd)
os.close(fd)
os.write(copy, b'dup')
os.dup2(copy, 50)
third = fcntl.fcntl(50, fcntl.F_DUPFD_CLOEXEC, 60)
os.close(copy)
os.writev(50, [b'a', b'b'])
os.close(50)
print('ready', flush=True)
parts = [bytearray(2), bytearray(3)]
assert os.readv(third, parts) == 5
print(b''.join(parts).decode(), flush=True)
os.close(third)
)");
    ASSERT_EQ(program->ReadLine(), "ready");
    EXPECT_EQ(pty_.ReadExactly(5), "dupab");
    pty_.WriteAll("hello");
    EXPECT_EQ(program->ReadLine(), "hello");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ExpectLines({"写串口 3 bytes: dup\r\n", "写串口 2 bytes: ab\r\n", "读串口 5 bytes: hello\r\n",
                 "Close Com OK.\r\n"});
    const std::string text = log_->Text();
    EXPECT_EQ(RecordLog::Count(text, "Open Com OK"), 1u);
    EXPECT_EQ(RecordLog::Count(text, "Close Com OK"), 1u);
    EXPECT_LT(text.find("读串口"), text.find("Close Com"));
}

TEST_F(AttachmentTest, SendCountRuleFlipsExactlyTheThousandthByteAtTheFarEnd) {
    Watch(kLinkModeFilter);
    ASSERT_EQ(log_->link().LoadRule(IOCTL_FILTER_SEND_COUNT_RULE,
                                    FilterRule{kFlip, 1000, 1000, 0, 0x01, 0}),
              1);
    auto program = Python(kWriterScript);
    const std::string far = pty_.ReadExactly(2000);
    ASSERT_EQ(far.size(), 2000u);
    for (size_t i = 0; i < far.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(far[i], i == 999 ? '@' : 'A');
    }
    uint8_t before = 0, after = 0;
    ASSERT_TRUE(log_->WaitForEvent(IOCTL_FILTER_SEND_COUNT_RULE, before, after));
    EXPECT_EQ(before, 'A');
    EXPECT_EQ(after, '@');
    EXPECT_EQ(program->ReadLine(), "done");
    program->WriteLine("");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

// Calls the rules would not act on pass without asking the host, which counts them later: the
// count must still land on exactly the right bytes, however the calls cut the stream.
TEST_F(AttachmentTest, PeriodicRulesActOnExactlyEveryNthByteAcrossSmallCalls) {
    Watch(kLinkModeFilter);
    ASSERT_EQ(
        log_->link().LoadRule(IOCTL_FILTER_SEND_COUNT_RULE, FilterRule{kReplace, 7, 7, 1, 'X', 0}),
        1);
    ASSERT_EQ(
        log_->link().LoadRule(IOCTL_FILTER_RECV_COUNT_RULE, FilterRule{kDelete, 4, 4, 1, 0, 0}), 1);
    auto program = Python(R"(
import os, sys, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
sent = 0
for size in list(range(1, 12)) * 3:
    sent += os.write(fd, b'a' * size)
print('sent', sent, flush=True)
data = b''
while len(data) < 150:
    data += os.read(fd, 3)
print(data.decode(), flush=True)
os.close(fd)
)");
    ASSERT_EQ(program->ReadLine(), "sent 198");
    const std::string far = pty_.ReadExactly(198);
    std::string expected_far;
    for (int i = 1; i <= 198; ++i)
        expected_far += i % 7 == 0 ? 'X' : 'a';
    EXPECT_EQ(far, expected_far);
    std::string stream, expected_read;
    for (int i = 1; i <= 200; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        stream += c;
        if (i % 4 != 0)
            expected_read += c;
    }
    pty_.WriteAll(stream);
    EXPECT_EQ(program->ReadLine(), expected_read.substr(0, 150));
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

// The send rules work on a copy of the program's bytes; a buffer that cannot be read fails the
// write as the kernel would, instead of faulting inside the program.
TEST_F(AttachmentTest, AFilteredWriteFromABadBufferFailsAsWithoutTheAttachment) {
    Watch(kLinkModeFilter);
    auto program = Python(R"(
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
r = libc.write(ctypes.c_int(fd), ctypes.c_void_p(8), ctypes.c_size_t(5))
print(r, os.strerror(ctypes.get_errno()), flush=True)
os.write(fd, b'after')
os.close(fd)
)");
    EXPECT_EQ(program->ReadLine(), "-1 Bad address");
    EXPECT_EQ(pty_.ReadExactly(5), "after");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

// Arrays and buffers the program cannot read or write: each call fails with the kernel's own
// errno (never a fault inside the program), and a read that cannot place the port's bytes
// leaves them on the port, where the kernel alone would have taken and lost them.
TEST_F(AttachmentTest, AFilteredProgramsBadArraysAndBuffersFailWithTheKernelsErrno) {
    Watch(kLinkModeFilter);
    auto program = Python(R"(
import ctypes, os, sys, tty
libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t] + [ctypes.c_int] * 3 + [ctypes.c_long]
class Iovec(ctypes.Structure):
    _fields_ = [('base', ctypes.c_void_p), ('len', ctypes.c_size_t)]
def vector(*entries):
    return (Iovec * len(entries))(*[Iovec(b, n) for b, n in entries])
page = libc.mmap(None, 8192, 3, 0x22, -1, 0)
libc.mprotect(ctypes.c_void_p(page + 4096), 4096, 0)
edge = Iovec.from_address(page + 4096 - 16)
edge.base, edge.len = page, 1
read_only = libc.mmap(None, 4096, 1, 0x22, -1, 0)
good = ctypes.create_string_buffer(16)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
def call(name, f, *args):
    ctypes.set_errno(0)
    r = f(fd, *args)
    print(name, r, os.strerror(ctypes.get_errno()) if r < 0 else good.raw[:r].decode(), flush=True)
call('null', libc.writev, None, 3)
call('edge', libc.writev, ctypes.c_void_p(page + 4096 - 16), 2)
call('base', libc.writev, vector((8, 5)), 1)
call('huge', libc.writev, vector((page, 1), (page, 1 << 62)), 2)
call('negative', libc.writev, vector((page, 1), (page, 1 << 63)), 2)
call('long', libc.write, ctypes.c_void_p(page), ctypes.c_size_t(1 << 63))
print('ready', flush=True)
sys.stdin.readline()
call('read-only', libc.read, ctypes.c_void_p(read_only), 10)
call('unmapped', libc.readv, None, 2)
call('second', libc.readv, vector((ctypes.addressof(good), 2), (page + 4096, 1)), 2)
call('after', libc.read, good, 16)
)");
    for (const char* line :
         {"null -1 Bad address", "edge -1 Bad address", "base -1 Bad address",
          "huge -1 Bad address", "negative -1 Invalid argument", "long -1 Bad address", "ready"}) {
        EXPECT_EQ(program->ReadLine(), line);
    }
    pty_.WriteAll("abc");
    program->WriteLine("");
    for (const char* line :
         {"read-only -1 Bad address", "unmapped -1 Bad address", "second 2 ab", "after 1 c"}) {
        EXPECT_EQ(program->ReadLine(), line);
    }
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

TEST_F(AttachmentTest, ReceiveDeleteRuleRemovesExactlyOneByte) {
    Watch(kLinkModeFilter);
    ASSERT_EQ(
        log_->link().LoadRule(IOCTL_FILTER_RECV_COUNT_RULE, FilterRule{kDelete, 3, 3, 0, 0, 0}), 1);
    auto program = Python(R"(
import os, sys, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
print('ready', flush=True)
data = b''
while len(data) < 5:
    data += os.read(fd, 5 - len(data))
print(data.decode(), flush=True)
os.close(fd)
)");
    ASSERT_EQ(program->ReadLine(), "ready");
    pty_.WriteAll("abcdef");
    EXPECT_EQ(program->ReadLine(), "abdef");
    uint8_t before = 0, after = 0;
    EXPECT_TRUE(log_->WaitForEvent(IOCTL_FILTER_RECV_COUNT_RULE, before, after));
    EXPECT_EQ(before, 'c');
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

TEST_F(AttachmentTest, ANumberClosedBehindTheAttachmentsBackIsNeverFilteredAsThePort) {
    Watch(kLinkModeFilter);
    ASSERT_EQ(
        log_->link().LoadRule(IOCTL_FILTER_RECV_COUNT_RULE, FilterRule{kDelete, 3, 3, 0, 0, 0}), 1);
    // glibc's fclose closes the port with its own internal call, which no hook sees; the pipe then
    // gets the port's number.
    auto program = Python(R"(
import ctypes, os, sys
libc = ctypes.CDLL(None)
libc.fdopen.restype = ctypes.c_void_p
libc.fclose.argtypes = [ctypes.c_void_p]
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'x')
assert libc.fclose(libc.fdopen(fd, b'r+')) == 0
r, w = os.pipe()
assert r == fd
os.write(w, b'abcdef')
print(os.read(r, 6).decode(), flush=True)
)");
    EXPECT_EQ(pty_.ReadExactly(1), "x");
    EXPECT_EQ(program->ReadLine(), "abcdef");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

// A monitored number made a pipe: through the C library the attachment knows at once; behind its
// back (a raw close) it finds out on its next look at the device, at most kRecheckMs after the
// last, so a pipe made there later is never the port's (one made within that time may be: the
// price of not looking on every call). The attachment's clock is the C library's own, not one
// another preloaded library makes stand still.
TEST_F(AttachmentTest, AMonitoredNumberMadeAPipeIsNeverRecordedAsThePort) {
    static_assert(PortRegistry::kRecheckMs <= 20, "the script waits 50 ms");
    struct Case {
        const char* close;
        bool frozen_clock;
    };
    const char* const raw_close = "libc.syscall(3, fd); time.sleep(0.05)";
    for (const Case& c : {Case{"libc.fclose(libc.fdopen(fd, b'r+'))", false},
                          Case{raw_close, false}, Case{raw_close, true}}) {
        SCOPED_TRACE(std::string(c.close) + (c.frozen_clock ? ", clock frozen" : ""));
        log_.reset();  // one control client at a time
        Watch(kLinkModeMonitor);
        std::vector<std::string> environment = AttachedEnvironment(runtime_);
        ASSERT_EQ(environment[0].rfind("LD_PRELOAD=", 0), 0u);
        if (c.frozen_clock)
            environment[0] += ":" + ChildProcess::BinDir() + "/../lib/libfrozen_clock.so";
        const std::string script = std::string(R"(
import ctypes, os, sys, time
libc = ctypes.CDLL(None)
libc.fdopen.restype = ctypes.c_void_p
libc.fclose.argtypes = [ctypes.c_void_p]
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'x')
)") + c.close + R"(
r, w = os.pipe()
assert r == fd or w == fd
os.write(w, b'abcdef')
assert os.read(r, 6) == b'abcdef'
port = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(port, b'end')
)";
        auto program = std::make_unique<AttachedProgram>(
            std::vector<std::string>{kPython, "-c", script, pty_.slave_path()}, environment);
        EXPECT_EQ(pty_.ReadExactly(4), "xend");
        EXPECT_EQ(program->Wait(), 0) << program->Errors();
        ExpectLines({"写串口 1 bytes: x\r\n", "写串口 3 bytes: end\r\n"});
        EXPECT_EQ(log_->Text().find("abcdef"), std::string::npos) << log_->Text();
    }
}

// The C library's own calls that close a number or put another file there, which no hook sees
// inside (freopen; login_tty, which makes the port the standard descriptors and closes its own
// number): at once, and not on the next look at the device, the number is the new file's.
TEST_F(AttachmentTest, ANumberTheCLibraryReplacesInsideIsNeverRecordedAsThePort) {
    const char* const reopen = R"(
reopen = getattr(libc, sys.argv[2])
libc.fdopen.restype = reopen.restype = ctypes.c_void_p
reopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p]
assert reopen(os.path.join(sys.argv[3], 'file').encode(), b'w', libc.fdopen(fd, b'w'))
os.write(fd, b'abcdef')
)";
    const char* const login_tty = R"(
assert libc.login_tty(fd) == 0
r, w = os.pipe()
assert r == fd
os.write(w, b'abcdef')
assert os.read(r, 6) == b'abcdef'
os.write(1, b'E')
)";
    struct Case {
        const char* call;
        const char* script;
        const char* port;  // what the port got
    };
    for (const Case& c : {Case{"freopen", reopen, "xend"}, Case{"freopen64", reopen, "xend"},
                          Case{"login_tty", login_tty, "xEend"}}) {
        SCOPED_TRACE(c.call);
        log_.reset();  // one control client at a time
        Watch(kLinkModeMonitor);
        const TempDir files;
        auto program = Run({kPython, "-c", std::string(R"(
import ctypes, os, sys
libc = ctypes.CDLL(None)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'x')
)") + c.script + R"(
port = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(port, b'end')
)",
                            pty_.slave_path(), c.call, files.path()});
        EXPECT_EQ(pty_.ReadExactly(std::strlen(c.port)), c.port);
        EXPECT_EQ(program->Wait(), 0) << program->Errors();
        ExpectLines({"写串口 1 bytes: x\r\n", "写串口 3 bytes: end\r\n"});
        EXPECT_EQ(log_->Text().find("abcdef"), std::string::npos) << log_->Text();
    }
}

// A port closed with fclose while nobody watches is closed then, as with close(): a watcher
// that comes later never sees that close, as if it had just happened, in front of the port's
// next open.
TEST_F(AttachmentTest, APortClosedWithFcloseWhileUnwatchedIsClosedThen) {
    auto program = Python(R"(
import ctypes, os, sys
libc = ctypes.CDLL(None)
libc.fdopen.restype = ctypes.c_void_p
libc.fclose.argtypes = [ctypes.c_void_p]
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'x')
assert libc.fclose(libc.fdopen(fd, b'r+')) == 0
print('closed', flush=True)
sys.stdin.readline()
port = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(port, b'end')
)");
    ASSERT_EQ(program->ReadLine(), "closed");
    Watch(kLinkModeMonitor);
    program->WriteLine("go");
    EXPECT_EQ(pty_.ReadExactly(4), "xend");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ExpectLines({"Open Com OK\r\n", "写串口 3 bytes: end\r\n"});
    const std::string text = log_->Text();
    EXPECT_LT(text.find("Open Com OK"), text.find("Close Com OK")) << text;
}

// A vfork child shares the program's memory but has descriptors of its own: what it makes of the
// port's number is its own, never recorded as the port, and the program's open stays as it was
// (no close on record but its own).
TEST_F(AttachmentTest, AVforkChildsPipeAtThePortsNumberIsNeitherRecordedNorClosesThePort) {
    Watch(kLinkModeMonitor);
    auto program = Run({ChildProcess::BinDir() + "/vfork_writer", pty_.slave_path()});
    EXPECT_EQ(pty_.ReadExactly(4), "xend");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ExpectLines({"Open Com OK\r\n", "写串口 1 bytes: x\r\n", "写串口 3 bytes: end\r\n",
                 "Close Com OK.\r\n"});
    const std::string text = log_->Text();
    EXPECT_EQ(text.find("abcdef"), std::string::npos) << text;
    EXPECT_EQ(text.find("Open Com OK"), text.rfind("Open Com OK")) << text;
    EXPECT_EQ(text.find("Close Com OK"), text.rfind("Close Com OK")) << text;
}

TEST_F(AttachmentTest, AReadTheFilterEmptiesWaitsWhenBlockingAndFailsWithEagainWhenNot) {
    Watch(kLinkModeFilter);
    ASSERT_EQ(
        log_->link().LoadRule(IOCTL_FILTER_RECV_COUNT_RULE, FilterRule{kDelete, 1, 1, 0, 0, 0}), 1);
    auto program = Python(R"(
import os, sys, tty, select
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
print('ready', flush=True)
print(os.read(fd, 10).decode(), flush=True)
os.set_blocking(fd, False)
print('nonblocking', flush=True)
select.select([fd], [], [])
try:
    print(os.read(fd, 10).decode(), flush=True)
except BlockingIOError:
    print('EAGAIN', flush=True)
os.close(fd)
)");
    ASSERT_EQ(program->ReadLine(), "ready");
    pty_.WriteAll("x");
    uint8_t before = 0, after = 0;
    ASSERT_TRUE(log_->WaitForEvent(IOCTL_FILTER_RECV_COUNT_RULE, before, after));
    pty_.WriteAll("yz");
    EXPECT_EQ(program->ReadLine(), "yz");  // not the empty read of a hang-up
    ASSERT_EQ(program->ReadLine(), "nonblocking");
    ASSERT_EQ(
        log_->link().LoadRule(IOCTL_FILTER_RECV_COUNT_RULE, FilterRule{kDelete, 1, 1, 0, 0, 0}), 1);
    pty_.WriteAll("q");
    EXPECT_EQ(program->ReadLine(), "EAGAIN");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

TEST_F(AttachmentTest, ForwardedRequestsActOnTheRealPortWhileTheProgramHoldsIt) {
    Watch(kLinkModeMonitor);
    auto program = Python(R"(
import os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
a = termios.tcgetattr(fd)
a[4] = a[5] = termios.B9600
termios.tcsetattr(fd, termios.TCSANOW, a)
print('ready', flush=True)
sys.stdin.readline()
os.close(fd)
)");
    ASSERT_EQ(program->ReadLine(), "ready");
    ASSERT_TRUE(log_->WaitFor("设置波特率: 9600 bps\r\n"));
    porvane::monitor::DriverLink& link = log_->link();
    uint32_t baud = 0;
    ASSERT_EQ(link.Forward(comm::IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4), 1);
    EXPECT_EQ(baud, 9600u);
    const uint32_t forced = 57600;
    ASSERT_EQ(link.Forward(comm::IOCTL_SERIAL_SET_BAUD_RATE, &forced, 4, nullptr, 0), 1);
    const comm::UniqueFd other(::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY));
    comm::KernelTermios seen;
    ASSERT_TRUE(comm::GetKernelTermios(other.get(), seen));
    EXPECT_EQ(seen.ospeed, 57600u);
    const uint8_t seven_even_two[3] = {comm::TWOSTOPBITS, comm::EVENPARITY, 7};
    EXPECT_EQ(link.Forward(comm::IOCTL_SERIAL_SET_LINE_CONTROL, seven_even_two, 3, nullptr, 0), 1);
    ASSERT_TRUE(comm::GetKernelTermios(other.get(), seen));
    EXPECT_TRUE(seen.cflag & comm::TermiosBits::kCstopb);
    uint8_t line[3] = {};
    ASSERT_EQ(link.Forward(comm::IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, line, 3), 1);
    EXPECT_EQ(line[0], comm::TWOSTOPBITS);
    comm::SERIALPERF_STATS stats{};
    EXPECT_EQ(link.Forward(comm::IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats), 1);
    // Another program opens and closes the port meanwhile: the first one still holds it.
    auto visitor = Run({kPython, "-c", kMarkerScript, pty_.slave_path(), "v"});
    EXPECT_EQ(visitor->Wait(), 0) << visitor->Errors();
    EXPECT_EQ(pty_.ReadExactly(1), "v");
    ASSERT_TRUE(log_->WaitFor("Close Com OK.\r\n"));
    ASSERT_EQ(link.Forward(comm::IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4), 1);
    EXPECT_EQ(baud, 57600u);
    program->WriteLine("");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ASSERT_TRUE(log_->WaitFor("Close Com OK.\r\n", 2));
    ASSERT_EQ(link.Forward(comm::IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4), 1);
    EXPECT_EQ(baud, 0u);  // the program has let go of the port
}

// Writes 64 KiB in 1 KiB pieces and exits 0 once all is written.
const char* const kStreamScript = R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
data = bytes(range(256)) * 256
for i in range(0, len(data), 1024):
    assert os.write(fd, data[i:i + 1024]) == 1024
os.close(fd)
)";

std::string StreamBytes() {
    std::string data;
    for (int r = 0; r < 256; ++r) {
        for (int i = 0; i < 256; ++i)
            data += static_cast<char>(i);
    }
    return data;
}

TEST_F(AttachmentTest, AHostKilledMidStreamLeavesTheProgramsDataWhole) {
    Watch(kLinkModeFilter);  // every write waits for the host's answer
    auto program = Python(kStreamScript);
    std::string far = pty_.ReadExactly(4096);
    host_->Signal(SIGKILL);
    EXPECT_EQ(host_->Wait(10000), 128 + SIGKILL);
    host_.reset();
    far += pty_.ReadExactly(65536 - far.size());
    EXPECT_EQ(far, StreamBytes());
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    log_.reset();
}

TEST_F(AttachmentTest, AHostThatStopsAnsweringTurnsThePortIntoPassThrough) {
    Watch(kLinkModeFilter);
    host_->Signal(SIGSTOP);
    std::vector<std::string> environment = AttachedEnvironment(runtime_);
    environment.insert(environment.begin(), "SIEVRA_REPLY_MS=100");
    AttachedProgram program({kPython, "-c", kStreamScript, pty_.slave_path()}, environment);
    EXPECT_EQ(pty_.ReadExactly(65536), StreamBytes());
    EXPECT_EQ(program.Wait(), 0) << program.Errors();
    host_->Signal(SIGCONT);
}

TEST_F(AttachmentTest, AProgramThatClosesEveryOtherDescriptorKeepsItsPort) {
    Watch(kLinkModeFilter);
    auto program = Python(R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'before')
for other in range(3, 1024):
    if other != fd:
        try:
            os.close(other)
        except OSError:
            pass
spare = os.open('/dev/null', os.O_RDWR)
os.write(fd, b'after')
os.close(spare)
os.close(fd)
)");
    EXPECT_EQ(pty_.ReadExactly(11), "beforeafter");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

TEST_F(AttachmentTest, NoHostAtAllIsPassThrough) {
    host_->Signal(SIGTERM);
    EXPECT_EQ(host_->Wait(10000), 0);
    host_.reset();
    auto program = Python(kStreamScript);
    EXPECT_EQ(pty_.ReadExactly(65536), StreamBytes());
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    // A descriptor first used after exec is decided inside that call; what fails while deciding
    // (no host files here) does not show in errno.
    auto inherited = Python(R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.set_inheritable(fd, True)
child = """
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
ctypes.set_errno(77)
assert libc.write(int(sys.argv[1]), b"kept", 4) == 4
assert ctypes.get_errno() == 77, ctypes.get_errno()
"""
os.execv(sys.executable, [sys.executable, '-c', child, str(fd)])
)");
    EXPECT_EQ(pty_.ReadExactly(4), "kept");
    EXPECT_EQ(inherited->Wait(), 0) << inherited->Errors();
}

TEST_F(AttachmentTest, DisabledAndSetUserIdProgramsAreNotWatched) {
    Watch(kLinkModeMonitor);
    std::vector<std::string> disabled = AttachedEnvironment(runtime_);
    disabled.insert(disabled.begin(), "SIEVRA_DISABLE=1");
    AttachedProgram off({kPython, "-c", kMarkerScript, pty_.slave_path(), "off"}, disabled);
    EXPECT_EQ(off.Wait(), 0) << off.Errors();
    EXPECT_EQ(pty_.ReadExactly(3), "off");

    // A set-user-id copy of a program, owned by another user, runs with AT_SECURE.
    const std::string copy = dir_.path() + "/stty-copy";
    {
        std::ifstream from("/usr/bin/stty", std::ios::binary);
        std::ofstream to(copy, std::ios::binary);
        to << from.rdbuf();
    }
    ASSERT_EQ(::chown(copy.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(copy.c_str(), 04755), 0);
    ::chmod(dir_.path().c_str(), 0755);
    ::chmod(pty_.slave_path().c_str(), 0666);
    auto setuid = Run({copy, "-F", pty_.slave_path(), "4800"});
    setuid->Wait();

    AttachedProgram end({kPython, "-c", kMarkerScript, pty_.slave_path(), "end"},
                        AttachedEnvironment(runtime_));
    EXPECT_EQ(end.Wait(), 0) << end.Errors();
    ASSERT_TRUE(log_->WaitFor("写串口 3 bytes: end\r\n"));
    const std::string text = log_->Text();
    EXPECT_EQ(text.find("off"), std::string::npos) << text;
    EXPECT_EQ(text.find("4800"), std::string::npos) << text;
}

// A program started by root that gives up root before it opens the port (as cu and daemons do)
// cannot reach the host's sockets any more: the link it made at its start carries its opens,
// served as its new user.
TEST_F(AttachmentTest, AProgramThatGivesUpRootBeforeItsOpenStaysWatched) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "changing the user needs root";
    ASSERT_EQ(::chmod(pty_.slave_path().c_str(), 0666), 0);
    Watch(kLinkModeMonitor);
    auto program = Run(
        {ChildProcess::BinDir() + "/port_client", pty_.slave_path(), "AT", "2", "plain", "drop"});
    EXPECT_EQ(pty_.ReadExactly(2), "AT");
    pty_.WriteAll("OK");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ExpectLines({"Open Com OK\r\n", "设置波特率: 9600 bps\r\n", "写串口 2 bytes: AT\r\n",
                 "读串口 2 bytes: OK\r\n", "Close Com OK.\r\n"});
}

TEST_F(AttachmentTest, AProgramThatForksAndExecsKeepsBeingWatched) {
    Watch(kLinkModeMonitor);
    auto program = Python(R"(
import os, sys, subprocess
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'parent')
# The child's first call on the inherited descriptor decides it; errno stays as it was.
child = """
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
ctypes.set_errno(77)
assert libc.write(int(sys.argv[1]), b"child", 5) == 5
assert ctypes.get_errno() == 77, ctypes.get_errno()
"""
subprocess.run([sys.executable, '-c', child, str(fd)], pass_fds=[fd], check=True)
if os.fork() == 0:
    os.write(fd, b'forked')
    os._exit(0)
os.wait()
os.close(fd)
)");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    EXPECT_EQ(pty_.ReadExactly(17), "parentchildforked");
    ExpectLines(
        {"写串口 6 bytes: parent\r\n", "写串口 5 bytes: child\r\n", "写串口 6 bytes: forked\r\n"});
}

// A blocking read interrupted by a signal whose handler does not restart calls.
const char* const kInterruptedReadScript = R"(
import ctypes, errno, os, signal, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
signal.signal(signal.SIGALRM, lambda *a: None)
signal.siginterrupt(signal.SIGALRM, True)
signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
buf = ctypes.create_string_buffer(16)
r = libc.read(fd, buf, 16)
e = ctypes.get_errno()
signal.setitimer(signal.ITIMER_REAL, 0, 0)
print(r, errno.errorcode.get(e, e), flush=True)
)";

TEST_F(AttachmentTest, AnInterruptedBlockingReadReachesTheProgramAsWithoutTheAttachment) {
    Watch(kLinkModeFilter);
    AttachedProgram bare({kPython, "-c", kInterruptedReadScript, pty_.slave_path()}, {});
    EXPECT_EQ(bare.ReadLine(), "-1 EINTR");
    auto attached = Python(kInterruptedReadScript);
    EXPECT_EQ(attached->ReadLine(), "-1 EINTR");
    EXPECT_EQ(attached->Wait(), 0) << attached->Errors();
}

// Filter mode with every byte sent having its case flipped.
void FlipEverySentByte(RecordLog& log) {
    ASSERT_EQ(
        log.link().LoadRule(IOCTL_FILTER_SEND_COUNT_RULE, FilterRule{kFlip, 1, 1, 1, 0x20, 0}), 1);
}

TEST_F(AttachmentTest, AStalledHostLetsCallsPassAndFilteringResumesWithTheBypassReported) {
    Watch(kLinkModeFilter);
    FlipEverySentByte(*log_);
    std::vector<std::string> environment = AttachedEnvironment(runtime_);
    environment.insert(environment.begin(), "SIEVRA_REPLY_MS=1000");
    // Each line is written; "reopen" closes the port and opens it again.
    AttachedProgram program({kPython, "-c", R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
for line in sys.stdin:
    if line.strip() == 'reopen':
        os.close(fd)
        fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
    else:
        os.write(fd, line.strip().encode())
    print('wrote', flush=True)
os.close(fd)
)",
                             pty_.slave_path()},
                            environment);
    auto write = [&](const std::string& text) {
        program.WriteLine(text);
        EXPECT_EQ(program.ReadLine(), "wrote");
        return pty_.ReadExactly(text.size());
    };
    EXPECT_EQ(write("abcd"), "ABCD");
    host_->Signal(SIGSTOP);
    ASSERT_TRUE(comm::testing::WaitUntilStopped(host_->pid()));
    EXPECT_EQ(write("efgh"), "efgh");  // the program does not wait for a stopped host
    host_->Signal(SIGCONT);
    // The session and its rule stay: filtering resumes as soon as the host has answered.
    size_t requests = 1;
    size_t bytes = 4;
    std::string far;
    for (int i = 0; i < 1000 && (far = write("x")) == "x"; ++i) {
        ++requests;
        ++bytes;
    }
    EXPECT_EQ(far, "X");
    // An open and close while the host is stopped leave nothing behind for the next open.
    host_->Signal(SIGSTOP);
    ASSERT_TRUE(comm::testing::WaitUntilStopped(host_->pid()));
    program.WriteLine("reopen");
    EXPECT_EQ(program.ReadLine(), "wrote");
    host_->Signal(SIGCONT);
    program.WriteLine("reopen");
    EXPECT_EQ(program.ReadLine(), "wrote");
    // The closes end the rule (whenever the host gets to the stopped one): it is loaded again
    // until it holds, and then filters.
    std::string probe;
    for (int i = 0; i < 100 && probe != "P"; ++i) {
        FlipEverySentByte(*log_);
        probe = write("p");
    }
    EXPECT_EQ(probe, "P");
    program.CloseInput();
    EXPECT_EQ(program.Wait(), 0) << program.Errors();
    EXPECT_TRUE(log_->WaitFor("驱动没有及时应答: " + std::to_string(requests) + " 次请求 (" +
                              std::to_string(bytes) + " bytes) 发送数据没有经过过滤"))
        << log_->Text();
}

// Runs script (which prints "open", reads a line, then prints the seconds its timed part took)
// with a reply time of 1 s and the host stopped from the "open" on; the seconds it printed.
double AttachmentTest::SecondsWhileTheHostIsStopped(const std::string& script) {
    std::vector<std::string> environment = AttachedEnvironment(runtime_);
    environment.insert(environment.begin(), "SIEVRA_REPLY_MS=1000");
    AttachedProgram program({kPython, "-c", script, pty_.slave_path()}, environment);
    EXPECT_EQ(program.ReadLine(), "open");
    host_->Signal(SIGSTOP);
    EXPECT_TRUE(comm::testing::WaitUntilStopped(host_->pid()));
    program.WriteLine("go");
    const std::string seconds = program.ReadLine();
    host_->Signal(SIGCONT);
    EXPECT_EQ(program.Wait(), 0) << program.Errors();
    return seconds.empty() ? 1e9 : std::stod(seconds);
}

// A fork waits until the host has recorded what came before it, but a stopped host holds the
// program back once (the reply time), not at every fork.
TEST_F(AttachmentTest, ForksWhileTheHostIsStoppedWaitForItOnlyOnce) {
    Watch(kLinkModeMonitor);
    const double seconds = SecondsWhileTheHostIsStopped(R"(
import os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
print('open', flush=True)
sys.stdin.readline()
os.write(fd, b'w')
start = time.monotonic()
for _ in range(6):
    child = os.fork()
    if child == 0:
        os._exit(0)
    os.waitpid(child, 0)
print('%.1f' % (time.monotonic() - start), flush=True)
)");
    EXPECT_LT(seconds, 4.0) << "six forks waited " << seconds << " s";
    ExpectLines({"写串口 1 bytes: w\r\n"});
}

// With many opens unsettled behind a stopped host, a fork still waits the reply time once in
// all, not once for each open.
TEST_F(AttachmentTest, AForkWithManyOpensWaitsForAStoppedHostOnce) {
    Watch(kLinkModeMonitor);
    const double seconds = SecondsWhileTheHostIsStopped(R"(
import os, sys, time
fds = [os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY) for _ in range(6)]
print('open', flush=True)
sys.stdin.readline()
for fd in fds:
    os.write(fd, b'w')
start = time.monotonic()
child = os.fork()
if child == 0:
    os._exit(0)
os.waitpid(child, 0)
print('%.1f' % (time.monotonic() - start), flush=True)
)");
    EXPECT_LT(seconds, 3.0) << "a fork with six opens waited " << seconds << " s";
}

TEST_F(AttachmentTest, LargeCallsAndEmptyReadsAreRecordedWhole) {
    Watch(kLinkModeMonitor);
    auto program = Python(R"(
import os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
assert os.write(fd, b'a' * 5000) == 5000
assert os.write(fd, b'b' * 9000) == 9000
a = termios.tcgetattr(fd)
a[3] = 0
a[6][termios.VMIN] = 0
a[6][termios.VTIME] = 1
termios.tcsetattr(fd, termios.TCSANOW, a)
assert os.read(fd, 10) == b''
os.close(fd)
)");
    EXPECT_EQ(pty_.ReadExactly(14000), std::string(5000, 'a') + std::string(9000, 'b'));
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ExpectLines(
        {"写串口 918 bytes: ", "写串口 836 bytes: ", "读串口 0 bytes: \r\n", "Close Com OK"});
    EXPECT_EQ(RecordLog::Count(log_->Text(), "写串口 4082 bytes: "), 3u);
}

TEST_F(AttachmentTest, FilterModeLeavesTheProgramsOwnBehaviourAlone) {
    Watch(kLinkModeFilter);
    FlipEverySentByte(*log_);
    // Four threads' messages whole on the line; writev refusing too many buffers; the
    // attachment's socket kept through closefrom, with descriptors few enough that its number
    // is low; a full non-blocking port answering EAGAIN.
    auto program = Python(R"(
import ctypes, errno, fcntl, os, resource, socket, sys, threading
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
def sender(letter):
    for i in range(5):
        assert os.write(fd, letter * 10000) == 10000
threads = [threading.Thread(target=sender, args=(bytes([65 + t]),)) for t in range(4)]
for t in threads: t.start()
for t in threads: t.join()
try:
    os.writev(fd, [b'x'] * 1025)
    print('writev accepted')
except OSError as e:
    print('writev', errno.errorcode[e.errno])
ctypes.CDLL(None).closefrom(fd + 1)
mine, theirs = socket.socketpair()
os.write(fd, b'q')
theirs.setblocking(False)
try:
    print('stray', theirs.recv(100))
except BlockingIOError:
    print('socket clean')
fcntl.fcntl(fd, fcntl.F_SETFL, os.O_NONBLOCK)
for i in range(1000):
    try:
        os.write(fd, b'z' * 1024)
    except BlockingIOError:
        print('eagain', flush=True)
        break
)");
    const std::string far = pty_.ReadExactly(200000);
    ASSERT_EQ(far.size(), 200000u);
    for (size_t at = 0; at < far.size(); at += 10000) {
        SCOPED_TRACE(at);
        const std::string message = far.substr(at, 10000);
        EXPECT_EQ(message, std::string(10000, message[0]));
    }
    EXPECT_EQ(program->ReadLine(), "writev EINVAL");
    EXPECT_EQ(program->ReadLine(), "socket clean");
    EXPECT_EQ(pty_.ReadExactly(1), "Q");
    EXPECT_EQ(program->ReadLine(), "eagain");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

TEST_F(AttachmentTest, AFilteredWriteFromASignalHandlerOnASmallAlternateStack) {
    Watch(kLinkModeFilter);
    FlipEverySentByte(*log_);
    auto program = Run({ChildProcess::BinDir() + "/altstack_writer", pty_.slave_path()});
    EXPECT_EQ(pty_.ReadExactly(11), "MAINHANDLER");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
}

// A shell opens the port for cat and execs it: one open, its write, one close on record, and
// the rules hold across the exec.
TEST_F(AttachmentTest, AnOpenThatOutlivesExecIsOneSessionWithItsRules) {
    const std::string file = dir_.path() + "/text";
    std::ofstream(file) << "abc";
    const std::vector<std::string> shell{"/bin/sh", "-c", "cat \"$0\" > \"$1\"", file,
                                         pty_.slave_path()};
    Watch(kLinkModeMonitor);
    auto monitored = Run(shell);
    EXPECT_EQ(pty_.ReadExactly(3), "abc");
    EXPECT_EQ(monitored->Wait(), 0) << monitored->Errors();
    ExpectLines({"写串口 3 bytes: abc\r\n", "Close Com OK"});
    const std::string text = log_->Text();
    EXPECT_EQ(RecordLog::Count(text, "Open Com"), 1u) << text;
    EXPECT_EQ(RecordLog::Count(text, "Close Com"), 1u) << text;
    EXPECT_LT(text.find("写串口"), text.find("Close Com"));

    ASSERT_EQ(log_->link().SetMode(kLinkModeFilter), 1);
    FlipEverySentByte(*log_);
    auto filtered = Run(shell);
    EXPECT_EQ(pty_.ReadExactly(3), "ABC");
    EXPECT_EQ(filtered->Wait(), 0) << filtered->Errors();
}

// A child that inherits the port and writes to it is the same open: one open and one close on
// record, a line where the process making the calls changes, and the parent's rules stay when
// the child ends.
TEST_F(AttachmentTest, AChildsUseOfAnInheritedPortIsTheSameOpen) {
    const char* const script = R"(
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'a')
child = os.fork()
if child == 0:
    print(os.getpid(), flush=True)
    os.write(fd, b'b')
    sys.exit(0)  # the attachment's exit-time close: the child's records are in before it ends
os.waitpid(child, 0)
os.write(fd, b'c')
os.close(fd)
)";
    Watch(kLinkModeMonitor);
    auto monitored = Python(script);
    const std::string child = monitored->ReadLine();
    EXPECT_EQ(pty_.ReadExactly(3), "abc");
    EXPECT_EQ(monitored->Wait(), 0) << monitored->Errors();
    ExpectLines({"写串口 1 bytes: a\r\n进程 " + child +
                     " (python3):\r\n写串口 1 bytes: b\r\n进程 " +
                     std::to_string(monitored->pid()) + " (python3):\r\n写串口 1 bytes: c\r\n",
                 "Close Com OK"});
    EXPECT_EQ(RecordLog::Count(log_->Text(), "Open Com"), 1u) << log_->Text();
    EXPECT_EQ(RecordLog::Count(log_->Text(), "Close Com"), 1u) << log_->Text();

    ASSERT_EQ(log_->link().SetMode(kLinkModeFilter), 1);
    FlipEverySentByte(*log_);
    auto filtered = Python(script);
    EXPECT_EQ(pty_.ReadExactly(3), "ABC");
    EXPECT_EQ(filtered->Wait(), 0) << filtered->Errors();
}

// A program that puts another file at the number of the attachment's connection (dup2 over
// every number it does not know) keeps its port watched.
TEST_F(AttachmentTest, AProgramThatDup2sOverTheAttachmentsConnectionStaysWatched) {
    Watch(kLinkModeMonitor);
    auto program = Python(R"(
import os, stat, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
os.write(fd, b'before')
null = os.open('/dev/null', os.O_RDWR)
for other in map(int, os.listdir('/proc/self/fd')):
    try:
        if other > 2 and other not in (fd, null) and stat.S_ISSOCK(os.fstat(other).st_mode):
            os.dup2(null, other)
    except OSError:
        pass
os.write(fd, b'after')
os.close(fd)
)");
    EXPECT_EQ(pty_.ReadExactly(11), "beforeafter");
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    ExpectLines({"写串口 6 bytes: before", "写串口 5 bytes: after", "Close Com OK"});
    EXPECT_LT(log_->Text().find("after"), log_->Text().find("Close Com"));
}

// A signal handler's write that interrupts its own thread's filtered write cannot wait for it:
// it passes unfiltered, and is counted in the bypass report like any other.
TEST_F(AttachmentTest, AHandlersWriteThatInterruptsAFilteredWriteIsReported) {
    Watch(kLinkModeFilter);
    FlipEverySentByte(*log_);
    auto program = Run({ChildProcess::BinDir() + "/interrupting_writer", pty_.slave_path()});
    std::string far;
    while (far.empty() || (far.back() != 'e' && far.back() != 'E')) {
        const std::string next = pty_.ReadExactly(1);
        ASSERT_FALSE(next.empty()) << far;
        far += next;
    }
    EXPECT_EQ(program->Wait(), 0) << program->Errors();
    EXPECT_EQ(RecordLog::Count(far, "M") + RecordLog::Count(far, "m"), 1000u);
    const size_t unfiltered =
        RecordLog::Count(far, "s") + RecordLog::Count(far, "m") + RecordLog::Count(far, "E");
    // Everything the program's reports said is on record once a later program's write is.
    ASSERT_EQ(log_->link().SetMode(kLinkModeMonitor), 1);
    auto marker = Run({kPython, "-c", kMarkerScript, pty_.slave_path(), "z"});
    EXPECT_EQ(pty_.ReadExactly(1), "z");
    ASSERT_TRUE(log_->WaitFor("写串口 1 bytes: z")) << log_->Text();
    EXPECT_EQ(marker->Wait(), 0);
    const std::string text = log_->Text();
    size_t reported = 0;
    const std::string kReport = "驱动没有及时应答: ";
    for (size_t at = text.find(kReport); at != std::string::npos; at = text.find(kReport, at + 1)) {
        const size_t open = text.find('(', at);
        reported += std::stoul(text.substr(open + 1));
    }
    EXPECT_EQ(reported, unfiltered) << text;
}

}  // namespace
}  // namespace sievra::attach::testing
