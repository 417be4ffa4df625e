#include "brevant/omnix.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace brevant {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    const size_t end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitLines(std::istream& in) {
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// getline never throws on a stream that cannot be read (a folder): it stops with no lines.
std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return SplitLines(in);
}

bool IsSection(const std::string& line, std::string* name) {
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']')
        return false;
    if (name)
        *name = Trim(t.substr(1, t.size() - 2));
    return true;
}

bool KeyOf(const std::string& line, std::string& key, std::string& value) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return true;
}

}  // namespace

std::vector<uint8_t> HexToBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    for (;;) {
        while (i < text.size() && text[i] == ' ')
            ++i;
        if (i + 1 >= text.size())
            break;
        const int high = HexValue(text[i]);
        const int low = HexValue(text[i + 1]);
        if (high < 0 || low < 0)
            break;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
        i += 2;
    }
    return bytes;
}

bool IniFile::Read(const std::string& section, const std::string& key, std::string& value) const {
    return FindIniValue(ReadLines(path_), section, key, value);
}

bool FindIniValue(const std::string& text, const std::string& section, const std::string& key,
                  std::string& value) {
    std::istringstream in(text);
    return FindIniValue(SplitLines(in), section, key, value);
}

bool FindIniValue(const std::vector<std::string>& lines, const std::string& section,
                  const std::string& key, std::string& value) {
    std::string current;
    for (const std::string& line : lines) {
        std::string name;
        if (IsSection(line, &name)) {
            current = name;
            continue;
        }
        std::string k, v;
        if (current == section && KeyOf(line, k, v) && k == key) {
            value = v;
            return true;
        }
    }
    return false;
}

bool IniFile::Write(const std::string& section, const std::string& key, const std::string& value) {
    std::vector<std::string> lines = ReadLines(path_);
    std::string current;
    int section_end = -1;  // the line after which a new key of the section goes
    bool written = false;
    for (size_t i = 0; i < lines.size() && !written; ++i) {
        std::string name;
        if (IsSection(lines[i], &name)) {
            current = name;
            if (current == section)
                section_end = static_cast<int>(i);
            continue;
        }
        std::string k, v;
        if (current == section) {
            section_end = static_cast<int>(i);
            if (KeyOf(lines[i], k, v) && k == key) {
                lines[i] = key + "=" + value;
                written = true;
            }
        }
    }
    if (!written) {
        if (section_end < 0) {
            lines.push_back("[" + section + "]");
            lines.push_back(key + "=" + value);
        } else {
            lines.insert(lines.begin() + section_end + 1, key + "=" + value);
        }
    }
    const std::string temporary = path_ + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        for (const std::string& line : lines)
            out << line << "\r\n";
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    return std::rename(temporary.c_str(), path_.c_str()) == 0;
}

}  // namespace brevant
