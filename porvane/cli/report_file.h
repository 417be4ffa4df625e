#pragma once

#include <cstdio>
#include <string>

namespace porvane::tester {
class TestStatistics;
}

namespace porvane::cli {

// The --report file of "porvane-cli test": claimed before the test starts, so that a path that
// cannot be written is refused at once, and written when the test ends. A file the claim
// created is removed again when no report is written into it.
class ReportFile {
  public:
    explicit ReportFile(std::string path) : path_(std::move(path)) {}
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Opens the path for writing (creating, not truncating, it). True without a path; otherwise
    // false with "porvane-cli: --report: <path>: <reason>" on err.
    bool Claim(std::FILE* err);
    // Writes the report; true without a path. On failure the report's message goes to err with
    // the reason in words.
    bool Write(const tester::TestStatistics& statistics, std::FILE* err);

  private:
    std::string path_;
    bool created_ = false;  // the claim made the file
    bool written_ = false;
};

}  // namespace porvane::cli
