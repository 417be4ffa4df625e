#include "porvane/decode/frame_decoder.h"

#include <algorithm>

#include "porvane/decode/modbus_decoder.h"
#include "porvane/decode/nmea_decoder.h"

namespace porvane::decode {

std::unique_ptr<FrameDecoder> MakeFrameDecoder(std::string_view name) {
    if (name == "modbus-rtu")
        return MakeModbusRtuDecoder();
    if (name == "modbus-ascii")
        return MakeModbusAsciiDecoder();
    if (name == "nmea")
        return MakeNmeaDecoder();
    if (name == "at")
        return MakeAtDecoder();
    return nullptr;
}

const char* DecoderNames() {
    return "modbus-rtu|modbus-ascii|nmea|at";
}

std::string DecoderNameProblem(std::string_view name) {
    if (MakeFrameDecoder(name))
        return {};
    std::string known = DecoderNames();
    for (size_t bar = known.find('|'); bar != std::string::npos; bar = known.find('|', bar))
        known.replace(bar, 1, ", ");
    return "unknown protocol '" + std::string(name) + "': " + known;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string HexGroups(const uint8_t* data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (i != 0)
            text += ' ';
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

std::vector<std::string> ByteLines(const std::string& head, const uint8_t* data, size_t size) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < size; at += kMaxBytesPerLine) {
        const size_t n = std::min(kMaxBytesPerLine, size - at);
        lines.push_back(head + " (" + std::to_string(n) + " bytes): " + HexGroups(data + at, n));
    }
    return lines;
}

}  // namespace porvane::decode
