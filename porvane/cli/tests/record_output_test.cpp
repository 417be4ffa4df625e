// The escaping that keeps a record on one text line and every JSON string valid UTF-8; live
// output's order of several ports' records by their times, and frames a silence ends, driven by
// a clock of the test's.
#include "porvane/cli/record_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "driver/sievra_protocol.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/unique_fd.h"
#include "porvane/capture/serial_capture_reader.h"
#include "porvane/capture/serial_capture_writer.h"

namespace porvane::cli {
namespace {

using std::chrono::milliseconds;
using Time = std::chrono::system_clock::time_point;

// One driver record (header and data).
std::vector<uint8_t> Record(uint32_t kind, uint32_t code, const std::string& data) {
    std::vector<uint8_t> record(sievra::kRecordHeaderSize, 0);
    record[0] = sievra::kMonitorTag;
    sievra::PutLe32(record.data() + 1, kind);
    sievra::PutLe32(record.data() + 5, code);
    sievra::PutLe32(record.data() + 9, static_cast<uint32_t>(data.size()));
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

// A write of data, preceded by the host's time of it when at is given.
std::vector<uint8_t> Written(const std::string& data, std::optional<milliseconds> at = {}) {
    std::vector<uint8_t> buffer;
    if (at) {
        std::string us(8, '\0');
        const auto value = static_cast<uint64_t>(std::chrono::microseconds(*at).count());
        for (int i = 0; i < 8; ++i)
            us[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
        buffer = Record(sievra::kKindDeviceControl, sievra::IOCTL_SIEVRA_TIME_REPORT, us);
    }
    const std::vector<uint8_t> write = Record(sievra::kKindWrite, 0, data);
    buffer.insert(buffer.end(), write.begin(), write.end());
    return buffer;
}

// Live output to a memory stream, its clock the test's.
class LiveOutput {
  public:
    explicit LiveOutput(const std::string& decoder = "", bool hex = false)
        : stream_(open_memstream(&text_, &size_)),
          records_(stream_, {hex, true, StampMode::kNone, RecordFormat::kText, true, true, decoder,
                             true, [this] { return now_; }}) {}
    ~LiveOutput() {
        std::fclose(stream_);
        std::free(text_);
    }
    // The port's buffer comes at the clock's time `at`.
    void Write(const std::string& port, const std::vector<uint8_t>& buffer, milliseconds at) {
        now_ = Time(at);
        records_.Write(port, buffer.data(), buffer.size());
    }
    void Tick(std::chrono::microseconds at) {
        now_ = Time(at);
        records_.Tick();
    }
    std::string Lines() {
        std::fflush(stream_);
        return std::string(text_, size_);
    }
    RecordOutput& records() { return records_; }

  private:
    char* text_ = nullptr;
    size_t size_ = 0;
    std::FILE* stream_;
    Time now_{};
    RecordOutput records_;
};

TEST(RecordOutput, EscapesControlsAndKeepsJsonValidUtf8) {
    struct Case {
        std::string in, text, json;
    } cases[] = {
        {"AT\r\n", "AT\\r\\n", "\"AT\\r\\n\""},
        {"a\tb\x01\x7f", "a\\tb\\x01\\x7f", "\"a\\tb\\u0001\x7f\""},
        {"\"q\" \\", "\"q\" \\", "\"\\\"q\\\" \\\\\""},
        {"中文", "中文", "\"中文\""},
        // A lone byte above ASCII, a cut-off sequence, an overlong form and a surrogate.
        {"\xff", "\xff", "\"\xEF\xBF\xBD\""},
        {"x\xe4\xb8", "x\xe4\xb8", "\"x\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xc0\xaf", "\xc0\xaf", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xed\xa0\x80", "\xed\xa0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EscapeControls(c.in), c.text) << c.in;
        EXPECT_EQ(JsonString(c.in), c.json) << c.in;
    }
}

// The records of several ports whose host gives their times come in the order of those times,
// in the lines and in the capture, though a port's come late; a record no other port's can
// precede is never held, and one held goes when its bound has passed.
TEST(RecordOutput, LiveRecordsOfSeveralPortsGoInTheOrderOfTheirTimes) {
    LiveOutput out;
    comm::testing::TempDir dir;
    const std::string path = dir.path() + "/order.pcapng";
    capture::SerialCaptureWriter capture(
        comm::UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)),
        "test");
    out.records().SetCapture(&capture);
    out.Write("A", Written("a1", milliseconds(10)), milliseconds(1000));
    EXPECT_EQ(out.Lines(), "A: W a1\n");  // alone: at once
    out.Write("B", Written("b1", milliseconds(30)), milliseconds(1001));
    out.Write("A", Written("a2", milliseconds(20)), milliseconds(1002));
    EXPECT_EQ(out.Lines(), "A: W a1\nA: W a2\n");  // b1 waits: A may still bring earlier
    out.Tick(milliseconds(1001) + kReorderBound - std::chrono::microseconds(1));
    EXPECT_EQ(out.Lines(), "A: W a1\nA: W a2\n");
    out.Tick(milliseconds(1001) + kReorderBound);
    EXPECT_EQ(out.Lines(), "A: W a1\nA: W a2\nB: W b1\n");
    out.Write("B", Written("b2", milliseconds(50)), milliseconds(1200));
    out.Write("A", Written("a3", milliseconds(40)), milliseconds(1201));
    out.records().Flush();  // the end writes what is held
    EXPECT_EQ(out.Lines(), "A: W a1\nA: W a2\nB: W b1\nA: W a3\nB: W b2\n");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         std::fclose);
    ASSERT_TRUE(file);
    capture::SerialCaptureReader reader(file.get());
    std::string order;
    for (capture::SerialCall call;
         reader.Next(call) == capture::SerialCaptureReader::Result::kCall;)
        order += call.port + std::string(call.data.begin(), call.data.end()) + " ";
    EXPECT_EQ(order, "Aa1 Aa2 Bb1 Aa3 Bb2 ");
    // Ports whose records are stamped as they come are never held.
    LiveOutput monitor;
    monitor.Write("C", Written("c"), milliseconds(5));
    monitor.Write("D", Written("d"), milliseconds(6));
    EXPECT_EQ(monitor.Lines(), "C: W c\nD: W d\n");
    // A call of more bytes than a record holds waits for its further pieces; what came after
    // it on another port waits with it.
    const std::string whole(sievra::kMaxRecordData, 'x');
    monitor.Write("C", Written(whole), milliseconds(7));
    monitor.Write("D", Written("e"), milliseconds(8));
    EXPECT_EQ(monitor.Lines(), "C: W c\nD: W d\n");
    monitor.Write("C", Written("y"), milliseconds(9));
    EXPECT_EQ(monitor.Lines(), "C: W c\nD: W d\nC: W " + whole + "\nD: W e\nC: W y\n");
}

// A frame whose end only a pause tells is written once the pause has passed by the clock, with
// no more bytes; where the host gives the times, a little later, for a record still on its
// way. A record after the pause comes after the frame.
TEST(RecordOutput, LiveFramesEndAtTheSilenceByTheClock) {
    const std::string unknown("\x05\x41\x01\x90\x51", 5);  // a function of unknown length
    const std::string frame =
        "A: » W modbus-rtu: slave 5, unknown function 0x41, data 01, CRC ok\n";
    const std::string bytes = "A: W 05 41 01 90 51 \n";
    const std::chrono::microseconds pause(4010);  // 3.5 characters at 9600 bit/s
    struct {
        const char* what;
        std::optional<milliseconds> host_time;
        std::chrono::microseconds quiet_at;  // from the bytes' time
    } cases[] = {
        {"stamped as they come", {}, pause},
        {"the host's times", milliseconds(1000), pause + kReorderBound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LiveOutput out("modbus-rtu", true);
        out.Write("A", Written(unknown, c.host_time), milliseconds(1000));
        out.Tick(milliseconds(1000) + c.quiet_at);
        EXPECT_EQ(out.Lines(), bytes);
        out.Tick(milliseconds(1000) + c.quiet_at + std::chrono::microseconds(1));
        EXPECT_EQ(out.Lines(), bytes + frame);
    }
    // Without the clock's help (show), the next record's time ends it, before that record.
    LiveOutput shown("modbus-rtu", true);
    shown.Write("A", Written(unknown, milliseconds(1000)), milliseconds(1000));
    shown.Write("A", Written(unknown, milliseconds(1010)), milliseconds(1001));
    EXPECT_EQ(shown.Lines(), bytes + frame + bytes);
}

}  // namespace
}  // namespace porvane::cli
