// The capture's writer and reader: calls written are the calls read, whole or cut at any byte,
// and a hostile file ends in a fault with a message, never a crash or a loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/sievra_protocol.h"
#include "porvane/capture/serial_capture_reader.h"
#include "porvane/capture/serial_capture_writer.h"

namespace porvane::capture {
namespace {

using Bytes = std::vector<uint8_t>;
using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

SerialCall Call(const std::string& port, uint64_t time_us, uint32_t kind, Bytes data,
                uint32_t code = 0, uint32_t error = 0, CallProcess process = {42, "modpoll"}) {
    return {port, time_us, kind, code, error, std::move(data), std::move(process)};
}

// The calls a capture written from calls holds, as bytes in memory.
Bytes Written(const std::vector<SerialCall>& calls) {
    File file(std::tmpfile(), std::fclose);
    {
        SerialCaptureWriter writer(comm::UniqueFd(::dup(fileno(file.get()))), "porvane-cli test");
        for (const SerialCall& call : calls) {
            writer.Add(call, call.kind == sievra::kKindDeviceControl ? "words" : "");
            EXPECT_TRUE(writer.Flush());
        }
    }
    Bytes bytes;
    std::rewind(file.get());
    for (int c; (c = std::fgetc(file.get())) != EOF;)
        bytes.push_back(static_cast<uint8_t>(c));
    return bytes;
}

struct ReadBack {
    std::vector<SerialCall> calls;
    SerialCaptureReader::Result end;
    std::string fault;
};

ReadBack Read(const Bytes& bytes) {
    ReadBack back;
    Bytes copy = bytes;  // fmemopen wants a buffer of at least one byte
    copy.push_back(0);
    File in(::fmemopen(copy.data(), bytes.size(), "rb"), std::fclose);
    if (bytes.empty())
        in.reset(std::fopen("/dev/null", "rb"));
    SerialCaptureReader reader(in.get());
    SerialCall call;
    while ((back.end = reader.Next(call)) == SerialCaptureReader::Result::kCall)
        back.calls.push_back(call);
    back.fault = reader.fault();
    return back;
}

const std::vector<SerialCall>& Conversation() {
    static const std::vector<SerialCall> calls = {
        Call("/dev/ttyUSB0", 1700000000000000, sievra::kKindCreate, {0, 0, 0, 0}),
        Call("/dev/ttyUSB0", 1700000000000100, sievra::kKindDeviceControl, {0x80, 0x25, 0, 0},
             0x1B0004),
        Call("/dev/ttyUSB0", 1700000000000200, sievra::kKindWrite,
             {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}),
        Call("/dev/ttyS1", 1700000000000300, sievra::kKindRead, {'o', 'k'}, 0, 0, {7, "cat"}),
        Call("/dev/ttyUSB0", 1700000000000400, sievra::kKindRead, Bytes(200000, 0x5A)),
        Call("/dev/ttyUSB0", 1700000000000500, sievra::kKindDeviceControl, {}, 0x1B0010, 25),
        Call("/dev/ttyUSB0", 1700000000000600, sievra::kKindClose, {0, 0, 0, 0}, 0, 0, {}),
    };
    return calls;
}

TEST(SerialCapture, CallsReadBackAsWrittenOnePortPerInterface) {
    const ReadBack back = Read(Written(Conversation()));
    ASSERT_EQ(back.end, SerialCaptureReader::Result::kEnd) << back.fault;
    ASSERT_EQ(back.calls.size(), Conversation().size());
    for (size_t i = 0; i < back.calls.size(); ++i) {
        SCOPED_TRACE(i);
        const SerialCall& want = Conversation()[i];
        const SerialCall& got = back.calls[i];
        EXPECT_EQ(got.port, want.port);
        EXPECT_EQ(got.time_us, want.time_us);
        EXPECT_EQ(got.kind, want.kind);
        EXPECT_EQ(got.code, want.code);
        EXPECT_EQ(got.error, want.error);
        EXPECT_EQ(got.data, want.data);  // the 200000-byte read comes back whole
        EXPECT_EQ(got.process.pid, want.process.pid);
        EXPECT_EQ(got.process.name, want.process.name);
    }
}

// Every prefix of a capture, as a crash or a cut copy leaves it, reads as the calls whose blocks
// are whole, then the end (cut between blocks) or a fault that says the file is cut short.
TEST(SerialCapture, EveryCutReadsItsWholeCallsThenSaysSo) {
    const Bytes whole = Written({Conversation()[0], Conversation()[1], Conversation()[2]});
    size_t ends = 0;
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        const ReadBack back = Read(Bytes(whole.begin(), whole.begin() + cut));
        ASSERT_LE(back.calls.size(), 3u);
        if (back.end == SerialCaptureReader::Result::kEnd) {
            ++ends;
            continue;
        }
        ASSERT_EQ(back.end, SerialCaptureReader::Result::kFault) << cut;
        EXPECT_NE(back.fault.find(cut == 0 ? "empty" : "cut short"), std::string::npos)
            << cut << ": " << back.fault;
    }
    EXPECT_EQ(ends, 4u);  // after the section header, the interface, and the first two packets
}

// Patches a 32-bit word of this machine's order at offset.
Bytes Patched(Bytes bytes, size_t offset, uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, 4);
    return bytes;
}

TEST(SerialCapture, HostileFilesEndInAFaultThatSaysWhat) {
    const Bytes good = Written({Conversation()[2]});
    // Offsets: the section header is 28 + 4 + 16 ("porvane-cli test") + 4 = 52 bytes; then the
    // interface block.
    uint32_t shb_length;
    std::memcpy(&shb_length, good.data() + 4, 4);
    const size_t idb = shb_length;
    uint32_t idb_length;
    std::memcpy(&idb_length, good.data() + idb + 4, 4);
    const size_t epb = idb + idb_length;
    struct Row {
        const char* name;
        Bytes bytes;
        const char* fault;
    };
    const std::vector<Row> rows = {
        {"empty", {}, "empty"},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'},
         "no section header"},
        {"byte-order magic", Patched(good, 8, 0x11223344), "byte-order magic"},
        {"odd block length", Patched(good, epb + 4, 13), "malformed"},
        {"tiny block length", Patched(good, epb + 4, 8), "malformed"},
        {"huge block length", Patched(good, epb + 4, 0xFFFFFFF0), "longer than"},
        {"lengths differ", Patched(good, good.size() - 4, 1000), "lengths differ"},
        {"undescribed interface", Patched(good, epb + 8, 3), "names interface 3"},
        {"captured past block", Patched(good, epb + 20, 100000), "run past"},
        {"option past block", Patched(good, epb + 28 + 20, 0x7FFF0001), "options run past"},
        // if_tsresol follows if_name (12 bytes) and if_description (16): 10^-127 seconds.
        {"time resolution", Patched(good, idb + 16 + 16 + 20 + 4, 0x7F), "time resolution"},
        {"link type", Patched(good, idb + 8, 1), "link type 1"},
        {"no call header", Patched(Patched(good, epb + 20, 2), epb + 24, 2), "no call header"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const ReadBack back = Read(row.bytes);
        EXPECT_EQ(back.end, SerialCaptureReader::Result::kFault);
        EXPECT_NE(back.fault.find(row.fault), std::string::npos) << back.fault;
    }
}

// A capture written in the other byte order (as a big-endian machine writes it) reads the same.
TEST(SerialCapture, OtherByteOrderReadsTheSame) {
    auto be32 = [](Bytes& b, uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            b.push_back(static_cast<uint8_t>(v >> shift));
    };
    Bytes file;
    be32(file, 0x0A0D0D0A), be32(file, 28), be32(file, 0x1A2B3C4D), be32(file, 0x00010000);
    be32(file, 0xFFFFFFFF), be32(file, 0xFFFFFFFF), be32(file, 28);
    be32(file, 1), be32(file, 36), be32(file, 147u << 16), be32(file, 0);
    be32(file, 0x00020004), file.insert(file.end(), {'t', 't', 'y', '0'});
    be32(file, 0x00090001), be32(file, 0x09000000);  // if_tsresol 9: nanoseconds
    be32(file, 36);
    be32(file, 6), be32(file, 48), be32(file, 0), be32(file, 0), be32(file, 2000001000);
    be32(file, 14), be32(file, 14);
    file.insert(file.end(), {1, 4, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'h', 'i', 0, 0});
    be32(file, 48);
    const ReadBack back = Read(file);
    ASSERT_EQ(back.end, SerialCaptureReader::Result::kEnd) << back.fault;
    ASSERT_EQ(back.calls.size(), 1u);
    EXPECT_EQ(back.calls[0].port, "tty0");
    EXPECT_EQ(back.calls[0].time_us, 2000001u);
    EXPECT_EQ(back.calls[0].kind, sievra::kKindWrite);
    EXPECT_EQ(back.calls[0].data, (Bytes{'h', 'i'}));
}

// A full disk or a file size limit: the write fails with its errno, the file is cut back to its
// last whole block and reads to a clean end, and later calls write nothing.
TEST(SerialCapture, FailedWriteLeavesAWholeCapture) {
    {
        SerialCaptureWriter full(comm::UniqueFd(::open("/dev/full", O_WRONLY | O_CLOEXEC)), "t");
        EXPECT_FALSE(full.Flush());
        EXPECT_EQ(full.error(), ENOSPC);
    }
    char path[] = "/tmp/capture-limit-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{5000, 5000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        SerialCaptureWriter writer{comm::UniqueFd(fd), "t"};
        for (int i = 0; i < 100 && writer.Flush(); ++i)
            writer.Add(Call("/dev/ttyUSB0", 1000 + i, sievra::kKindRead, Bytes(300, 1)), "");
        ::_exit(writer.error() == EFBIG && !writer.Flush() ? 0 : 1);
    }
    ::close(fd);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    File in(std::fopen(path, "rb"), std::fclose);
    ::unlink(path);
    ASSERT_TRUE(in);
    Bytes bytes;
    for (int c; (c = std::fgetc(in.get())) != EOF;)
        bytes.push_back(static_cast<uint8_t>(c));
    const ReadBack back = Read(bytes);
    EXPECT_EQ(back.end, SerialCaptureReader::Result::kEnd) << back.fault;
    EXPECT_GT(back.calls.size(), 5u);
    EXPECT_LE(bytes.size(), 5000u);
}

TEST(SerialCapture, ProcessCommentNamesTheProcess) {
    for (const CallProcess& p :
         {CallProcess{1234, "python3"}, CallProcess{1, "a (pid 2)"}, CallProcess{0, ""}}) {
        const auto back = ParseProcessComment(ProcessComment(p));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->pid, p.pid);
        EXPECT_EQ(back->name, p.name);
    }
    for (const char* text : {"", "python3", "x (pid )", "x (pid -3)", "x (pid 12"})
        EXPECT_FALSE(ParseProcessComment(text)) << text;
}

}  // namespace
}  // namespace porvane::capture
