#pragma once

#include <cerrno>
#include <functional>
#include <string>

#include "platform/comm/serial_device.h"

namespace comm {

// Opens ports as OpenSerialDevice does and keeps what the last failed open said, so that a
// command line can add the port and the reason to its fixed message. Used on the thread that
// opens the ports.
class RecordingOpener {
  public:
    using Opener = std::function<OpenResult(const std::string& path)>;
    explicit RecordingOpener(Opener opener = OpenSerialDevice) : opener_(std::move(opener)) {}

    // An opener to hand to a channel or port; it refers to this object, which must outlive it.
    Opener opener();
    bool failed() const { return failed_; }
    // "<path>: <reason>" of the last failed open (DescribeOpenFailure).
    std::string Describe() const;
    // The last failed open found the port held by another program or client.
    bool InUse() const { return failed_ && status_.error() == EBUSY; }

  private:
    Opener opener_;
    bool failed_ = false;
    std::string path_;
    CommStatus status_;
};

}  // namespace comm
