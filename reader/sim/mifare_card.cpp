#include "reader/sim/mifare_card.h"

#include <algorithm>

namespace reader::sim {
namespace {

Block ValueBlock(int32_t value, uint8_t address) {
    Block b{};
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        b[i] = static_cast<uint8_t>(v >> (8 * i));
        b[4 + i] = static_cast<uint8_t>(~b[i]);
        b[8 + i] = b[i];
    }
    b[12] = address;
    b[13] = static_cast<uint8_t>(~address);
    b[14] = address;
    b[15] = static_cast<uint8_t>(~address);
    return b;
}

}  // namespace

MifareClassicCard::MifareClassicCard(std::array<uint8_t, 4> serial) : serial_(serial) {
    Block& manufacturer = blocks_[0];
    std::copy(serial.begin(), serial.end(), manufacturer.begin());
    manufacturer[4] = serial[0] ^ serial[1] ^ serial[2] ^ serial[3];
    manufacturer[5] = kSak;
    manufacturer[6] = static_cast<uint8_t>(kAtqa);
    manufacturer[7] = static_cast<uint8_t>(kAtqa >> 8);
    for (int sector = 0; sector < 16; ++sector) {
        Block& trailer = blocks_[sector * 4 + 3];
        std::fill(trailer.begin(), trailer.begin() + 6, 0xFF);
        trailer[6] = 0xFF;
        trailer[7] = 0x07;
        trailer[8] = 0x80;
        trailer[9] = 0x69;
        std::fill(trailer.begin() + 10, trailer.end(), 0xFF);
    }
    blocks_[4] = ValueBlock(100, 4);  // a purse with 100 in it
}

bool MifareClassicCard::Request(uint8_t mode) {
    const bool wakes = state_ != State::kHalted || mode == 0x52;
    if (!wakes) {
        return false;
    }
    state_ = State::kReady;
    authenticated_sector_.reset();
    return true;
}

bool MifareClassicCard::Select(const std::array<uint8_t, 4>& serial) {
    if (!Anticollision() || serial != serial_) {
        return false;
    }
    state_ = State::kActive;
    return true;
}

void MifareClassicCard::Halt() {
    state_ = State::kHalted;
    authenticated_sector_.reset();
}

void MifareClassicCard::FieldReset() {
    state_ = State::kIdle;
    authenticated_sector_.reset();
    transfer_register_.reset();
}

uint8_t MifareClassicCard::Authenticate(int key_type, uint8_t block, const Key& key) {
    if (state_ != State::kActive) {
        return kStatusNoCard;
    }
    if (block >= kBlocks) {
        return kStatusBadParameter;
    }
    const Block& trailer = blocks_[block / 4 * 4 + 3];
    const uint8_t* stored = trailer.data() + (key_type == 0 ? 0 : 10);
    if (!std::equal(key.begin(), key.end(), stored)) {
        authenticated_sector_.reset();
        return kStatusAuthFailed;
    }
    authenticated_sector_ = block / 4;
    return kStatusOk;
}

uint8_t MifareClassicCard::CheckAccess(uint8_t block) const {
    if (state_ != State::kActive) {
        return kStatusNoCard;
    }
    if (block >= kBlocks) {
        return kStatusBadParameter;
    }
    if (authenticated_sector_ != block / 4) {
        return kStatusAccessDenied;
    }
    return kStatusOk;
}

uint8_t MifareClassicCard::Read(uint8_t block, Block& out) const {
    if (uint8_t status = CheckAccess(block); status != kStatusOk) {
        return status;
    }
    out = blocks_[block];
    if (IsTrailer(block)) {
        std::fill(out.begin(), out.begin() + 6, 0x00);  // key A never reads back
    }
    return kStatusOk;
}

uint8_t MifareClassicCard::Write(uint8_t block, const Block& data) {
    if (uint8_t status = CheckAccess(block); status != kStatusOk) {
        return status;
    }
    if (block == 0) {
        return kStatusAccessDenied;  // the manufacturer block is read-only
    }
    blocks_[block] = data;
    return kStatusOk;
}

uint8_t MifareClassicCard::ReadValue(uint8_t block, int32_t& value) const {
    if (uint8_t status = CheckAccess(block); status != kStatusOk) {
        return status;
    }
    const Block& b = blocks_[block];
    if (IsTrailer(block) || block == 0) {
        return kStatusValueFormat;
    }
    for (int i = 0; i < 4; ++i) {
        if (b[i] != b[8 + i] || b[i] != static_cast<uint8_t>(~b[4 + i])) {
            return kStatusValueFormat;
        }
    }
    value = static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
    return kStatusOk;
}

uint8_t MifareClassicCard::WriteValue(uint8_t block, int32_t value) {
    if (IsTrailer(block)) {
        return kStatusAccessDenied;
    }
    return Write(block, ValueBlock(value, block));
}

uint8_t MifareClassicCard::ValueOperation(uint8_t op, uint8_t block, int32_t operand) {
    int32_t value = 0;
    if (uint8_t status = ReadValue(block, value); status != kStatusOk) {
        return status;
    }
    int64_t result = value;
    switch (op) {
        case 0xC1:
            result += operand;
            break;
        case 0xC0:
            result -= operand;
            break;
        case 0xC2:
            break;
        default:
            return kStatusBadParameter;
    }
    if (result > INT32_MAX || result < INT32_MIN) {
        return kStatusValueFormat;
    }
    transfer_register_ = static_cast<int32_t>(result);
    return kStatusOk;
}

uint8_t MifareClassicCard::Transfer(uint8_t block) {
    if (uint8_t status = CheckAccess(block); status != kStatusOk) {
        return status;
    }
    if (!transfer_register_) {
        return kStatusValueFormat;
    }
    uint8_t status = WriteValue(block, *transfer_register_);
    transfer_register_.reset();
    return status;
}

}  // namespace reader::sim
