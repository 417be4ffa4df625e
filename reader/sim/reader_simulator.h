#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "reader/sim/mifare_card.h"

namespace reader::sim {

// What the simulated reader does wrong on request.
struct SimulatorFaults {
    bool never_acknowledge = false;  // ignore the host's 0x20
    int bad_check_replies = 0;       // the first k replies carry a wrong check byte
    std::optional<uint8_t> status;   // answer every command with this status and no data
    size_t burst_size = 0;           // send replies in bursts of this many bytes (0: at once)
    int burst_gap_ms = 20;           // pause between bursts
    int reply_delay_ms = 0;          // wait before announcing a reply
};

// The reader side of the frame protocol with one MIFARE Classic 1K card in its field. Handle
// runs one command; Serve speaks the protocol on a terminal's master side.
class ReaderSimulator {
  public:
    struct Reply {
        uint8_t status = kStatusOk;
        std::vector<uint8_t> data;
    };

    explicit ReaderSimulator(SimulatorFaults faults = {},
                             std::array<uint8_t, 4> serial = {0x3A, 0x7C, 0x91, 0x05});

    // One command with its request data, as the reader would carry it out: an unknown command
    // gets kStatusUnknownCommand, data of the wrong length kStatusBadParameter.
    Reply Handle(uint8_t command, std::span<const uint8_t> data);

    // Serves requests on fd until stop_fd becomes readable or fd hangs up.
    void Serve(int fd, int stop_fd);

    // Every request frame received so far, whole, in order (also those with a bad check byte).
    std::vector<std::vector<uint8_t>> requests() const;
    const MifareClassicCard& card() const { return card_; }

  private:
    using Data = std::span<const uint8_t>;
    struct CommandEntry;
    // The entry of a command byte, or null for a command this reader does not know.
    static const CommandEntry* FindCommand(uint8_t command);

    // One handler per command; the data length has been checked against the command's entry.
    Reply Request(Data d);
    Reply Anticoll(Data d);
    Reply CascAnticoll(Data d);
    Reply Select(Data d);
    Reply CascSelect(Data d);
    Reply GetCardSnr(Data d);
    Reply ReadAddt(Data d);
    Reply Halt(Data d);
    Reply Auth(Data d);
    Reply Auth2(Data d);
    Reply AuthKey(Data d);
    Reply LoadKey(Data d);
    Reply AutoDetect(Data d);
    Reply Read(Data d);
    Reply Write(Data d);
    Reply UlWrite(Data d);
    Reply ReadAuth(Data d);
    Reply WriteAuth(Data d);
    Reply Increment(Data d);
    Reply Decrement(Data d);
    Reply Restore(Data d);
    Reply Transfer(Data d);
    Reply Value(Data d);
    Reply WriteValueAuth(Data d);
    Reply ValueAuth(Data d);
    Reply Reset(Data d);
    Reply Acknowledge(Data d);  // commands the simulated reader only acknowledges
    Reply GetInfo(Data d);
    Reply SetControlBit(Data d);
    Reply ClrControlBit(Data d);
    Reply ReadE2(Data d);
    Reply WriteE2(Data d);

    // Steps the handlers share.
    Reply Selected(uint8_t status, std::vector<uint8_t> data = {}) const;
    Reply AuthenticateWithSlot(uint8_t key_type, uint8_t slot, uint8_t block);
    std::optional<Key> StoredKey(uint8_t key_type, uint8_t slot) const;
    Reply SelectCard(uint8_t mode);
    Reply CardSerial() const;
    std::vector<uint8_t> TypeAnswerSerial() const;
    Reply SelectSerial(Data serial);
    Reply ReadBlock(uint8_t block) const;
    Reply WriteBlock(uint8_t block, Data bytes);

    SimulatorFaults faults_;
    MifareClassicCard card_;
    std::array<std::array<Key, 16>, 2> key_store_;  // [key A/B][slot]
    std::array<uint8_t, 256> eeprom_{};
    bool control_bit_ = false;
    mutable std::mutex log_mutex_;  // guards requests_
    std::vector<std::vector<uint8_t>> requests_;
};

}  // namespace reader::sim
