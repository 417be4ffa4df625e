// The library's exports: one template for the 36 card operations over the single reader port.
#include "quor_b.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "reader/frame/reader_command.h"
#include "reader/frame/reader_frame.h"
#include "reader/frame_exchange.h"
#include "reader/reader_port.h"

#define QUOR_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using reader::ReplyBuffer;
using Command = reader::ReaderCommand;

// The library's one port and the status of its last operation, alive from load to unload.
class ReaderLibrary {
  public:
    ~ReaderLibrary() {
        if (port.IsOpen()) {
            port.PurgeReceive();
        }
        port.Close();
    }

    // Sends one command. On status 0x00, read_reply copies the reply data to the caller; it
    // returns false when what it would copy runs past the reply buffer, and then nothing is
    // written and the result is 0xFF.
    template <class ReadReply>
    uint8_t Run(Command command, std::span<const uint8_t> data, ReadReply read_reply) {
        const std::vector<uint8_t> frame =
            reader::BuildReaderFrame(reader::CommandByte(command), data);
        ReplyBuffer reply;
        uint8_t status = reader::Transact(port, frame, reply);
        if (status == 0x00 && !read_reply(reply)) {
            status = reader::kNoReply;
        }
        last_status = status;
        return status;
    }

    uint8_t Run(Command command, std::span<const uint8_t> data) {
        return Run(command, data, [](const ReplyBuffer&) { return true; });
    }

    // A request that cannot be framed: refused without sending.
    uint8_t Refuse() {
        last_status = reader::kNoReply;
        return reader::kNoReply;
    }

    reader::ReaderPort port;
    uint8_t last_status = 0;
};

ReaderLibrary g_library;

// A value taken from the caller's pointer (0 for none).
std::array<uint8_t, 4> Le32(const int32_t* value) {
    return reader::Le32Bytes(value != nullptr ? static_cast<uint32_t>(*value) : 0u);
}

uint32_t ReadLe32(const ReplyBuffer& r, size_t first) {
    return reader::LoadLe32(r.data() + first);
}

uint16_t ReadLe16(const ReplyBuffer& r, size_t first) {
    return static_cast<uint16_t>(r.data(first) | r.data(first + 1) << 8);
}

// Request data assembled from pieces.
class Data {
  public:
    Data& Byte(uint8_t b) {
        bytes_.push_back(b);
        return *this;
    }
    Data& Bytes(const uint8_t* p, size_t n) {
        if (p != nullptr) {
            bytes_.insert(bytes_.end(), p, p + n);
        } else {
            bytes_.insert(bytes_.end(), n, 0);
        }
        return *this;
    }
    template <size_t N>
    Data& Bytes(const std::array<uint8_t, N>& a) {
        return Bytes(a.data(), N);
    }
    operator std::span<const uint8_t>() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

template <class T>
void Store(T* out, T value) {
    if (out != nullptr) {
        *out = value;
    }
}

void CopyOut(uint8_t* out, const ReplyBuffer& r, size_t first, size_t count) {
    if (out != nullptr) {
        std::memcpy(out, r.data() + first, count);
    }
}

}  // namespace

namespace reader {

// Replaces the library's port (closed) by one that opens through opener; for test harnesses
// that link the library's sources. Not exported.
void ReplacePortForTesting(ReaderPort port) {
    g_library.port.Close();
    g_library.port = std::move(port);
}

}  // namespace reader

// --- port housekeeping -----------------------------------------------------------------------

namespace {

// QUOR_B_TIMEOUT_SCALE (1 to 100) stretches every wait of the exchange, for links that answer
// late; anything else leaves the waits as they are.
uint32_t TimeoutScaleFromEnvironment() {
    const char* text = std::getenv("QUOR_B_TIMEOUT_SCALE");
    if (text == nullptr)
        return 1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != text && *end == '\0' && value >= 1 && value <= 100)
               ? static_cast<uint32_t>(value)
               : 1;
}

}  // namespace

QUOR_EXPORT int Quor_Init(int port, int baud) {
    if (g_library.port.IsOpen()) {
        g_library.last_status = 0;
        return -1;  // the open port stays as it is
    }
    g_library.port.SelectPort(port);
    g_library.port.SetBaud(baud);
    g_library.port.ScaleTimeouts(TimeoutScaleFromEnvironment());
    g_library.last_status = 0;
    return g_library.port.Open() ? 0 : -1;
}

QUOR_EXPORT int Quor_Exit(void) {
    g_library.last_status = 0;
    return g_library.port.Close() ? 1 : 0;
}

// --- card selection --------------------------------------------------------------------------

QUOR_EXPORT uint8_t Quor_Request(uint8_t mode, uint16_t* tagType) {
    return g_library.Run(Command::kRequest, Data().Byte(mode), [&](const ReplyBuffer& r) {
        Store(tagType, ReadLe16(r, 0));
        return true;
    });
}

QUOR_EXPORT uint8_t Quor_Anticoll(uint8_t p1, uint32_t* serial) {
    return g_library.Run(Command::kAnticoll, Data().Byte(p1), [&](const ReplyBuffer& r) {
        Store(serial, ReadLe32(r, 0));
        return true;
    });
}

QUOR_EXPORT uint8_t Quor_Anticoll2(uint8_t p1, uint8_t p2, uint32_t* serial) {
    return g_library.Run(Command::kAnticoll2, Data().Byte(p1).Byte(p2), [&](const ReplyBuffer& r) {
        Store(serial, ReadLe32(r, 0));
        return true;
    });
}

QUOR_EXPORT uint8_t Quor_Select(uint32_t serial, uint8_t* answer) {
    return g_library.Run(Command::kSelect, Data().Bytes(reader::Le32Bytes(serial)),
                         [&](const ReplyBuffer& r) {
                             Store(answer, r.data(0));
                             return true;
                         });
}

QUOR_EXPORT uint8_t Quor_Casc_Anticoll(uint8_t level, uint8_t p2, uint32_t* serial) {
    return g_library.Run(Command::kCascAnticoll, Data().Byte(level).Byte(p2),
                         [&](const ReplyBuffer& r) {
                             Store(serial, ReadLe32(r, 0));
                             return true;
                         });
}

QUOR_EXPORT uint8_t Quor_Casc_Select(uint8_t level, const uint8_t serial[4], uint8_t* answer) {
    return g_library.Run(Command::kCascSelect, Data().Byte(level).Bytes(serial, 4),
                         [&](const ReplyBuffer& r) {
                             Store(answer, r.data(0));
                             return true;
                         });
}

QUOR_EXPORT uint8_t Quor_Get_CardSnr(uint8_t mode, uint16_t* tagType, uint8_t* answer,
                                     uint8_t* serialLength, uint8_t* serial) {
    return g_library.Run(Command::kGetCardSnr, Data().Byte(mode), [&](const ReplyBuffer& r) {
        const size_t length = r.data(3);
        if (!ReplyBuffer::Holds(4, length)) {
            return false;
        }
        Store(tagType, ReadLe16(r, 0));
        Store(answer, r.data(2));
        Store(serialLength, r.data(3));
        CopyOut(serial, r, 4, length);
        return true;
    });
}

QUOR_EXPORT uint8_t Quor_ReadADDT(uint8_t p1, uint8_t* first, uint16_t* tagType, uint8_t* answer,
                                  uint8_t* serial, uint8_t* block) {
    return g_library.Run(Command::kReadAddt, Data().Byte(p1), [&](const ReplyBuffer& r) {
        const size_t length = r.data(4);
        if (!ReplyBuffer::Holds(5, length + (block != nullptr ? 16 : 0))) {
            return false;
        }
        Store(first, r.data(0));
        Store(tagType, static_cast<uint16_t>(r.data(1) | r.data(2) << 8));
        Store(answer, r.data(3));
        CopyOut(serial, r, 5, length);
        CopyOut(block, r, 5 + length, 16);
        return true;
    });
}

QUOR_EXPORT uint8_t Quor_Halt(void) {
    return g_library.Run(Command::kHalt, Data());
}

// --- authentication and keys -----------------------------------------------------------------

QUOR_EXPORT uint8_t Quor_Auth(uint8_t p1, uint8_t p2) {
    return g_library.Run(Command::kAuth, Data().Byte(p1).Byte(p2));
}

QUOR_EXPORT uint8_t Quor_Auth2(uint8_t p1, uint8_t p2, uint8_t p3) {
    return g_library.Run(Command::kAuth2, Data().Byte(p1).Byte(p2).Byte(p3));
}

QUOR_EXPORT uint8_t Quor_Auth_Key(uint8_t p1, uint8_t p2, const uint8_t key[6]) {
    return g_library.Run(Command::kAuthKey, Data().Byte(p1).Byte(p2).Bytes(key, 6));
}

QUOR_EXPORT uint8_t Quor_Load_Key(uint8_t p1, uint8_t p2, const uint8_t key[6]) {
    return g_library.Run(Command::kLoadKey, Data().Byte(p1).Byte(p2).Bytes(key, 6));
}

QUOR_EXPORT uint8_t Quor_AutoDetect(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t keySource,
                                    uint8_t p5, const uint8_t* key, uint8_t p7) {
    Data data;
    data.Byte(p1).Byte(p2).Byte(p3);
    if (keySource == 0x00) {
        data.Byte(0x00);
    } else if (keySource == 'E') {
        data.Byte('E').Byte(p5).Bytes(key, 1).Byte(p7);
    } else if (keySource == 'F') {
        data.Byte('F').Byte(p5).Bytes(key, 6).Byte(p7);
    } else {
        return g_library.Refuse();
    }
    return g_library.Run(Command::kAutoDetect, data);
}

// --- block read and write --------------------------------------------------------------------

QUOR_EXPORT uint8_t Quor_Read(uint8_t block, uint8_t data[16]) {
    return g_library.Run(Command::kRead, Data().Byte(block), [&](const ReplyBuffer& r) {
        CopyOut(data, r, 0, 16);
        return true;
    });
}

QUOR_EXPORT uint8_t Quor_Write(uint8_t block, const uint8_t data[16]) {
    return g_library.Run(Command::kWrite, Data().Byte(block).Bytes(data, 16));
}

QUOR_EXPORT uint8_t Quor_Ul_Write(uint8_t page, const uint8_t data[4]) {
    return g_library.Run(Command::kUlWrite, Data().Byte(page).Bytes(data, 4));
}

QUOR_EXPORT uint8_t Quor_Read_Auth(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t data[16]) {
    return g_library.Run(Command::kReadAuth, Data().Byte(p1).Byte(p2).Byte(p3),
                         [&](const ReplyBuffer& r) {
                             CopyOut(data, r, 0, 16);
                             return true;
                         });
}

QUOR_EXPORT uint8_t Quor_Write_Auth(uint8_t p1, uint8_t p2, uint8_t p3, const uint8_t data[16]) {
    return g_library.Run(Command::kWriteAuth, Data().Byte(p1).Byte(p2).Byte(p3).Bytes(data, 16));
}

// --- value operations ------------------------------------------------------------------------

QUOR_EXPORT uint8_t Quor_Increment(uint8_t block, const int32_t* value) {
    return g_library.Run(Command::kIncrement, Data().Byte(block).Bytes(Le32(value)));
}

QUOR_EXPORT uint8_t Quor_Decrement(uint8_t block, const int32_t* value) {
    return g_library.Run(Command::kDecrement, Data().Byte(block).Bytes(Le32(value)));
}

QUOR_EXPORT uint8_t Quor_Restore(uint8_t block) {
    return g_library.Run(Command::kRestore, Data().Byte(block));
}

QUOR_EXPORT uint8_t Quor_Transfer(uint8_t block) {
    return g_library.Run(Command::kTransfer, Data().Byte(block));
}

QUOR_EXPORT uint8_t Quor_Value(uint8_t p1, uint8_t p2, const int32_t* value, uint8_t p4) {
    return g_library.Run(Command::kValue, Data().Byte(p1).Byte(p2).Bytes(Le32(value)).Byte(p4));
}

QUOR_EXPORT uint8_t Quor_ReadValue_Auth(uint8_t p1, uint8_t p2, uint8_t p3, int32_t* value) {
    return g_library.Run(Command::kReadAuth, Data().Byte(p1).Byte(p2).Byte(p3),
                         [&](const ReplyBuffer& r) {
                             Store(value, static_cast<int32_t>(ReadLe32(r, 0)));
                             return true;
                         });
}

QUOR_EXPORT uint8_t Quor_WriteValue_Auth(uint8_t p1, uint8_t p2, uint8_t p3, const int32_t* value) {
    return g_library.Run(Command::kWriteValueAuth,
                         Data().Byte(p1).Byte(p2).Byte(p3).Bytes(Le32(value)));
}

QUOR_EXPORT uint8_t Quor_Value_Auth(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4,
                                    const int32_t* value, uint8_t p6) {
    return g_library.Run(Command::kValueAuth,
                         Data().Byte(p1).Byte(p2).Byte(p3).Byte(p4).Bytes(Le32(value)).Byte(p6));
}

// --- reader housekeeping and EEPROM ----------------------------------------------------------

QUOR_EXPORT uint8_t Quor_Reset(uint8_t p1) {
    return g_library.Run(Command::kReset, Data().Byte(p1));
}

QUOR_EXPORT uint8_t Quor_Close(void) {
    return g_library.Run(Command::kClose, Data());
}

QUOR_EXPORT uint8_t Quor_Config(void) {
    return g_library.Run(Command::kConfig, Data());
}

QUOR_EXPORT uint8_t Quor_Get_Info(uint8_t info[9]) {
    return g_library.Run(Command::kGetInfo, Data(), [&](const ReplyBuffer& r) {
        CopyOut(info, r, 0, 9);
        return true;
    });
}

QUOR_EXPORT uint8_t Quor_Set_Control_Bit(void) {
    return g_library.Run(Command::kSetControlBit, Data());
}

QUOR_EXPORT uint8_t Quor_Clr_Control_Bit(void) {
    return g_library.Run(Command::kClrControlBit, Data());
}

QUOR_EXPORT uint8_t Quor_Buzzer(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4) {
    return g_library.Run(Command::kBuzzer, Data().Byte(p1).Byte(p2).Byte(p3).Byte(p4));
}

QUOR_EXPORT uint8_t Quor_Read_E2(uint8_t address, uint8_t count, uint8_t* data) {
    if (!ReplyBuffer::Holds(0, count)) {
        return g_library.Refuse();
    }
    return g_library.Run(Command::kReadE2, Data().Byte(address).Byte(count),
                         [&](const ReplyBuffer& r) {
                             CopyOut(data, r, 0, count);
                             return true;
                         });
}

QUOR_EXPORT uint8_t Quor_Write_E2(uint8_t address, uint8_t count, const uint8_t* data) {
    if (count > 253) {
        return g_library.Refuse();
    }
    return g_library.Run(Command::kWriteE2, Data().Byte(address).Byte(count).Bytes(data, count));
}
