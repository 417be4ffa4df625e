#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brevant {

// Hex text to bytes: one byte per two hexadecimal digits, in order; a pair that holds another
// character (or a single digit left at the end) ends the conversion. Spaces between pairs are
// skipped.
std::vector<uint8_t> HexToBytes(const std::string& text);

// Reads a whole regular file of at most max_bytes into bytes with plain system calls: a folder,
// a device or a FIFO is refused before anything is read (errno EISDIR or EINVAL), never waited
// on, and a larger file too (EFBIG). A read error is a false return, never an exception.
bool ReadRegularFile(const std::string& path, size_t max_bytes, std::string& bytes);

// The most an INI file holds; a larger one reads as empty.
inline constexpr size_t kMaxIniBytes = 1u << 20;

// A small INI file: "[SECTION]" lines followed by "key=value" lines. Reads see the file as it is
// on disk at the time of the read; writes rewrite it whole (through a temporary file and a
// rename, so that a failure never leaves half a file).
class IniFile {
  public:
    explicit IniFile(std::string path = {}) : path_(std::move(path)) {}
    void SetFile(const std::string& path) { path_ = path; }
    const std::string& path() const { return path_; }

    // The value of key in section, or nullopt-like false when absent.
    bool Read(const std::string& section, const std::string& key, std::string& value) const;
    bool Write(const std::string& section, const std::string& key, const std::string& value);

  private:
    std::string path_;
};

// The value of key in section of an INI text (as IniFile reads its file); false when absent.
bool FindIniValue(const std::string& text, const std::string& section, const std::string& key,
                  std::string& value);
bool FindIniValue(const std::vector<std::string>& lines, const std::string& section,
                  const std::string& key, std::string& value);

}  // namespace brevant
