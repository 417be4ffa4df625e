#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace reader::sim {

// Status bytes the simulated reader answers with.
inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusNoCard = 0x01;
inline constexpr uint8_t kStatusAuthFailed = 0x04;
inline constexpr uint8_t kStatusAccessDenied =
    0x05;  // not authenticated for the block, or read-only
inline constexpr uint8_t kStatusValueFormat = 0x06;  // not a value block, or value out of range
inline constexpr uint8_t kStatusBadParameter = 0x07;
inline constexpr uint8_t kStatusUnknownCommand = 0x08;

using Block = std::array<uint8_t, 16>;
using Key = std::array<uint8_t, 6>;

// A MIFARE Classic 1K card in the field: 16 sectors of 4 blocks, block 0 the manufacturer block,
// the last block of each sector the trailer (key A, access bits, key B), all keys FF..FF at
// first. It follows the card's states: idle, ready after a request, active after select,
// halted after halt (answering only a request for all cards).
class MifareClassicCard {
  public:
    enum class State { kIdle, kReady, kActive, kHalted };
    static constexpr uint16_t kAtqa = 0x0004;
    static constexpr uint8_t kSak = 0x08;
    static constexpr int kBlocks = 64;

    explicit MifareClassicCard(std::array<uint8_t, 4> serial);

    const std::array<uint8_t, 4>& serial() const { return serial_; }
    State state() const { return state_; }

    // 0x26 wakes an idle card, 0x52 also a halted one. False: no card answers.
    bool Request(uint8_t mode);
    bool Anticollision() const { return state_ == State::kReady || state_ == State::kActive; }
    bool Select(const std::array<uint8_t, 4>& serial);
    void Halt();
    void FieldReset();  // the field switched off and on: the card starts idle

    // key_type 0 is key A, 1 key B. Authenticates the sector of block.
    uint8_t Authenticate(int key_type, uint8_t block, const Key& key);
    uint8_t Read(uint8_t block, Block& out) const;
    uint8_t Write(uint8_t block, const Block& data);

    // Value blocks: 4-byte value, its inverse, the value again, then address bytes.
    uint8_t ReadValue(uint8_t block, int32_t& value) const;
    uint8_t WriteValue(uint8_t block, int32_t value);
    // op 0xC1 increment, 0xC0 decrement, 0xC2 restore: into the transfer register.
    uint8_t ValueOperation(uint8_t op, uint8_t block, int32_t operand);
    uint8_t Transfer(uint8_t block);

    const Block& RawBlock(uint8_t block) const { return blocks_[block]; }

  private:
    static bool IsTrailer(uint8_t block) { return block % 4 == 3; }
    uint8_t CheckAccess(uint8_t block) const;

    std::array<uint8_t, 4> serial_;
    State state_ = State::kIdle;
    std::array<Block, kBlocks> blocks_{};
    std::optional<int> authenticated_sector_;
    std::optional<int32_t> transfer_register_;
};

}  // namespace reader::sim
