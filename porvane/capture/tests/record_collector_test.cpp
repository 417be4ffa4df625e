// The collector of the monitor page's record stream: a call recorded in pieces is one call, a
// failure goes with its call, the process named goes with the calls after it, and the oldest
// calls go first when the data grows past its bound.
#include "porvane/capture/record_collector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/sievra_protocol.h"
#include "porvane/capture/serial_capture_reader.h"

namespace porvane::capture {
namespace {

using Bytes = std::vector<uint8_t>;

// One driver record: tag, kind, code, length (little-endian), data.
Bytes Record(uint32_t kind, uint32_t code, const Bytes& data) {
    Bytes r(sievra::kRecordHeaderSize);
    r[0] = sievra::kMonitorTag;
    sievra::PutLe32(r.data() + 1, kind);
    sievra::PutLe32(r.data() + 5, code);
    sievra::PutLe32(r.data() + 9, static_cast<uint32_t>(data.size()));
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

Bytes Join(std::initializer_list<Bytes> records) {
    Bytes all;
    for (const Bytes& r : records)
        all.insert(all.end(), r.begin(), r.end());
    return all;
}

std::vector<SerialCall> Saved(const RecordCollector& collector) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), std::fclose);
    EXPECT_EQ(collector.WriteTo(comm::UniqueFd(::dup(fileno(file.get()))), "test"), 0);
    std::rewind(file.get());
    SerialCaptureReader reader(file.get());
    std::vector<SerialCall> calls;
    for (SerialCall call; reader.Next(call) == SerialCaptureReader::Result::kCall;)
        calls.push_back(call);
    EXPECT_EQ(reader.fault(), "");
    return calls;
}

TEST(RecordCollector, PiecesFailuresAndProcessesGoWithTheirCalls) {
    RecordCollector collector;
    const Bytes first(sievra::kMaxRecordData, 'a');
    Bytes process = {0x39, 0x30, 0, 0};  // pid 12345
    process.insert(process.end(), {'m', 'o', 'd', 'p', 'o', 'l', 'l'});
    // A write in two pieces across two buffers, a refused control call, a process change.
    collector.Add(
        "ttyS0",
        Join({Record(sievra::kKindCreate, 0, {0, 0, 0, 0}), Record(sievra::kKindWrite, 0, first)})
            .data(),
        sievra::kRecordHeaderSize * 2 + 4 + first.size(), 100);
    const Bytes second =
        Join({Record(sievra::kKindWrite, sievra::kRecordContinues, Bytes(10, 'b')),
              Record(sievra::kKindDeviceControl, sievra::IOCTL_SIEVRA_CALL_FAILED, {25, 0, 0, 0}),
              Record(sievra::kKindDeviceControl, 0x1B0010, {}),
              Record(sievra::kKindDeviceControl, sievra::IOCTL_SIEVRA_PROCESS_REPORT, process),
              Record(sievra::kKindRead, 0, {'o', 'k'})});
    collector.Add("ttyS0", second.data(), second.size(), 200);
    const std::vector<SerialCall> calls = Saved(collector);
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].kind, sievra::kKindCreate);
    EXPECT_EQ(calls[1].kind, sievra::kKindWrite);
    EXPECT_EQ(calls[1].data.size(), sievra::kMaxRecordData + 10);
    EXPECT_EQ(calls[1].time_us, 100u);
    EXPECT_EQ(calls[2].code, 0x1B0010u);
    EXPECT_EQ(calls[2].error, 25u);
    EXPECT_EQ(calls[2].process.pid, 0);
    EXPECT_EQ(calls[3].code, sievra::IOCTL_SIEVRA_PROCESS_REPORT);
    EXPECT_EQ(calls[4].process.pid, 12345);
    EXPECT_EQ(calls[4].process.name, "modpoll");
    EXPECT_EQ(calls[4].error, 0u);
    for (const SerialCall& call : calls)
        EXPECT_EQ(call.port, "ttyS0");
    collector.Clear();
    EXPECT_EQ(collector.size(), 0u);
}

TEST(RecordCollector, TheOldestCallsGoPastTheBound) {
    RecordCollector collector(4000);
    const size_t big = 1000;
    for (uint8_t i = 0; i < 6; ++i) {
        const Bytes r = Record(sievra::kKindRead, 0, Bytes(big, i));
        collector.Add("ttyS0", r.data(), r.size(), i);
    }
    const std::vector<SerialCall> calls = Saved(collector);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls.front().data.front(), 2);
    EXPECT_EQ(calls.back().data.front(), 5);
}

}  // namespace
}  // namespace porvane::capture
