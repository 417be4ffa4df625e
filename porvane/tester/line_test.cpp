#include "porvane/tester/line_test.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "porvane/tester/pattern_step.h"

namespace porvane::tester {
namespace {

constexpr int32_t kThreshold[] = {0, 10000, 1000, 0};

// Eight characters of 8 bits at once for the pseudo-random kinds: the next 64 pattern bits are
// an affine function of the 16-bit register (as long as the register is not in a lock-up state,
// which a running pattern never reaches), looked up byte by byte. Character k of the eight sits
// in byte k, as eight received bytes read from memory do.
struct EightCharacterTables {
    uint64_t low[256];
    uint64_t high[256];
    uint64_t constant;
};

uint64_t EightCharacters(uint32_t kind, uint16_t reg, bool affine) {
    uint32_t r = reg;
    uint64_t out = 0;
    for (int c = 0; c < 8; ++c) {
        for (int b = 0; b < 8; ++b) {
            uint32_t f;
            if (kind == kPrbs15) {
                f = ((r >> 14) ^ (r >> 13)) & 1u;
                if (affine)
                    f ^= 1u;
            } else if (kind == kPrbs11) {
                f = ((r >> 10) ^ (r >> 8)) & 1u;
            } else {
                f = ((r >> 8) ^ (r >> 4)) & 1u;
            }
            r = ((r << 1) | f) & 0xFFFF;
        }
        out |= static_cast<uint64_t>(r & 0xFF) << (8 * c);
    }
    return out;
}

EightCharacterTables BuildTables(uint32_t kind) {
    EightCharacterTables t{};
    uint64_t basis[16];
    for (int b = 0; b < 16; ++b)
        basis[b] = EightCharacters(kind, static_cast<uint16_t>(1u << b), false);
    for (uint32_t v = 0; v < 256; ++v) {
        for (int b = 0; b < 8; ++b) {
            if (v & (1u << b)) {
                t.low[v] ^= basis[b];
                t.high[v] ^= basis[b + 8];
            }
        }
    }
    t.constant = EightCharacters(kind, 0, true);
    return t;
}

const EightCharacterTables& TablesFor(uint32_t kind) {
    static const EightCharacterTables kTables[3] = {BuildTables(kPrbs15), BuildTables(kPrbs11),
                                                    BuildTables(kPrbs9)};
    return kTables[kind];
}

bool LockedUp(uint32_t kind, uint32_t r) {
    switch (kind) {
        case kPrbs15:
            return (r & 0x7FFF) == 0x7FFF;
        case kPrbs11:
            return (r & 0x7FF) == 0;
        default:
            return (r & 0x1FF) == 0;
    }
}

template <uint32_t Kind, uint32_t N>
void CheckRun(ReceiveTally& t, const uint8_t* bytes, uint32_t count) {
    constexpr uint32_t kMask = (1u << N) - 1;
    uint16_t reg = static_cast<uint16_t>(t.receive_register);
    uint32_t errors = 0;
    uint32_t i = 0;
    static_assert(std::endian::native == std::endian::little,
                  "eight received bytes are read as one word");
    if constexpr (N == 8 && Kind != kUserPattern) {
        const EightCharacterTables& tables = TablesFor(Kind);
        while (count - i >= 8) {
            if (LockedUp(Kind, reg)) {
                reg = PatternStep(N, Kind, reg);
                errors += static_cast<uint32_t>(
                    std::popcount(static_cast<uint32_t>((reg ^ bytes[i]) & kMask)));
                ++i;
                continue;
            }
            const uint64_t expected =
                tables.low[reg & 0xFF] ^ tables.high[reg >> 8] ^ tables.constant;
            uint64_t received;
            std::memcpy(&received, bytes + i, sizeof received);
            errors += static_cast<uint32_t>(std::popcount(expected ^ received));
            reg = static_cast<uint16_t>(((expected >> 40) & 0xFF00) | (expected >> 56));
            i += 8;
        }
    }
    for (; i < count; ++i) {
        reg = PatternStep(N, Kind, reg);
        errors +=
            static_cast<uint32_t>(std::popcount((static_cast<uint32_t>(reg) ^ bytes[i]) & kMask));
    }
    t.receive_register = reg;
    t.bit_errors += errors;
}

template <uint32_t Kind>
void CheckRunForKind(uint32_t n, ReceiveTally& t, const uint8_t* bytes, uint32_t count) {
    switch (n) {
        case 5:
            return CheckRun<Kind, 5>(t, bytes, count);
        case 6:
            return CheckRun<Kind, 6>(t, bytes, count);
        case 7:
            return CheckRun<Kind, 7>(t, bytes, count);
        default:
            return CheckRun<Kind, 8>(t, bytes, count);
    }
}

uint32_t BitsPerCharacter(const TestSettings& s) {
    return s.bits_per_character >= 5 && s.bits_per_character <= 8 ? s.bits_per_character : 8;
}

}  // namespace

void PrbsGenerator::Generate(TestSettings& settings, uint8_t* block, uint32_t count) {
    const uint32_t n = BitsPerCharacter(settings);
    const uint32_t mode = settings.error_insert_mode <= 3 ? settings.error_insert_mode : 0;
    for (uint32_t i = 0; i < count; ++i) {
        register_ = PatternStep(n, settings.pattern_kind, register_);
        uint8_t c = static_cast<uint8_t>(register_ & 0xFF);
        // Without periodic insertion the counter would grow for ever (and overflow in a long
        // test); past the largest threshold its value no longer matters, so it stops there.
        if (insertion_counter_ <= kThreshold[1])
            insertion_counter_ += static_cast<int32_t>(n);
        const bool periodic = (mode == 1 || mode == 2) && insertion_counter_ > kThreshold[mode];
        if (periodic || settings.single_error != 0) {
            settings.single_error = 0;
            insertion_counter_ = 0;
            c ^= 0x01;  // the first data bit on the line; the register stays right
        }
        block[i] = c;
    }
}

void CheckPattern(const TestSettings& settings, ReceiveTally& t, const uint8_t* bytes,
                  uint32_t count) {
    const uint32_t n = BitsPerCharacter(settings);
    t.bits += count * n;
    t.characters += count;
    uint32_t i = 0;
    while (t.sync_counter > 0 && i < count) {
        t.receive_register = ((t.receive_register << n) | (bytes[i] & ((1u << n) - 1))) & 0xFFFF;
        ++i;
        if (++t.sync_counter > 3)
            t.sync_counter = 0;
    }
    switch (settings.pattern_kind) {
        case kPrbs15:
            return CheckRunForKind<kPrbs15>(n, t, bytes + i, count - i);
        case kPrbs11:
            return CheckRunForKind<kPrbs11>(n, t, bytes + i, count - i);
        case kPrbs9:
            return CheckRunForKind<kPrbs9>(n, t, bytes + i, count - i);
        default:
            return CheckRunForKind<kUserPattern>(n, t, bytes + i, count - i);
    }
}

void LineTest::OnTestSettings(const TestSettings& settings) {
    settings_ = settings;
    if (settings_.single_error == 0 && settings_.pattern_kind == kUserPattern) {
        generator_.LoadRegister(static_cast<uint16_t>(settings_.user_pattern & 0xFFFF));
    }
}

uint32_t LineTest::GenerateBlock(uint8_t* block, uint32_t capacity) {
    generator_.Generate(settings_, block, capacity);
    return capacity;
}

void LineTest::CheckReceived(const uint8_t* bytes, uint32_t count) {
    CheckPattern(settings_, tally_, bytes, count);
}

ReceiveTally LineTest::FetchTally() {
    const ReceiveTally copy = tally_;
    tally_.bits = 0;
    tally_.bit_errors = 0;
    tally_.characters = 0;
    tally_.sync_counter = 0;
    return copy;
}

bool LineTest::LostSynchronisation(const ReceiveTally& t) {
    // errors / bits > 1/10, compared exactly: a tenth itself is not a loss.
    return t.bits > 0 && uint64_t{t.bit_errors} * 10 > uint64_t{t.bits};
}

ReceiveTally LineTest::FetchTallyAndResynchroniseOnLoss() {
    const ReceiveTally copy = FetchTally();
    if (LostSynchronisation(copy)) {
        Resynchronise();
    }
    return copy;
}

uint16_t ReadUserPattern(const std::string& typed, std::string* corrected) {
    // Up to 18 characters are read and kept in the edit; only the first 16 make the value.
    std::string read = typed.substr(0, 18);
    uint16_t value = 0;
    for (size_t i = 0; i < std::min<size_t>(read.size(), 16); ++i) {
        if (read[i] != '1' && read[i] != '0')
            read[i] = '0';
        if (read[i] == '1')
            value |= static_cast<uint16_t>(1u << (15 - i));
    }
    if (corrected != nullptr)
        *corrected = read;
    return value;
}

}  // namespace porvane::tester
