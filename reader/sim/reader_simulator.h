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

    // One command with its request data, as the reader would carry it out.
    Reply Handle(uint8_t command, std::span<const uint8_t> data);

    // Serves requests on fd until stop_fd becomes readable or fd hangs up.
    void Serve(int fd, int stop_fd);

    // Every request frame received so far, whole, in order (also those with a bad check byte).
    std::vector<std::vector<uint8_t>> requests() const;
    const MifareClassicCard& card() const { return card_; }

  private:
    Reply Selected(uint8_t status, std::vector<uint8_t> data = {}) const;
    Reply AuthenticateWithSlot(uint8_t key_type, uint8_t slot, uint8_t block);
    std::optional<Key> StoredKey(uint8_t key_type, uint8_t slot) const;
    Reply SelectCard(uint8_t mode);

    SimulatorFaults faults_;
    MifareClassicCard card_;
    std::array<std::array<Key, 16>, 2> key_store_;  // [key A/B][slot]
    std::array<uint8_t, 256> eeprom_{};
    bool control_bit_ = false;
    mutable std::mutex log_mutex_;  // guards requests_
    std::vector<std::vector<uint8_t>> requests_;
};

}  // namespace reader::sim
