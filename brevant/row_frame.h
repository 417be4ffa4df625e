#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brevant {

inline constexpr char kMessageEmptyData[] = "请在数据块里输入数据";
inline constexpr char kMessageErr1[] = "请输入正确规格的数据-Err1";
inline constexpr char kMessageErr2[] = "请输入正确规格的数据-Err2";
inline constexpr char kMessageErr3[] = "请输入正确规格的数据-Err3";

// What sending a row puts on the wire: the warnings to show (they never stop the send), the
// check byte text (two lowercase digits), the frame text "20" + data + check + "03" and the bytes
// handed to the port (the frame's hex pairs for HEX, its characters for ASC).
struct RowFrame {
    std::vector<std::string> warnings;
    std::string check_text;
    std::string frame_text;
    std::vector<uint8_t> wire;
};

RowFrame BuildRowFrame(const std::string& data_cell, int send_format);

// A received byte as the monitor shows it: "%02X " (HEX) or the character itself (ASC).
std::string ReceivedByteText(uint8_t byte, int receive_format);

}  // namespace brevant
