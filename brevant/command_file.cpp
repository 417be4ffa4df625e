#include "brevant/command_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <fstream>

#include "brevant/omnix.h"
#include "platform/comm/unique_fd.h"
#include "platform/text/gbk.h"
#include "platform/text/utf8.h"

namespace brevant {
namespace {

// True when bytes is well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view bytes) {
    for (size_t i = 0, n; i < bytes.size(); i += n) {
        n = text::Utf8SequenceLength(bytes, i);
        if (n == 0)
            return false;
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

namespace {

bool IsBlank(const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
}

}  // namespace

bool LoadCommandFile(const std::string& path, CommandRows& rows, CommandFileEncoding* encoding,
                     std::vector<CommandFileFault>* faults) {
    std::string bytes;
    if (!ReadRegularFile(path, kMaxCommandFileBytes, bytes))
        return false;
    ParseCommandFile(bytes, rows, encoding, faults);
    return true;
}

void ParseCommandFile(std::string_view bytes, CommandRows& rows, CommandFileEncoding* encoding,
                      std::vector<CommandFileFault>* faults) {
    const CommandFileEncoding found = DetectCommandFileEncoding(bytes);
    if (encoding != nullptr)
        *encoding = found;
    const std::string text =
        found == CommandFileEncoding::kGbk ? text::GbkToUtf8(bytes) : std::string(bytes);
    long line_number = 0;
    int row = 0;
    long expected_separator = -2;
    bool comment_next = true;
    bool layout_reported = false;
    size_t start = 0;
    while (start < text.size() && row <= kCommandRows) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        ++line_number;
        if (line == kCommandSeparator) {
            expected_separator += 3;
            ++row;
            // The first separator off its line shifts every row after it; later ones follow.
            if (line_number != expected_separator && faults != nullptr && !layout_reported &&
                row <= kCommandRows) {
                layout_reported = true;
                faults->push_back(
                    {line_number, row,
                     row == 1 ? "lines before the first separator shift every row"
                              : std::string("the separator is read as the ") +
                                    (comment_next ? "comment" : "data") +
                                    " of this row: a comment or data line is missing or one too "
                                    "many before it"});
            }
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
    // A comment as the last line (not the closing line of two spaces): the file was cut short.
    if (faults != nullptr && row >= 1 && row <= kCommandRows && !comment_next &&
        !IsBlank(rows.comment[row])) {
        faults->push_back({line_number, row,
                           "the file ends after this row's comment: its data "
                           "line is missing"});
    }
}

}  // namespace brevant
