#include "platform/comm/recording_opener.h"

#include "platform/comm/open_failure.h"

namespace comm {

RecordingOpener::Opener RecordingOpener::opener() {
    return [this](const std::string& path) {
        OpenResult result = opener_(path);
        failed_ = !result.device;
        path_ = path;
        status_ = result.status;
        return result;
    };
}

std::string RecordingOpener::Describe() const {
    return DescribeOpenFailure(path_, status_);
}

}  // namespace comm
