#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brevant {

// Hex text to bytes: one byte per two hexadecimal digits, in order; a pair that holds another
// character (or a single digit left at the end) ends the conversion. Spaces between pairs are
// skipped.
std::vector<uint8_t> HexToBytes(const std::string& text);

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
