#include "porvane/cli/report_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/comm/unique_fd.h"
#include "porvane/cli/output_file.h"
#include "porvane/tester/test_statistics.h"

namespace porvane::cli {

ReportFile::~ReportFile() {
    if (created_ && !written_) {
        ::unlink(path_.c_str());
    }
}

bool ReportFile::Claim(std::FILE* err) {
    if (path_.empty())
        return true;
    comm::UniqueFd fd = OpenOutputFile(path_, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd.valid()) {
        created_ = true;
        return true;
    }
    if (errno == EEXIST) {
        fd = OpenOutputFile(path_, O_WRONLY, 0);
        if (fd.valid())
            return true;
    }
    std::fprintf(err, "porvane-cli: --report: %s: %s\n", path_.c_str(), std::strerror(errno));
    return false;
}

bool ReportFile::Write(const tester::TestStatistics& statistics, std::FILE* err) {
    if (path_.empty())
        return true;
    errno = 0;
    const std::string message = tester::WriteTestReport(path_, statistics);
    const int error = errno;
    if (!message.empty()) {
        std::fprintf(err, "%s (%s)\n", message.c_str(),
                     error != 0 ? std::strerror(error) : "no reason given");
        return false;
    }
    written_ = true;
    return true;
}

}  // namespace porvane::cli
