#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace brevant {

inline constexpr int kCommandRows = 200;
inline constexpr char kCommandSeparator[] = "/*****************/";

// The comment (column 2) and data (column 4) of grid rows 1..200 (index 0 unused).
struct CommandRows {
    std::array<std::string, kCommandRows + 1> comment;
    std::array<std::string, kCommandRows + 1> data;
};

// How a command file's bytes are encoded. Rows always hold UTF-8; files are GBK unless they
// were read as UTF-8, and are written back in the encoding they were read in.
enum class CommandFileEncoding { kGbk, kUtf8 };

// The path a save uses: ".ini" is added unless the name (longer than 4 characters) already ends
// in ".INI" in any case.
std::string CommandFileSavePath(const std::string& chosen);

// Saves every row with data: separator, comment, data; then a separator and a line of two
// spaces. Lines end in CR LF; the text is encoded as asked. False when the file cannot be
// written.
bool SaveCommandFile(const std::string& path, const CommandRows& rows,
                     CommandFileEncoding encoding = CommandFileEncoding::kGbk);

// A place where a file departs from the three-line layout, so that rows load shifted from what
// was saved: a separator off its line (a comment or data line missing, or lines before the first
// separator), or a command cut short after its comment. line counts from 1; row is the grid row
// the loader fills at that line.
struct CommandFileFault {
    long line = 0;
    int row = 0;
    std::string reason;
};

// Loads as the original loader does (separators expected on lines 1, 4, 7, ...; lines before
// the first separator ignored; rows beyond the file keep their contents; the closing line of two
// spaces becomes the comment of the row after the last command). False when the file cannot be
// read; a malformed file loads what it can. The file is read as GBK; one that holds non-ASCII
// bytes and is well-formed UTF-8 is read as UTF-8. encoding (when given) receives which one was
// used.
// A file that is not a regular file (a folder, a device) or is larger than kMaxCommandFileBytes
// is not read (errno EISDIR, EINVAL or EFBIG); faults (when given) receives the layout faults.
bool LoadCommandFile(const std::string& path, CommandRows& rows,
                     CommandFileEncoding* encoding = nullptr,
                     std::vector<CommandFileFault>* faults = nullptr);

// The loader on bytes already read (decoded as LoadCommandFile does).
void ParseCommandFile(std::string_view bytes, CommandRows& rows,
                      CommandFileEncoding* encoding = nullptr,
                      std::vector<CommandFileFault>* faults = nullptr);

// 200 rows of the longest frame the port takes need far less; a larger file is not a command file.
inline constexpr size_t kMaxCommandFileBytes = 4u << 20;

// The encoding a command file's bytes are read in (see LoadCommandFile).
CommandFileEncoding DetectCommandFileEncoding(std::string_view bytes);

}  // namespace brevant
