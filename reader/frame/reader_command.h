#pragma once

#include <array>
#include <cstdint>

namespace reader {

// The reader's command codes: the second byte of a request frame. One name per code, shared by
// the library that sends them and the simulator that carries them out.
enum class ReaderCommand : uint8_t {
    // Card selection.
    kRequest = 0x41,
    kAnticoll = 0x42,
    kAnticoll2 = 0x71,
    kSelect = 0x43,
    kCascAnticoll = 0x74,
    kCascSelect = 0x75,
    kGetCardSnr = 0x10,
    kReadAddt = 0x81,
    kHalt = 0x45,
    // Authentication and keys.
    kAuth = 0x44,
    kAuth2 = 0x72,
    kAuthKey = 0x73,
    kLoadKey = 0x4C,
    kAutoDetect = 0x80,
    // Block read and write.
    kRead = 0x46,
    kWrite = 0x47,
    kUlWrite = 0x76,
    kReadAuth = 0x12,  // also the read of a value block: the reply is the same 16 bytes
    kWriteAuth = 0x11,
    // Value operations.
    kIncrement = 0x48,
    kDecrement = 0x49,
    kRestore = 0x4A,
    kTransfer = 0x4B,
    kValue = 0x70,
    kWriteValueAuth = 0x13,
    kValueAuth = 0x14,
    // Reader housekeeping and EEPROM.
    kReset = 0x4E,
    kClose = 0x3F,
    kConfig = 0x52,
    kGetInfo = 0x4F,
    kSetControlBit = 0x50,
    kClrControlBit = 0x51,
    kBuzzer = 0x60,
    kReadE2 = 0x61,
    kWriteE2 = 0x62,
};

// Every command, once, in the order above.
inline constexpr std::array<ReaderCommand, 35> kReaderCommands = {
    ReaderCommand::kRequest,        ReaderCommand::kAnticoll,      ReaderCommand::kAnticoll2,
    ReaderCommand::kSelect,         ReaderCommand::kCascAnticoll,  ReaderCommand::kCascSelect,
    ReaderCommand::kGetCardSnr,     ReaderCommand::kReadAddt,      ReaderCommand::kHalt,
    ReaderCommand::kAuth,           ReaderCommand::kAuth2,         ReaderCommand::kAuthKey,
    ReaderCommand::kLoadKey,        ReaderCommand::kAutoDetect,    ReaderCommand::kRead,
    ReaderCommand::kWrite,          ReaderCommand::kUlWrite,       ReaderCommand::kReadAuth,
    ReaderCommand::kWriteAuth,      ReaderCommand::kIncrement,     ReaderCommand::kDecrement,
    ReaderCommand::kRestore,        ReaderCommand::kTransfer,      ReaderCommand::kValue,
    ReaderCommand::kWriteValueAuth, ReaderCommand::kValueAuth,     ReaderCommand::kReset,
    ReaderCommand::kClose,          ReaderCommand::kConfig,        ReaderCommand::kGetInfo,
    ReaderCommand::kSetControlBit,  ReaderCommand::kClrControlBit, ReaderCommand::kBuzzer,
    ReaderCommand::kReadE2,         ReaderCommand::kWriteE2,
};

inline constexpr uint8_t CommandByte(ReaderCommand command) {
    return static_cast<uint8_t>(command);
}

}  // namespace reader
