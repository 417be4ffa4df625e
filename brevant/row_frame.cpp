#include "brevant/row_frame.h"

#include <cstdio>

#include "brevant/omnix.h"
#include "reader/frame/reader_frame.h"

namespace brevant {

RowFrame BuildRowFrame(const std::string& data_cell, int send_format) {
    RowFrame f;
    if (data_cell.empty())
        f.warnings.push_back(kMessageEmptyData);
    std::string data;
    for (char c : data_cell) {
        if (c != ' ')
            data += c;
    }
    if (data.size() < 6)
        f.warnings.push_back(kMessageErr1);
    if (data.size() % 2 != 0)
        f.warnings.push_back(kMessageErr2);
    for (char c : data) {
        if (c < '0' || c > 'f') {
            f.warnings.push_back(kMessageErr3);
            break;
        }
    }
    // The check covers (length / 2) bytes: what the converter makes of the pairs, and zero bytes
    // for pairs it stopped at.
    std::vector<uint8_t> bytes = HexToBytes(data);
    bytes.resize(data.size() / 2, 0);
    const uint8_t check = reader::FrameBcc(bytes.data(), bytes.size());
    char text[3];
    std::snprintf(text, sizeof text, "%02x", check);
    f.check_text = text;
    f.frame_text = "20" + data + f.check_text + "03";
    if (send_format == 0) {
        f.wire = HexToBytes(f.frame_text);
    } else {
        f.wire.assign(f.frame_text.begin(), f.frame_text.end());
    }
    return f;
}

std::string ReceivedByteText(uint8_t byte, int receive_format) {
    if (receive_format == 0) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X ", byte);
        return text;
    }
    return std::string(1, static_cast<char>(byte));
}

}  // namespace brevant
