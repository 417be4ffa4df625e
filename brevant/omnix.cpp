#include "brevant/omnix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/comm/unique_fd.h"

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

// A file that cannot be read as a small regular file (a folder, a FIFO, a device, one too large)
// has no lines: it neither holds the program nor fills its memory.
std::vector<std::string> ReadLines(const std::string& path) {
    std::string bytes;
    if (!ReadRegularFile(path, kMaxIniBytes, bytes))
        return {};
    std::istringstream in(bytes);
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

bool ReadRegularFile(const std::string& path, size_t max_bytes, std::string& bytes) {
    const comm::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!file.valid() || ::fstat(file.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > max_bytes) {
        errno = EFBIG;
        return false;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (bytes.size() + static_cast<size_t>(n) > max_bytes) {
            errno = EFBIG;  // grew while being read
            return false;
        }
        bytes.append(chunk, static_cast<size_t>(n));
    }
}

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
    if (path_.empty())
        return false;  // no settings file to keep (see ConfigIniPath)
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
