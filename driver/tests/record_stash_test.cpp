// What one read of stashed records hands over.
#include "driver/host/record_stash.h"

#include <gtest/gtest.h>

#include <vector>

#include "driver/sievra_protocol.h"

namespace sievra {
namespace {

// A record with data_length bytes of data.
std::vector<uint8_t> Record(uint32_t data_length) {
    std::vector<uint8_t> r(kRecordHeaderSize + data_length, 0x5A);
    r[0] = kMonitorTag;
    PutLe32(r.data() + 9, data_length);
    return r;
}

TEST(RecordStash, AReadTakesWholeRecordsAndCutsOnlyARecordLongerThanItself) {
    struct Case {
        const char* what;
        std::vector<uint32_t> records;  // data lengths, put in one piece
        std::vector<size_t> reads;      // read lengths
        std::vector<size_t> got;        // what each read takes
    };
    const Case cases[] = {
        {"all fit", {0, 10, 100}, {4096, 4096}, {13 + 23 + 113, 0}},
        {"whole records only", {100, 100, 100}, {300, 300}, {226, 113}},
        {"a long first record is cut", {100, 5}, {50, 4096}, {50, 63 + 18}},
        {"many queues' worth in one read", {4082, 4082, 4082}, {65536}, {3 * 4095}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordStash stash(1 << 20);
        std::vector<uint8_t> all;
        for (uint32_t length : c.records) {
            const std::vector<uint8_t> r = Record(length);
            all.insert(all.end(), r.begin(), r.end());
        }
        stash.Put(all.data(), all.size());
        std::vector<uint8_t> taken;
        for (size_t i = 0; i < c.reads.size(); ++i) {
            std::vector<uint8_t> out(c.reads[i]);
            const size_t n = stash.Take(out.data(), out.size());
            EXPECT_EQ(n, c.got[i]) << "read " << i;
            taken.insert(taken.end(), out.begin(), out.begin() + static_cast<long>(n));
        }
        EXPECT_EQ(taken, std::vector<uint8_t>(all.begin(), all.begin() + taken.size()));
    }
}

TEST(RecordStash, HasRoomWhileAWholeQueueStillFits) {
    RecordStash stash(3 * kRecordQueueSize);
    const std::vector<uint8_t> r = Record(kMaxRecordData);  // 4095 bytes
    stash.Put(r.data(), r.size());
    stash.Put(r.data(), r.size());
    EXPECT_TRUE(stash.HasRoom());
    stash.Put(r.data(), r.size());
    EXPECT_FALSE(stash.HasRoom());
    std::vector<uint8_t> out(kRecordQueueSize);
    EXPECT_EQ(stash.Take(out.data(), out.size()), r.size());
    EXPECT_TRUE(stash.HasRoom());
}

}  // namespace
}  // namespace sievra
