#pragma once

#include <cstdint>

namespace porvane::tester {

// Pattern kinds, as the "测试码型" list orders them.
enum PatternKind : uint32_t {
    kPrbs15 = 0,  // 2^15-1
    kPrbs11 = 1,  // 2^11-1
    kPrbs9 = 2,   // 2^9-1
    kUserPattern = 3,
};

// One character's worth of pattern: the 16-bit register advanced by n bits (n = bits per
// character, 5..8). Kinds 0-2 shift in n feedback bits (newest at bit 0) with a lock-up guard
// that leaves the all-ones (kind 0) or all-zeros (kinds 1, 2) state after one step; kind 3
// rotates the register left by n.
uint16_t PatternStep(uint32_t n, uint32_t kind, uint16_t reg);

// The same, one bit at a time exactly as the feedback rules read: the reference the fast form is
// checked against.
uint16_t PatternStepBitwise(uint32_t n, uint32_t kind, uint16_t reg);

}  // namespace porvane::tester
