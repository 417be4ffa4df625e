#include "brevant/command_file.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/text/gbk.h"

namespace brevant {
namespace {

// True when bytes is well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        size_t extra = 0;
        uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= bytes.size())
            return false;  // cut short by the end
        for (size_t k = 1; k <= extra; ++k) {
            const auto t = static_cast<unsigned char>(bytes[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (t & 0x3F);
        }
        if ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (extra == 3 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

CommandFileEncoding DetectCommandFileEncoding(std::string_view bytes) {
    // Chinese in UTF-8 often decodes as GBK too, into other characters ("读卡" as three wrong
    // ones), while GBK Chinese is seldom well-formed UTF-8. So a file with any byte above ASCII
    // that is well-formed UTF-8 is UTF-8; everything else, plain ASCII included, is GBK.
    const bool above_ascii = std::any_of(
        bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return above_ascii && IsValidUtf8(bytes) ? CommandFileEncoding::kUtf8
                                             : CommandFileEncoding::kGbk;
}

std::string CommandFileSavePath(const std::string& chosen) {
    if (chosen.size() > 4) {
        std::string tail = chosen.substr(chosen.size() - 4);
        std::transform(tail.begin(), tail.end(), tail.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (tail != ".INI")
            return chosen + ".ini";
    }
    return chosen;
}

bool SaveCommandFile(const std::string& path, const CommandRows& rows,
                     CommandFileEncoding encoding) {
    std::string text;
    for (int r = 1; r <= kCommandRows; ++r) {
        if (rows.data[r].empty())
            continue;
        text.append(kCommandSeparator).append("\r\n");
        text.append(rows.comment[r]).append("\r\n").append(rows.data[r]).append("\r\n");
    }
    text.append(kCommandSeparator).append("\r\n").append("  ").append("\r\n");
    if (encoding == CommandFileEncoding::kGbk)
        text = text::Utf8ToGbk(text);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    return static_cast<bool>(out);
}

bool LoadCommandFile(const std::string& path, CommandRows& rows, CommandFileEncoding* encoding) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad())
        return false;
    const CommandFileEncoding found = DetectCommandFileEncoding(bytes);
    if (encoding != nullptr)
        *encoding = found;
    std::istringstream in(found == CommandFileEncoding::kGbk ? text::GbkToUtf8(bytes)
                                                             : std::move(bytes));
    std::string line;
    long line_number = 0;
    int row = 0;
    long expected_separator = -2;
    bool comment_next = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        ++line_number;
        if (line == kCommandSeparator) {
            expected_separator += 3;
            ++row;
        }
        if (row >= 1 && line_number != expected_separator) {
            if (row > kCommandRows)
                break;  // more commands than the grid has rows
            if (comment_next) {
                rows.comment[row] = line;
            } else {
                rows.data[row] = line;
            }
            comment_next = !comment_next;
        }
    }
    return !in.bad();
}

}  // namespace brevant
