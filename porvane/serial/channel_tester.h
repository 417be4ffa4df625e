#pragma once

#include <cstdint>

namespace porvane::serial {

// The six words the line tester hands to a channel at once.
struct TestSettings {
    uint32_t running = 0;  // 1: generate on every transmit-empty and check what arrives
    uint32_t bits_per_character = 8;
    uint32_t pattern_kind = 0;
    uint32_t error_insert_mode = 0;
    uint32_t user_pattern = 0;  // low 16 bits
    uint32_t single_error = 0;  // 1: put one error into the next generated character
};

// The line tester's pattern generator and checker as the channel's event thread drives them.
// Every call is made under the channel's tester lock, never while a notification is in flight.
class ChannelTester {
  public:
    virtual ~ChannelTester() = default;

    // A new set of test settings has been handed over.
    virtual void OnTestSettings(const TestSettings& settings) = 0;

    // The port was opened: start the receive tally afresh.
    virtual void OnPortOpened() = 0;

    // Fills block with the next pattern characters; returns how many (at most capacity).
    virtual uint32_t GenerateBlock(uint8_t* block, uint32_t capacity) = 0;

    // Checks received characters against the expected pattern.
    virtual void CheckReceived(const uint8_t* bytes, uint32_t count) = 0;
};

}  // namespace porvane::serial
