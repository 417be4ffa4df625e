#include "porvane/cli/capture_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "porvane/cli/output_file.h"

namespace porvane::cli {

std::unique_ptr<capture::SerialCaptureWriter> OpenCaptureFile(const std::string& path,
                                                              const std::string& application,
                                                              std::FILE* err) {
    comm::UniqueFd fd = OpenOutputFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!fd.valid()) {
        std::fprintf(err, "porvane-cli: cannot write the capture to %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return nullptr;
    }
    auto writer = std::make_unique<capture::SerialCaptureWriter>(std::move(fd), application);
    if (!writer->Flush()) {
        std::fprintf(err, "porvane-cli: cannot write the capture to %s: %s\n", path.c_str(),
                     std::strerror(writer->error()));
        return nullptr;
    }
    return writer;
}

bool ReportCaptureError(const std::string& path, int error, std::FILE* err) {
    if (error == 0)
        return false;
    std::fprintf(err,
                 "porvane-cli: writing the capture to %s failed: %s (it holds the calls before "
                 "the failure)\n",
                 path.c_str(), std::strerror(error));
    return true;
}

}  // namespace porvane::cli
