#include "brevant/command_file.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace brevant {

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

bool SaveCommandFile(const std::string& path, const CommandRows& rows) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    for (int r = 1; r <= kCommandRows; ++r) {
        if (rows.data[r].empty())
            continue;
        out << kCommandSeparator << "\r\n" << rows.comment[r] << "\r\n" << rows.data[r] << "\r\n";
    }
    out << kCommandSeparator << "\r\n"
        << "  "
        << "\r\n";
    out.flush();
    return static_cast<bool>(out);
}

bool LoadCommandFile(const std::string& path, CommandRows& rows) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
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
