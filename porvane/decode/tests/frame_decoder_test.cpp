#include "porvane/decode/frame_decoder.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "porvane/decode/modbus_pdu.h"

namespace porvane::decode {
namespace {

struct Call {
    Flow flow;
    std::string bytes;
    int64_t time_us = -1;
};

// The bytes with their Modbus CRC appended, low byte first.
std::string WithCrc(std::string bytes) {
    const uint16_t crc = ModbusCrc(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    bytes += static_cast<char>(crc & 0xFF);
    bytes += static_cast<char>(crc >> 8);
    return bytes;
}

std::vector<std::string> Decode(const std::string& name, const std::vector<Call>& calls,
                                uint32_t speed = 0) {
    auto decoder = MakeFrameDecoder(name);
    EXPECT_NE(decoder, nullptr);
    decoder->SetSpeed(speed);
    std::vector<std::string> lines;
    const auto add = [&](const std::vector<Frame>& frames) {
        for (const Frame& f : frames)
            lines.push_back(std::string(f.flow == Flow::kWritten ? "W " : "R ") + f.text);
    };
    for (const Call& c : calls) {
        add(decoder->Take(
            {c.flow, reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), c.time_us}));
    }
    add(decoder->Finish());
    return lines;
}

constexpr Flow kW = Flow::kWritten;
constexpr Flow kR = Flow::kRead;

TEST(FrameDecoder, FramesAndFieldsOfEachProtocol) {
    const std::string request("\x11\x03\x00\x6B\x00\x03\x76\x87", 8);  // the common example
    const std::string reply = WithCrc(std::string("\x11\x03\x06\xAE\x41\x56\x52\x43\x40", 9));
    struct Case {
        const char* what;
        const char* decoder;
        std::vector<Call> calls;
        std::vector<std::string> frames;
        uint32_t speed = 0;
    } cases[] = {
        {"rtu request and a reply read in pieces",
         "modbus-rtu",
         {{kW, request}, {kR, reply.substr(0, 3)}, {kR, reply.substr(3)}},
         {"W modbus-rtu: slave 17, read holding registers (0x03) 0x006B..0x006D (3), CRC ok",
          "R modbus-rtu: slave 17, read holding registers (0x03) reply, 3 registers: 0xAE41 "
          "0x5652 0x4340, CRC ok"}},
        {"rtu frames back to back in one call, an exception, a broadcast write",
         "modbus-rtu",
         {{kR, WithCrc(std::string("\x01\x83\x02", 3)) +
                   WithCrc(std::string("\x01\x05\x00\xAC\xFF\x00", 6))},
          {kW, WithCrc(std::string("\x00\x10\x00\x01\x00\x02\x04\x00\x0A\x01\x02", 11))}},
         {"R modbus-rtu: slave 1, exception to read holding registers (0x83): 0x02 illegal data "
          "address, CRC ok",
          "R modbus-rtu: slave 1, write single coil (0x05) reply 0x00AC = on, CRC ok",
          "W modbus-rtu: broadcast, write multiple registers (0x10) 0x0001..0x0002 (2): 0x000A "
          "0x0102, CRC ok"}},
        {"rtu bad CRC at the frame's length, then a good frame",
         "modbus-rtu",
         {{kW, request.substr(0, 7) + "\x88"}, {kW, request}},
         {"W modbus-rtu: slave 17, read holding registers (0x03) 0x006B..0x006D (3), CRC BAD "
          "(0x8876, computed 0x8776) (8 bytes): 11 03 00 6b 00 03 76 88",
          "W modbus-rtu: slave 17, read holding registers (0x03) 0x006B..0x006D (3), CRC ok"}},
        {"rtu unknown functions ended by a pause of 3.5 characters at 9600",
         "modbus-rtu",
         {{kW, WithCrc("\x05\x41\x01"), 0},
          {kW, WithCrc("\x05\x41\x02"), 5000},
          {kW, std::string("\x05\x41", 2), 10000}},
         {"W modbus-rtu: slave 5, unknown function 0x41, data 01, CRC ok",
          "W modbus-rtu: slave 5, unknown function 0x41, data 02, CRC ok",
          "W modbus-rtu: cut frame (2 bytes): 05 41"},
         9600},
        {"rtu reply read 8 then 3 bytes, late: not taken for a request",
         "modbus-rtu",
         {{kR, reply.substr(0, 8), 0}, {kR, reply.substr(8), 9000}},
         {"R modbus-rtu: slave 17, read holding registers (0x03) reply, 3 registers: 0xAE41 "
          "0x5652 0x4340, CRC ok"},
         115200},
        {"rtu fields the protocol does not allow are marked",
         "modbus-rtu",
         {{kR, WithCrc(std::string("\x11\x03\x05\x00\x01\x00\x02\x03", 8))},
          {kW, WithCrc(std::string("\x11\x02\x03\xAC\xDB\x35", 6))},
          {kW, WithCrc(std::string("\x01\x10\x00\x01\x00\x02\x02\x00\x0A", 9))}},
         {"R modbus-rtu: slave 17, read holding registers (0x03) reply, 2 registers: 0x0001 "
          "0x0002, odd byte count 5, CRC ok",
          "W modbus-rtu: slave 17, read discrete inputs (0x02) reply, 3 bytes: 0 0 1 1 0 1 0 1 1 "
          "1 0 1 1 0 1 1 1 0 1 0 1 1 0 0, CRC ok",
          "W modbus-rtu: slave 1, write multiple registers (0x10) 0x0001..0x0002 (2): 0x000A, "
          "byte count 2 does not fit the quantity, CRC ok"}},
        {"rtu pause at 115200 is 1.75 ms: no split at 1 ms",
         "modbus-rtu",
         {{kR, reply.substr(0, 5), 0}, {kR, reply.substr(5), 1000}},
         {"R modbus-rtu: slave 17, read holding registers (0x03) reply, 3 registers: 0xAE41 "
          "0x5652 0x4340, CRC ok"},
         115200},
        {"ascii frame with its LRC, a bad LRC, bytes outside a frame",
         "modbus-ascii",
         {{kW, ":1103006B00037E\r\n:1103006B000370\r\n"}, {kR, "xx:1103"}},
         {"W modbus-ascii: slave 17, read holding registers (0x03) 0x006B..0x006D (3), LRC ok",
          "W modbus-ascii: slave 17, read holding registers (0x03) 0x006B..0x006D (3), LRC BAD "
          "(0x70, computed 0x7E)",
          "R modbus-ascii: not a frame (2 bytes): 78 78",
          "R modbus-ascii: cut frame (5 bytes): 3a 31 31 30 33"}},
        {"nmea sentences: checked, bad, cut",
         "nmea",
         {{kR, "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n$GPGLL,49"},
          {kR, "16.45,N,12311.12,W,225444,A*30\r\n\x01$GPRMC,1*00\r\n$GPZDA,0"}},
         {"R nmea: GPGGA (talker GP, sentence GGA), 14 fields: "
          "123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,, checksum ok",
          "R nmea: GPGLL (talker GP, sentence GLL), 6 fields: 4916.45,N,12311.12,W,225444,A, "
          "checksum BAD (30, computed 31)",
          "R nmea: not a sentence (1 bytes): 01; nmea: GPRMC (talker GP, sentence RMC), 1 fields: "
          "1, "
          "checksum BAD (00, computed 56)",
          "R nmea: GPZDA (talker GP, sentence ZDA), 1 fields: 0, no checksum, cut (no line end)"}},
        {"at command, echo, response and final result",
         "at",
         {{kW, "AT+CSQ\r"},
          {kR, "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},
          {kW, "AT+CMGS=\"123\"\r"},
          {kR, "\r\n> "},
          {kW, "hi\x1A"},
          {kR, "\r\n+CMS ERROR: 500\r\n"}},
         {"W at: command AT+CSQ", "R at: echo AT+CSQ", "R at: response +CSQ: 20,99",
          "R at: final result OK", "W at: command AT+CMGS=\"123\"", "R at: prompt for text",
          "W at: text \"hi\" sent (Ctrl-Z)", "R at: final result +CMS ERROR: 500"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Decode(c.decoder, c.calls, c.speed), c.frames);
    }
}

// The file record, mask write, read/write and device identification functions: their fields
// each way, a field the protocol does not allow marked, an exception to one of them.
TEST(FrameDecoder, FieldsOfTheFileMaskReadWriteAndIdentificationFunctions) {
    const auto rtu = [](const std::string& unit) { return WithCrc(unit); };
    const std::string id_reply(
        "\x01\x2B\x0E\x01\x01\x00\x00\x03\x00\x03"
        "ACM\x01\x02P1\x02\x05V2.11",
        24);
    struct Case {
        Flow flow;
        std::string unit;
        std::string text;
    } cases[] = {
        {kW,
         std::string("\x01\x14\x0E\x06\x00\x04\x00\x01\x00\x02\x06\x00\x03\x00\x09\x00\x02", 17),
         "slave 1, read file record (0x14) file 4, record 0x0001, 2 registers; file 3, record "
         "0x0009, 2 registers"},
        {kR, std::string("\x01\x14\x0C\x05\x06\x0D\xFE\x00\x20\x05\x06\x33\xCD\x00\x40", 15),
         "slave 1, read file record (0x14) reply, record 1: 0x0DFE 0x0020; record 2: 0x33CD "
         "0x0040"},
        {kW, std::string("\x01\x14\x07\x05\x00\x04\x00\x01\x00\x02", 10),
         "slave 1, read file record (0x14) file 4, record 0x0001, 2 registers, reference type "
         "0x05 not 6"},
        {kR, std::string("\x01\x14\x07\x04\x06\x00\x01\x00\x02\x00", 10),
         "slave 1, read file record (0x14) reply, record 1, length 4 does not fit"},
        {kW, std::string("\x01\x15\x0D\x06\x00\x04\x00\x07\x00\x03\x06\xAF\x04\xBE\x10\x0D", 16),
         "slave 1, write file record (0x15) file 4, record 0x0007: 0x06AF 0x04BE 0x100D"},
        {kR, std::string("\x01\x15\x0D\x06\x00\x04\x00\x07\x00\x03\x06\xAF\x04\xBE\x10\x0D", 16),
         "slave 1, write file record (0x15) reply, file 4, record 0x0007: 0x06AF 0x04BE 0x100D"},
        {kW, std::string("\x01\x15\x09\x06\x00\x04\x00\x07\x00\x03\x06\xAF", 12),
         "slave 1, write file record (0x15) file 4, record 0x0007, 3 registers do not fit the "
         "byte count"},
        {kR, std::string("\x01\x94\x02", 3),
         "slave 1, exception to read file record (0x94): 0x02 illegal data address"},
        {kW, std::string("\x01\x16\x00\x04\x00\xF2\x00\x25", 8),
         "slave 1, mask write register (0x16) 0x0004 AND 0x00F2 OR 0x0025"},
        {kR, std::string("\x01\x16\x00\x04\x00\xF2\x00\x25", 8),
         "slave 1, mask write register (0x16) reply 0x0004 AND 0x00F2 OR 0x0025"},
        {kW,
         std::string("\x01\x17\x00\x03\x00\x06\x00\x0E\x00\x03\x06\x00\xFF\x00\xFF\x00\xFF", 17),
         "slave 1, read/write multiple registers (0x17) read 0x0003..0x0008 (6), write "
         "0x000E..0x0010 (3): 0x00FF 0x00FF 0x00FF"},
        {kW, std::string("\x01\x17\x00\x03\x00\x7E\x00\x0E\x00\x7A\x02\x00\xFF", 13),
         "slave 1, read/write multiple registers (0x17) read 0x0003..0x0080 (126), quantity 126 "
         "out of range, write 0x000E..0x0087 (122), quantity 122 out of range: 0x00FF, byte "
         "count 2 does not fit the quantity"},
        {kR, std::string("\x01\x17\x04\x00\xFE\x0A\xCD", 7),
         "slave 1, read/write multiple registers (0x17) reply, 2 registers: 0x00FE 0x0ACD"},
        {kW, std::string("\x01\x2B\x0E\x01\x00", 5),
         "slave 1, encapsulated interface transport (0x2B) read device identification, basic, "
         "object 0x00"},
        {kW, std::string("\x01\x2B\x0E\x07\x00", 5),
         "slave 1, encapsulated interface transport (0x2B) read device identification, code "
         "0x07 invalid, object 0x00"},
        {kR, id_reply,
         "slave 1, encapsulated interface transport (0x2B) read device identification reply, "
         "basic, conformity 0x01, 3 objects: VendorName \"ACM\", ProductCode \"P1\", "
         "MajorMinorRevision \"V2.11\""},
        {kR, std::string("\x01\x2B\x0E\x02\x82\xFF\x05\x01\x05\x02\x00\x01", 12),
         "slave 1, encapsulated interface transport (0x2B) read device identification reply, "
         "regular, conformity 0x82, more follows from object 0x05, 1 objects: ModelName 00 01"},
        {kW, std::string("\x01\x2B\x0D\x00\x01", 5),
         "slave 1, encapsulated interface transport (0x2B), MEI type 0x0D, data 00 01"},
        {kR, std::string("\x01\xAB\x01", 3),
         "slave 1, exception to encapsulated interface transport (0xAB): 0x01 illegal function"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string side = c.flow == kW ? "W " : "R ";
        EXPECT_EQ(Decode("modbus-rtu", {{c.flow, rtu(c.unit)}}),
                  std::vector<std::string>{side + "modbus-rtu: " + c.text + ", CRC ok"});
    }
    // A device identification reply read in pieces: its length is told by its objects.
    EXPECT_EQ(
        Decode("modbus-rtu", {{kR, rtu(id_reply).substr(0, 9)}, {kR, rtu(id_reply).substr(9)}}),
        std::vector<std::string>{"R modbus-rtu: " + cases[15].text + ", CRC ok"});
}

// A long run of bytes that make no frame goes on lines of at most kMaxBytesPerLine bytes, every
// byte shown once, and the frame after it is decoded, whether it comes in the same call or not.
TEST(FrameDecoder, NoiseGoesOnLinesOfBoundedWidth) {
    std::string noise;
    for (int i = 0; i < 1000; ++i)
        noise += static_cast<char>(0x80 + i % 0x7F);
    const struct {
        const char* decoder;
        std::string before, frame, text;
        Flow flow = kW;
    } cases[] = {
        {"modbus-rtu", "", std::string("\x11\x03\x00\x6B\x00\x03\x76\x87", 8),
         "slave 17, read holding registers (0x03) 0x006B..0x006D (3), CRC ok"},
        {"modbus-ascii", "", ":1103006B00037E\r\n",
         "slave 17, read holding registers (0x03) 0x006B..0x006D (3), LRC ok"},
        {"nmea", "\n", "$GPGLL,4916.45,N,12311.12,W,225444,A*31\r\n",
         "GPGLL (talker GP, sentence GLL), 6 fields: 4916.45,N,12311.12,W,225444,A, checksum ok"},
        {"at", "\r", "\r\nOK\r\n", "final result OK", kR},
    };
    const std::regex count(R"(\((\d+) bytes\): [0-9a-f ]+$)");
    for (const auto& c : cases) {
        for (const bool one_call : {false, true}) {
            SCOPED_TRACE(std::string(c.decoder) + (one_call ? " in one call" : " in two"));
            const std::string head = noise + c.before;
            const std::vector<std::string> lines =
                one_call ? Decode(c.decoder, {{c.flow, head + c.frame}})
                         : Decode(c.decoder, {{c.flow, head}, {c.flow, c.frame}});
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines.back(),
                      (c.flow == kW ? "W " : "R ") + std::string(c.decoder) + ": " + c.text);
            size_t shown = 0;
            for (size_t i = 0; i + 1 < lines.size(); ++i) {
                std::smatch m;
                ASSERT_TRUE(std::regex_search(lines[i], m, count)) << lines[i];
                EXPECT_LE(std::stoul(m[1]), kMaxBytesPerLine) << lines[i];
                shown += std::stoul(m[1]);
            }
            EXPECT_EQ(shown, noise.size());  // a line end ends a line, not shown
        }
    }
}

// A live view learns of a pause from the clock rather than from the next bytes: an RTU frame of
// unknown length ends 3.5 characters after its last byte, one still short of its length after
// the silence a master waits for the rest, an ASCII frame after the second the protocol allows
// between characters; nothing ends before.
TEST(FrameDecoder, TheSilenceEndsFramesWithoutMoreBytes) {
    const std::string unknown = WithCrc("\x05\x41\x01");
    const std::string reply = WithCrc(std::string("\x11\x03\x06\xAE\x41\x56\x52\x43\x40", 9));
    const struct {
        const char* what;
        std::vector<Call> calls;
        int64_t ends;                     // SilenceEnds after the calls
        std::vector<std::string> frames;  // Quiet just after it (none just before)
        const char* decoder = "modbus-rtu";
    } cases[] = {
        {"unknown function at 9600",
         {{kW, unknown, 1000}},
         1000 + 4010,
         {"W modbus-rtu: slave 5, unknown function 0x41, data 01, CRC ok"}},
        {"both ways held",
         {{kR, unknown, 1000}, {kW, reply.substr(0, 4), 1500}},
         1000 + 4010,
         {"R modbus-rtu: slave 5, unknown function 0x41, data 01, CRC ok"}},
        {"reply short of its length",
         {{kR, reply.substr(0, 5), 2000}},
         2000 + 500'000,
         {"R modbus-rtu: cut frame (5 bytes): 11 03 06 ae 41"}},
        {"whole frames hold nothing", {{kW, reply, 0}}, -1, {}},
        {"ascii: a second between characters at most",
         {{kW, ":1103", 3000}},
         3000 + 1'000'000,
         {"W modbus-ascii: cut frame (5 bytes): 3a 31 31 30 33"},
         "modbus-ascii"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto decoder = MakeFrameDecoder(c.decoder);
        decoder->SetSpeed(9600);
        for (const Call& call : c.calls) {
            decoder->Take({call.flow, reinterpret_cast<const uint8_t*>(call.bytes.data()),
                           call.bytes.size(), call.time_us});
        }
        ASSERT_EQ(decoder->SilenceEnds(), c.ends);
        EXPECT_TRUE(decoder->Quiet(c.ends).empty());
        std::vector<std::string> lines;
        for (const Frame& f : decoder->Quiet(c.ends + 1))
            lines.push_back(std::string(f.flow == kW ? "W " : "R ") + f.text);
        EXPECT_EQ(lines, c.frames);
    }
}

TEST(FrameDecoder, UnknownNamesAreRefused) {
    EXPECT_EQ(MakeFrameDecoder("modbus"), nullptr);
    EXPECT_EQ(MakeFrameDecoder(""), nullptr);
}

}  // namespace
}  // namespace porvane::decode
