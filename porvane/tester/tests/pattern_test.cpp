#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "porvane/tester/line_test.h"
#include "porvane/tester/pattern_step.h"

namespace porvane::tester {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Generate(uint32_t kind, uint32_t n, size_t count, uint16_t start = 0, uint32_t mode = 0) {
    PrbsGenerator generator;
    generator.LoadRegister(start);
    TestSettings s;
    s.running = 1;
    s.bits_per_character = n;
    s.pattern_kind = kind;
    s.error_insert_mode = mode;
    Bytes out(count);
    generator.Generate(s, out.data(), static_cast<uint32_t>(count));
    return out;
}

TEST(PatternStep, CheckValuesOfTheFourKinds) {
    EXPECT_EQ(Generate(kPrbs15, 8, 8), (Bytes{0xFF, 0xFD, 0xFF, 0xF3, 0xFF, 0xD7, 0xFF, 0x0F}));
    EXPECT_EQ(Generate(kPrbs11, 8, 8), (Bytes{0x80, 0x50, 0x22, 0x15, 0x48, 0x0D, 0x07, 0x23}));
    EXPECT_EQ(Generate(kPrbs9, 8, 8), (Bytes{0x84, 0x61, 0x39, 0x56, 0x1B, 0xD3, 0x72, 0x28}));
    EXPECT_EQ(Generate(kUserPattern, 8, 4, 0x1234), (Bytes{0x12, 0x34, 0x12, 0x34}));
    EXPECT_EQ(Generate(kUserPattern, 8, 3, 0xAAAA), (Bytes{0xAA, 0xAA, 0xAA}));
}

TEST(PatternStep, FastFormAgreesWithTheBitwiseRulesEverywhere) {
    for (uint32_t kind = 0; kind < 4; ++kind) {
        for (uint32_t n = 5; n <= 8; ++n) {
            for (uint32_t r = 0; r < 0x10000; ++r) {
                ASSERT_EQ(PatternStep(n, kind, static_cast<uint16_t>(r)),
                          PatternStepBitwise(n, kind, static_cast<uint16_t>(r)))
                    << "kind " << kind << " n " << n << " register " << r;
            }
        }
    }
}

TEST(PatternStep, LockUpGuardsLeaveTheLockedState) {
    // Kind 0 from all ones continues with a 0 bit.
    EXPECT_EQ(PatternStepBitwise(1, kPrbs15, 0x7FFF) & 1, 0);
    EXPECT_EQ(PatternStepBitwise(1, kPrbs11, 0xF800) & 1, 1);  // low 11 bits zero
    EXPECT_EQ(PatternStepBitwise(1, kPrbs9, 0xFE00) & 1, 1);   // low 9 bits zero
}

TEST(PatternStep, FullPeriods) {
    struct Row {
        uint32_t kind;
        uint16_t mask;
        uint32_t period;
    };
    for (Row row :
         {Row{kPrbs15, 0x7FFF, 32767}, Row{kPrbs11, 0x7FF, 2047}, Row{kPrbs9, 0x1FF, 511}}) {
        SCOPED_TRACE(row.period);
        uint16_t start = PatternStep(1, row.kind, 0x7FFF);  // out of any locked state
        uint16_t r = start;
        uint32_t steps = 0;
        do {
            r = PatternStep(1, row.kind, r);
            ++steps;
        } while ((r & row.mask) != (start & row.mask) && steps < 70000);
        EXPECT_EQ(steps, row.period);
    }
}

std::vector<size_t> CorruptedPositions(uint32_t mode, uint32_t n, size_t count) {
    const Bytes clean = Generate(kPrbs15, n, count);
    const Bytes dirty = Generate(kPrbs15, n, count, 0, mode);
    std::vector<size_t> positions;
    for (size_t i = 0; i < count; ++i) {
        if (clean[i] != dirty[i]) {
            EXPECT_EQ(clean[i] ^ dirty[i], 0x01);
            positions.push_back(i + 1);  // 1-based character number
        }
    }
    return positions;
}

TEST(PrbsGenerator, InsertionSpacing) {
    EXPECT_EQ(CorruptedPositions(kInsert1In10000, 8, 2600), (std::vector<size_t>{1251, 2502}));
    EXPECT_EQ(CorruptedPositions(kInsert1In1000, 8, 260), (std::vector<size_t>{126, 252}));
    EXPECT_EQ(CorruptedPositions(kInsert1In10000, 7, 2900), (std::vector<size_t>{1429, 2858}));
    EXPECT_EQ(CorruptedPositions(kInsert1In1000, 7, 290), (std::vector<size_t>{143, 286}));
}

TEST(PrbsGenerator, CounterGrowsInEveryModeAndSingleRequestsAreConsumed) {
    PrbsGenerator generator;
    TestSettings s;
    s.bits_per_character = 8;
    s.pattern_kind = kPrbs15;
    s.error_insert_mode = kInsertNone;
    Bytes block(200);
    generator.Generate(s, block.data(), 200);  // 1600 bits, no insertion
    EXPECT_EQ(generator.insertion_counter(), 1600);
    Bytes long_run(100000);
    for (int i = 0; i < 3; ++i)  // a long test without insertion: the counter stays bounded
        generator.Generate(s, long_run.data(), static_cast<uint32_t>(long_run.size()));
    EXPECT_GT(generator.insertion_counter(), 10000);
    EXPECT_LE(generator.insertion_counter(), 10008);
    s.error_insert_mode = kInsert1In1000;
    const uint16_t before = generator.transmit_register();
    generator.Generate(s, block.data(), 1);  // beyond the threshold: the very next character
    EXPECT_EQ(generator.insertion_counter(), 0);
    EXPECT_EQ(block[0], (PatternStep(8, kPrbs15, before) & 0xFF) ^ 0x01);
    s.error_insert_mode = kInsertSingle;
    s.single_error = 1;
    generator.Generate(s, block.data(), 2);
    EXPECT_EQ(s.single_error, 0u);
}

TEST(LineTest, UserPatternLoadsOnHandOverButNotWithASingleErrorRequest) {
    LineTest test;
    TestSettings s;
    s.bits_per_character = 8;
    s.pattern_kind = kUserPattern;
    s.user_pattern = 0x1234;
    test.OnTestSettings(s);
    Bytes block(3);
    test.GenerateBlock(block.data(), 3);
    EXPECT_EQ(block, (Bytes{0x12, 0x34, 0x12}));
    s.single_error = 1;
    test.OnTestSettings(s);  // keeps the phase
    test.GenerateBlock(block.data(), 2);
    EXPECT_EQ(block[0], 0x35);  // 0x34 with its first bit inverted: the pattern kept its phase
    EXPECT_EQ(block[1], 0x12);
}

TEST(ReadUserPattern, TheEditRules) {
    std::string corrected;
    EXPECT_EQ(ReadUserPattern("1021", &corrected), 0x9000);
    EXPECT_EQ(corrected, "1001");
    EXPECT_EQ(ReadUserPattern("1", &corrected), 0x8000);
    EXPECT_EQ(ReadUserPattern("", &corrected), 0);
    EXPECT_EQ(ReadUserPattern("1010101010101010", &corrected), 0xAAAA);
    EXPECT_EQ(ReadUserPattern("00000000000000011111", &corrected), 0x0001);
    EXPECT_EQ(corrected, "000000000000000111");  // 18 read, the last two not part of the value
    EXPECT_EQ(ReadUserPattern("2000000000000000129", &corrected), 0x0000);
    EXPECT_EQ(corrected, "000000000000000012");
}

class CheckerTest : public ::testing::Test {
  protected:
    CheckerTest() {
        settings_.bits_per_character = 8;
        settings_.pattern_kind = kPrbs15;
    }
    TestSettings settings_;
    ReceiveTally tally_;
};

TEST_F(CheckerTest, UnsynchronisedThenLoadsThreeCharactersAndChecksClean) {
    const Bytes line = Generate(kPrbs15, 8, 3000, 0x1357);
    CheckPattern(settings_, tally_, line.data(), 1000);  // register 0x5555: out of phase
    EXPECT_GT(static_cast<double>(tally_.bit_errors) / tally_.bits, 0.1);
    tally_ = ReceiveTally{0, 0, tally_.receive_register, 0, 1};  // fetched, resynchronisation asked
    CheckPattern(settings_, tally_, line.data() + 1000, 1);      // loading spans blocks
    CheckPattern(settings_, tally_, line.data() + 1001, 2);
    EXPECT_EQ(tally_.sync_counter, 0u);
    CheckPattern(settings_, tally_, line.data() + 1003, 1997);
    EXPECT_EQ(tally_.bit_errors, 0u);
    EXPECT_EQ(tally_.bits, 2000u * 8);
    EXPECT_EQ(tally_.characters, 2000u);
}

TEST_F(CheckerTest, ACorruptedCharacterCostsItsOwnBitsOnly) {
    Bytes line = Generate(kPrbs15, 8, 100, 0x0F0F);
    tally_.sync_counter = 1;
    line[50] ^= 0x81;
    CheckPattern(settings_, tally_, line.data(), 100);
    EXPECT_EQ(tally_.bit_errors, 2u);
}

TEST_F(CheckerTest, FiveBitCharactersResynchroniseEveryPrbsKind) {
    for (uint32_t kind : {kPrbs15, kPrbs11, kPrbs9}) {
        SCOPED_TRACE(kind);
        settings_.bits_per_character = 5;
        settings_.pattern_kind = kind;
        const Bytes line = Generate(kind, 5, 500, 0x2468);
        ReceiveTally t;
        t.sync_counter = 1;
        CheckPattern(settings_, t, line.data(), 500);
        EXPECT_EQ(t.bit_errors, 0u);
    }
}

TEST(CheckPattern, AgreesWithACharacterByCharacterReferenceOnAnyBytes) {
    std::mt19937 gen(99);
    for (uint32_t kind = 0; kind < 4; ++kind) {
        for (uint32_t n = 5; n <= 8; ++n) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " n " << n);
            TestSettings s;
            s.bits_per_character = n;
            s.pattern_kind = kind;
            for (int round = 0; round < 20; ++round) {
                Bytes data(gen() % 300);
                for (uint8_t& b : data)
                    b = static_cast<uint8_t>(gen());
                // Now and then a run of the real pattern, so that both paths see clean data too.
                if (round % 2 == 0 && data.size() > 10) {
                    const Bytes clean =
                        Generate(kind, n, data.size(), static_cast<uint16_t>(gen()));
                    std::copy(clean.begin(), clean.end(), data.begin());
                }
                ReceiveTally t;
                t.receive_register =
                    round % 5 == 0 ? (kind == 0 ? 0x7FFFu : 0u) : gen() & 0xFFFF;  // locked too
                uint16_t reg = static_cast<uint16_t>(t.receive_register);
                uint32_t expected = 0;
                for (uint8_t c : data) {
                    reg = PatternStepBitwise(n, kind, reg);
                    expected +=
                        static_cast<uint32_t>(__builtin_popcount((reg ^ c) & ((1u << n) - 1)));
                }
                CheckPattern(s, t, data.data(), static_cast<uint32_t>(data.size()));
                ASSERT_EQ(t.bit_errors, expected);
                ASSERT_EQ(t.receive_register, reg);
            }
        }
    }
}

TEST(LineTestFetch, CopiesAndClearsButKeepsTheRegister) {
    LineTest test;
    TestSettings s;
    s.bits_per_character = 8;
    test.OnTestSettings(s);
    const Bytes line = Generate(kPrbs15, 8, 10);
    test.CheckReceived(line.data(), 10);
    ReceiveTally first = test.FetchTally();
    EXPECT_EQ(first.characters, 10u);
    ReceiveTally second = test.FetchTally();
    EXPECT_EQ(second.characters, 0u);
    EXPECT_EQ(second.receive_register, first.receive_register);
    test.Resynchronise();
    EXPECT_EQ(test.FetchTally().sync_counter, 1u);
}

TEST(LineTestFetch, AnOutOfPhaseSecondAsksForResynchronisationInTheSameStep) {
    LineTest test;
    TestSettings s;
    s.bits_per_character = 8;
    test.OnTestSettings(s);
    const Bytes line = Generate(kPrbs15, 8, 2000, 0x0101);
    test.CheckReceived(line.data(), 1000);  // register 0x5555: out of phase
    EXPECT_TRUE(LineTest::LostSynchronisation(test.FetchTallyAndResynchroniseOnLoss()));
    test.CheckReceived(line.data() + 1000, 1000);  // loads three characters, then all right
    const ReceiveTally next = test.FetchTallyAndResynchroniseOnLoss();
    EXPECT_EQ(next.bit_errors, 0u);
    EXPECT_EQ(next.sync_counter, 0u);
}

}  // namespace
}  // namespace porvane::tester
