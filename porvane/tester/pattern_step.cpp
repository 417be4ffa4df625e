#include "porvane/tester/pattern_step.h"

namespace porvane::tester {
namespace {

uint32_t Bit(uint32_t r, int i) {
    return (r >> i) & 1u;
}

uint32_t FeedbackBit(uint32_t kind, uint32_t r) {
    switch (kind) {
        case kPrbs15:
            return (r & 0x7FFF) == 0x7FFF ? 0u : (~(Bit(r, 14) ^ Bit(r, 13)) & 1u);
        case kPrbs11:
            return (r & 0x7FF) == 0 ? 1u : (Bit(r, 10) ^ Bit(r, 8));
        default:
            return (r & 0x1FF) == 0 ? 1u : (Bit(r, 8) ^ Bit(r, 4));
    }
}

// k new bits at once, valid while every tap they read lies in the old register:
// new bit j (oldest first) = r[a - j] op r[b - j], placed at bit (k - 1 - j).
inline uint32_t ParallelBits(uint32_t r, int a, int b, int k, bool inverted) {
    const uint32_t mask = (1u << k) - 1;
    uint32_t bits = (r >> (a + 1 - k)) ^ (r >> (b + 1 - k));
    if (inverted)
        bits = ~bits;
    return bits & mask;
}

}  // namespace

uint16_t PatternStepBitwise(uint32_t n, uint32_t kind, uint16_t reg) {
    uint32_t r = reg;
    if (kind == kUserPattern) {
        return static_cast<uint16_t>((r << n | r >> (16 - n)) & 0xFFFF);
    }
    for (uint32_t i = 0; i < n; ++i) {
        r = ((r << 1) | FeedbackBit(kind, r)) & 0xFFFF;
    }
    return static_cast<uint16_t>(r);
}

uint16_t PatternStep(uint32_t n, uint32_t kind, uint16_t reg) {
    const uint32_t r = reg;
    const int k = static_cast<int>(n);
    switch (kind) {
        case kPrbs15:
            // Taps 14 and 13: every new bit of a character reads old bits; the guard state is
            // never reached again once left.
            if ((r & 0x7FFF) == 0x7FFF)
                break;
            return static_cast<uint16_t>(((r << k) | ParallelBits(r, 14, 13, k, true)) & 0xFFFF);
        case kPrbs11:
            if ((r & 0x7FF) == 0)
                break;
            return static_cast<uint16_t>(((r << k) | ParallelBits(r, 10, 8, k, false)) & 0xFFFF);
        case kPrbs9: {
            // Tap 4 reaches new bits after five steps: two rounds.
            if ((r & 0x1FF) == 0)
                break;
            const int first = k < 5 ? k : 5;
            uint32_t s = ((r << first) | ParallelBits(r, 8, 4, first, false)) & 0xFFFF;
            const int rest = k - first;
            if (rest > 0)
                s = ((s << rest) | ParallelBits(s, 8, 4, rest, false)) & 0xFFFF;
            return static_cast<uint16_t>(s);
        }
        default:
            return static_cast<uint16_t>((r << n | r >> (16 - n)) & 0xFFFF);
    }
    return PatternStepBitwise(n, kind, reg);
}

}  // namespace porvane::tester
