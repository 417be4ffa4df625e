#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "porvane/capture/serial_capture_writer.h"

namespace porvane::cli {

// Creates (or empties) the capture file path for a command's records and writes its section
// header, so that a file that cannot be written is known before anything starts. application
// names the writer in the file ("porvane-cli watch"). On failure says why on err and returns
// null.
std::unique_ptr<capture::SerialCaptureWriter> OpenCaptureFile(const std::string& path,
                                                              const std::string& application,
                                                              std::FILE* err);

// Says on err that writing the capture to path failed, with the reason, when error is not 0;
// returns whether it failed.
bool ReportCaptureError(const std::string& path, int error, std::FILE* err);

}  // namespace porvane::cli
