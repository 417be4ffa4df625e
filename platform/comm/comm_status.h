#pragma once

#include <cerrno>
#include <string>

namespace comm {

// Outcome of a device operation: success, or the operation that failed and the system's error
// code, so that a message can say what failed and why.
class CommStatus {
  public:
    CommStatus() = default;
    // An error code of 0 (a failure the system did not explain) is reported as EIO.
    static CommStatus Failure(const char* operation, int error) {
        return {operation, error != 0 ? error : EIO};
    }

    bool ok() const { return error_ == 0; }
    explicit operator bool() const { return ok(); }
    const char* operation() const { return operation_; }
    int error() const { return error_; }
    // The device is no longer there (unplugged, hung up): EIO, ENXIO or ENODEV.
    bool DeviceGone() const { return IsDeviceGoneError(error_); }
    static bool IsDeviceGoneError(int error) {
        return error == EIO || error == ENXIO || error == ENODEV;
    }
    std::string Describe() const;

  private:
    CommStatus(const char* operation, int error) : operation_(operation), error_(error) {}

    const char* operation_ = "";
    int error_ = 0;
};

}  // namespace comm
