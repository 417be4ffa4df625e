#include "application_under_test.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/attach/tests/attached_program.h"
#include "platform/comm/serial_ioctl.h"
#include "porvane/monitor/driver_link.h"

namespace porvane::monitor::testing {
namespace {

// One command a line, one answer a line: "ok" with the result, or "error" with the reason.
const char* const kPortScript = R"(
import fcntl, os, struct, sys, termios
path = sys.argv[1]
fd = -1
sizes = {5: termios.CS5, 6: termios.CS6, 7: termios.CS7, 8: termios.CS8}
def line(baud, data, parity, stop, crtscts, ixon):
    a = termios.tcgetattr(fd)
    a[0] = termios.IXON if ixon == '1' else 0
    a[1] = 0
    c = a[2] & ~(termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB |
                 termios.CRTSCTS)
    c |= sizes[int(data)] | termios.CREAD | termios.CLOCAL
    if parity != 'N':
        c |= termios.PARENB | (termios.PARODD if parity == 'O' else 0)
    if stop == '2':
        c |= termios.CSTOPB
    if crtscts == '1':
        c |= termios.CRTSCTS
    a[2] = c
    a[3] = 0
    a[4] = a[5] = getattr(termios, 'B' + baud)
    a[6][termios.VMIN] = 1
    a[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, a)
for command in sys.stdin:
    words = command.split()
    try:
        result = ''
        if words[0] == 'open':
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        elif words[0] == 'close':
            os.close(fd)
            fd = -1
        elif words[0] == 'line':
            line(*words[1:])
        elif words[0] == 'dtr':
            try:
                fcntl.ioctl(fd, termios.TIOCMBIS, struct.pack('I', termios.TIOCM_DTR))
            except OSError:
                pass  # a pseudo-terminal has no modem lines
        elif words[0] == 'purge':
            termios.tcflush(fd, termios.TCIOFLUSH)
        elif words[0] == 'write':
            data = bytes.fromhex(words[1]) if len(words) > 1 else b''
            n = os.write(fd, data)
            if n != len(data):
                raise OSError('wrote %d of %d' % (n, len(data)))
        elif words[0] == 'read':
            data = b''
            while len(data) < int(words[1]):
                piece = os.read(fd, int(words[1]) - len(data))
                if not piece:
                    raise OSError('hang-up')
                data += piece
            result = ' ' + data.hex()
        elif words[0] == 'speed':
            # TCGETS2: the rate itself, also when it was set as a number (BOTHER).
            t = fcntl.ioctl(fd, 0x802C542A, bytes(44))
            result = ' %d' % struct.unpack('=IIIIB19sII', t)[7]
        elif words[0] == 'code':
            result = ' %d' % termios.tcgetattr(fd)[5]
        print('ok' + result, flush=True)
    except Exception as e:
        print('error', repr(e), flush=True)
)";

std::string Hex(const std::string& bytes) {
    std::string hex;
    char pair[3];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", c);
        hex += pair;
    }
    return hex;
}

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

}  // namespace

ApplicationUnderTest::ApplicationUnderTest(const std::string& runtime_dir,
                                           const std::string& port_path)
    : program_(std::make_unique<sievra::attach::testing::AttachedProgram>(
          std::vector<std::string>{"/usr/bin/python3", "-c", kPortScript, port_path},
          sievra::attach::testing::AttachedEnvironment(runtime_dir))) {}

ApplicationUnderTest::~ApplicationUnderTest() = default;

std::string ApplicationUnderTest::Call(const std::string& command) {
    program_->WriteLine(command);
    // Generous: a sanitizer build of the host on a loaded machine answers the attachment slowly.
    return program_->ReadLine(60000);
}

bool ApplicationUnderTest::Open() {
    return Call("open") == "ok";
}

bool ApplicationUnderTest::Close() {
    return Call("close") == "ok";
}

bool ApplicationUnderTest::SetLine(uint32_t baud, int data_bits, char parity, int stop_bits,
                                   bool crtscts, bool ixon) {
    return Call("line " + std::to_string(baud) + " " + std::to_string(data_bits) + " " + parity +
                " " + std::to_string(stop_bits) + " " + (crtscts ? "1" : "0") + " " +
                (ixon ? "1" : "0")) == "ok";
}

bool ApplicationUnderTest::SetDtr() {
    return Call("dtr") == "ok";
}

bool ApplicationUnderTest::Purge() {
    return Call("purge") == "ok";
}

bool ApplicationUnderTest::Write(const std::string& bytes) {
    return Call("write " + Hex(bytes)) == "ok";
}

std::string ApplicationUnderTest::Read(size_t n) {
    const std::string answer = Call("read " + std::to_string(n));
    return answer.rfind("ok ", 0) == 0 ? Unhex(answer.substr(3)) : std::string();
}

uint32_t ApplicationUnderTest::Speed() {
    const std::string answer = Call("speed");
    return answer.rfind("ok ", 0) == 0 ? static_cast<uint32_t>(std::stoul(answer.substr(3))) : 0;
}

uint32_t ApplicationUnderTest::SpeedCode() {
    const std::string answer = Call("code");
    return answer.rfind("ok ", 0) == 0 ? static_cast<uint32_t>(std::stoul(answer.substr(3)))
                                       : 0xffffffff;
}

int ApplicationUnderTest::Exit() {
    program_->CloseInput();
    return program_->Wait(60000);
}

bool WaitUntilTheHostSees(const std::string& runtime_dir, int port_index, bool open) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        DriverLink link(runtime_dir);
        uint32_t baud = 0;
        if (link.Open(port_index) &&
            link.Forward(comm::IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4) == 1 &&
            (baud != 0) == open) {
            return true;
        }
        link.Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // between tries, not a wait
    }
    return false;
}

}  // namespace porvane::monitor::testing
