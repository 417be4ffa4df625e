#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/comm/testing/child_process.h"
#include "porvane/terminal/file_chunking.h"
#include "porvane/terminal/file_sender.h"
#include "porvane/terminal/hex_text_parser.h"
#include "porvane/terminal/receive_store.h"
#include "porvane/terminal/receive_text.h"

namespace porvane::terminal {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ParseHexText, TheSendPanelExamples) {
    struct Row {
        const char* text;
        Bytes bytes;
    };
    const Row rows[] = {
        {"01 02 0A ff", {0x01, 0x02, 0x0A, 0xFF}},
        {"12345", {0x45}},
        {"0x1F", {0x00, 0x1F}},
        {"1,2;3", {0x01, 0x02, 0x03}},
        {"A", {0x0A}},
        {"G1", {0x01}},
        {"1 2 3", {0x01, 0x02, 0x03}},
        {"FFFFFFFFF", {0xFF}},
        {"80000000", {0xFF}},
        {"7FFFFF41", {0x41}},
        {"", {}},
        {" ,;-", {}},
        {"\xB4\xAE"
         "41",
         {0x41}},  // bytes of a double-byte character separate groups
        {"0a\r\n0b", {0x0A, 0x0B}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(ParseHexText(row.text), row.bytes);
    }
}

TEST(FileChunkSize, HundredthBetweenOneHundredAndOneThousandTwentyFour) {
    EXPECT_EQ(FileChunkSize(5000), 100u);
    EXPECT_EQ(FileChunkSize(10099), 100u);
    EXPECT_EQ(FileChunkSize(10100), 101u);
    EXPECT_EQ(FileChunkSize(50000), 500u);
    EXPECT_EQ(FileChunkSize(102499), 1024u);
    EXPECT_EQ(FileChunkSize(1000000), 1024u);
}

TEST(ReadSendPeriod, EmptyOrZeroMeansOneSecond) {
    bool reset = false;
    EXPECT_EQ(ReadSendPeriod("", &reset), 1000u);
    EXPECT_TRUE(reset);
    EXPECT_EQ(ReadSendPeriod("0", &reset), 1000u);
    EXPECT_TRUE(reset);
    EXPECT_EQ(ReadSendPeriod("250", &reset), 250u);
    EXPECT_FALSE(reset);
}

TEST(ReceiveStore, KeepsArrivalOrderAndStaysBounded) {
    ReceiveStore store(10);
    store.Append(Bytes{1, 2, 3});
    store.Append(Bytes{4, 5});
    EXPECT_EQ(Bytes(store.bytes().begin(), store.bytes().end()), (Bytes{1, 2, 3, 4, 5}));
    for (uint8_t i = 6; i < 40; ++i)
        store.Append(Bytes{i});
    EXPECT_EQ(store.size(), 10u);
    EXPECT_EQ(store.bytes().front(), 30);
    EXPECT_EQ(store.bytes().back(), 39);
    store.Append(Bytes(25, 7));
    EXPECT_EQ(store.size(), 10u);
    store.Clear();
    EXPECT_EQ(store.size(), 0u);
}

TEST(ReceiveStore, ZeroBytesForeverDoNotGrowIt) {
    ReceiveStore store;
    Bytes zeros(2048, 0);
    for (int i = 0; i < 2000; ++i)
        store.Append(zeros);  // about 4 MB
    EXPECT_EQ(store.size(), ReceiveStore::kDefaultCapacity);
}

TEST(ReceiveTextRenderer, TextStopsAtTheFirstZeroAndHexShowsEverything) {
    ReceiveTextRenderer r;
    const Bytes a0b = {0x41, 0x00, 0x42};
    EXPECT_EQ(r.Render(a0b, false), "A");
    EXPECT_EQ(r.Render(a0b, true), "41 00 42 ");
    EXPECT_EQ(ReceiveTextRenderer::RenderAll(a0b, false), "A");
    EXPECT_EQ(ReceiveTextRenderer::RenderAll(a0b, true), "41 00 42 ");
}

TEST(ReceiveTextRenderer, AGbkCharacterSplitAcrossReadsStaysWhole) {
    ReceiveTextRenderer r;
    EXPECT_EQ(r.Render(Bytes{'o', 'k', 0xB4}, false), "ok");
    EXPECT_EQ(r.Render(Bytes{0xAE}, false), "串");
}

TEST(ReceiveTextRenderer, LineBreaksFoldToOneLfEachAlsoAcrossArrivals) {
    struct Row {
        const char* name;
        std::vector<const char*> arrivals;
        std::vector<const char*> folded;
    };
    const Row rows[] = {
        {"cr lf", {"a\r\nb"}, {"a\nb"}},
        {"lone cr and lone lf", {"a\rb\nc"}, {"a\nb\nc"}},
        {"lf cr is two breaks", {"a\n\rb"}, {"a\n\nb"}},
        {"cr lf split across arrivals", {"a\r", "\nb"}, {"a\n", "b"}},
        {"cr then a second cr", {"a\r", "\r\n"}, {"a\n", "\n"}},
        {"an empty arrival keeps the pending cr", {"a\r", "", "\nb"}, {"a\n", "", "b"}},
        {"lf after cr only at the start", {"a\r", "b\n"}, {"a\n", "b\n"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ReceiveTextRenderer r;
        for (size_t i = 0; i < row.arrivals.size(); ++i)
            EXPECT_EQ(r.FoldLineBreaks(row.arrivals[i]), row.folded[i]);
    }
}

TEST(ReceiveTextRenderer, ResetAndRedisplayForgetAPendingCr) {
    ReceiveTextRenderer r;
    r.FoldLineBreaks("a\r");
    r.Reset();
    EXPECT_EQ(r.FoldLineBreaks("\nb"), "\nb");
    r.FoldLineBreaks("a\r");
    EXPECT_EQ(r.RenderAllForView(Bytes{'\n', 'x', '\r', '\n', 'y', 0, 'z'}, false), "\nx\ny");
}

TEST(CountedLength, CountsUtf16UnitsAndALineBreakAsTwo) {
    EXPECT_EQ(CountedLength(""), 0u);
    EXPECT_EQ(CountedLength("abc"), 3u);
    EXPECT_EQ(CountedLength("a\nb"), 4u);
    EXPECT_EQ(CountedLength("串口"), 2u);              // three UTF-8 bytes each, one unit each
    EXPECT_EQ(CountedLength("\xF0\x9F\x98\x80"), 2u);  // beyond the basic plane: a pair
}

// The view's limit: below it an arrival is shown; at it the view is emptied for the notice.
TEST(ReceiveTextRenderer, TheViewLimitEmptiesTheViewForTheNotice) {
    ReceiveTextRenderer r;
    ViewUpdate below = r.ForView("x\r", kViewTextLimit - 1);
    EXPECT_FALSE(below.overflow);
    EXPECT_EQ(below.text, "x\n");
    EXPECT_EQ(below.counted_length, 3u);

    ViewUpdate at = r.ForView("\nlost", kViewTextLimit);
    EXPECT_TRUE(at.overflow);
    const std::string notice = kOverflowNotice;
    EXPECT_EQ(at.text, notice.substr(0, notice.size() - 2) + "\n");
    EXPECT_EQ(at.counted_length, notice.size());  // the notice's CR LF counts as two
    // The notice ends the pending CR of the text before it: a following LF is a line of its own.
    EXPECT_EQ(r.ForView("\nz", 0).text, "\nz");
}

// Golden values: the published FNV-1a 64-bit test vectors ("", "a", "foobar").
TEST(ReceiveChecksum, MatchesFnv1aVectorsAndContinuesAcrossBlocks) {
    auto bytes = [](std::string_view s) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(ReceiveChecksum(bytes("")), 0xcbf29ce484222325ull);
    EXPECT_EQ(ReceiveChecksum(bytes("a")), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(ReceiveChecksum(bytes("foobar")), 0x85944171f73967e8ull);
    EXPECT_EQ(ReceiveChecksum(bytes("bar"), ReceiveChecksum(bytes("foo"))),
              ReceiveChecksum(bytes("foobar")));
}

// File transfers against a page that reports transmit-empty for every chunk.
class FileSenderTest : public ::testing::Test {
  protected:
    FileSenderTest()
        : sender_({.send_chunk =
                       [this](const uint8_t* b, uint32_t n) {
                           {
                               std::lock_guard lock(mutex_);
                               chunks_.push_back(n);
                               received_.append(reinterpret_cast<const char*>(b), n);
                           }
                           if (auto_done_)
                               sender_.ChunkDone();
                       },
                   .started = [this](uint64_t length) { started_ = length; },
                   .progress = [this](uint64_t offset) { last_progress_ = offset; },
                   .finished = [this] { finished_ = true; },
                   .open_failed = [this] { open_failed_ = true; },
                   .pump = nullptr}) {}

    std::string MakeFile(size_t size) {
        std::string path = dir_.path() + "/f" + std::to_string(size);
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>(i * 7);
        std::ofstream(path, std::ios::binary) << data;
        expected_ = data;
        return path;
    }
    size_t ChunkCount() {
        std::lock_guard lock(mutex_);
        return chunks_.size();
    }
    // Both waits give up only after a minute, which no transfer here needs even on a loaded
    // machine under the sanitizers; a failed wait shows in the checks that follow, not as a hang.
    void WaitForFirstChunk() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (ChunkCount() == 0 && std::chrono::steady_clock::now() < deadline)
            usleep(1000);
        ASSERT_NE(ChunkCount(), 0u);
    }
    void WaitIdle() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (sender_.running() && std::chrono::steady_clock::now() < deadline)
            usleep(1000);
    }

    comm::testing::TempDir dir_;
    std::mutex mutex_;
    std::vector<uint32_t> chunks_;
    std::string received_;
    std::string expected_;
    std::atomic<bool> auto_done_{true};
    std::atomic<uint64_t> started_{0};
    std::atomic<uint64_t> last_progress_{0};
    std::atomic<bool> finished_{false};
    std::atomic<bool> open_failed_{false};
    FileSender sender_;
};

TEST_F(FileSenderTest, ChunkCountsOfTheThreeSizes) {
    struct Row {
        size_t size;
        size_t chunks;
        uint32_t first, last;
    };
    for (Row row :
         {Row{5000, 50, 100, 100}, Row{50000, 100, 500, 500}, Row{1000000, 977, 1024, 576}}) {
        SCOPED_TRACE(row.size);
        chunks_.clear();
        received_.clear();
        finished_ = false;
        ASSERT_TRUE(sender_.Start(MakeFile(row.size)));
        WaitIdle();
        EXPECT_TRUE(finished_);
        EXPECT_EQ(chunks_.size(), row.chunks);
        EXPECT_EQ(chunks_.front(), row.first);
        EXPECT_EQ(chunks_.back(), row.last);
        EXPECT_TRUE(received_ == expected_);
        EXPECT_EQ(started_.load(), row.size);
        EXPECT_EQ(last_progress_.load(), (row.chunks - 1) * uint64_t{row.first});
    }
}

TEST_F(FileSenderTest, StopEndsAfterTheCurrentChunkAndASecondStartWaits) {
    auto_done_ = false;
    ASSERT_TRUE(sender_.Start(MakeFile(5000)));
    WaitForFirstChunk();
    sender_.Stop();
    EXPECT_FALSE(sender_.Start(MakeFile(5000)));  // the first worker still waits for its chunk
    sender_.ChunkDone();
    WaitIdle();
    EXPECT_TRUE(finished_);
    EXPECT_EQ(chunks_.size(), 1u);
}

TEST_F(FileSenderTest, ClosedPortEndsTheTransfer) {
    auto_done_ = false;
    ASSERT_TRUE(sender_.Start(MakeFile(50000)));
    WaitForFirstChunk();
    sender_.SetPortOpen(false);
    WaitIdle();
    EXPECT_FALSE(sender_.running());
    EXPECT_TRUE(finished_);
    EXPECT_EQ(chunks_.size(), 1u);
}

TEST_F(FileSenderTest, MissingAndEmptyFiles) {
    ASSERT_TRUE(sender_.Start(dir_.path() + "/missing"));
    WaitIdle();
    EXPECT_TRUE(open_failed_);
    ASSERT_TRUE(sender_.Start(MakeFile(0)));
    WaitIdle();
    EXPECT_TRUE(chunks_.empty());
    EXPECT_FALSE(finished_);
}

}  // namespace
}  // namespace porvane::terminal
