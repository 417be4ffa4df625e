#include "porvane/cli/open_message.h"

#include <climits>
#include <cstdlib>

#include "porvane/serial/serial_channel.h"

namespace porvane::cli {

std::string WithOpenFailure(const std::string& message, const comm::RecordingOpener& opener) {
    if (message == serial::kMessagePortBusy && opener.failed()) {
        return message + " (" + opener.Describe() + ")";
    }
    return message;
}

std::string OpenFailureMessage(const std::string& message, const comm::RecordingOpener& opener) {
    if (message == serial::kMessagePortBusy && opener.failed() && !opener.InUse())
        return "porvane-cli: " + opener.Describe();
    return WithOpenFailure(message, opener);
}

std::string DeviceBehind(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr || path == resolved)
        return {};
    return resolved;
}

std::string PortGoneMessage(const std::string& path, const std::string& device_behind) {
    std::string message = std::string(serial::kMessagePortGone) + ": " + path;
    if (!device_behind.empty())
        message += " (" + device_behind + ")";
    return message;
}

}  // namespace porvane::cli
