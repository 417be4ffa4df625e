#pragma once

#include <cstdint>
#include <string>

#include "porvane/serial/channel_tester.h"

namespace porvane::tester {

using serial::TestSettings;

// Error insertion modes, as the "插入误码" list orders them.
enum ErrorInsertMode : uint32_t {
    kInsertNone = 0,
    kInsert1In10000 = 1,
    kInsert1In1000 = 2,
    kInsertSingle = 3
};

// The receive side's per-second counters, 20 bytes, copied out and cleared once a second.
struct ReceiveTally {
    uint32_t bits = 0;
    uint32_t bit_errors = 0;
    uint32_t receive_register = 0x5555;  // survives fetches
    uint32_t characters = 0;
    uint32_t sync_counter = 0;  // 0 checking, 1-3 loading the register
};
static_assert(sizeof(ReceiveTally) == 20);

// Produces the transmitted characters: the pattern, with a single wrong bit inserted every so
// many bits or on request. The register and the insertion counter live as long as the
// generator (the page's whole life), across closing and reopening the port.
class PrbsGenerator {
  public:
    // Fills block with count characters; consumes a single-error request in settings.
    void Generate(TestSettings& settings, uint8_t* block, uint32_t count);
    uint16_t transmit_register() const { return register_; }
    void LoadRegister(uint16_t value) { register_ = value; }
    int32_t insertion_counter() const { return insertion_counter_; }

  private:
    uint16_t register_ = 0;
    int32_t insertion_counter_ = 0;
};

// Compares received characters with the pattern, synchronising from received characters.
void CheckPattern(const TestSettings& settings, ReceiveTally& tally, const uint8_t* bytes,
                  uint32_t count);

// The line tester's state inside a serial channel: the settings copy the event thread reads,
// the generator and the tally. The channel calls it under its tester lock.
class LineTest : public serial::ChannelTester {
  public:
    void OnTestSettings(const TestSettings& settings) override;
    void OnPortOpened() override { tally_ = ReceiveTally{}; }
    uint32_t GenerateBlock(uint8_t* block, uint32_t capacity) override;
    void CheckReceived(const uint8_t* bytes, uint32_t count) override;

    // Copies the tally out and clears it (the register survives).
    ReceiveTally FetchTally();
    // The same, and when the fetched second lost synchronisation (more than one bit in ten
    // wrong) asks for resynchronisation at once: otherwise blocks checked between the fetch and
    // the page's later request would count out-of-phase errors into the next second.
    ReceiveTally FetchTallyAndResynchroniseOnLoss();
    static bool LostSynchronisation(const ReceiveTally& tally);
    void Resynchronise() { tally_.sync_counter = 1; }
    const PrbsGenerator& generator() const { return generator_; }
    const TestSettings& settings() const { return settings_; }

  private:
    TestSettings settings_;
    PrbsGenerator generator_;
    ReceiveTally tally_;
};

// The user pattern edit: reads up to 18 characters, turns anything but '0'/'1' among the first
// 16 into '0' (corrected, the 18 at most with those corrections, is the text the edit then
// shows), and reads position i of the first 16 as bit 15 - i.
uint16_t ReadUserPattern(const std::string& typed, std::string* corrected);

}  // namespace porvane::tester
