#include "porvane/cli/open_message.h"

#include <filesystem>

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

// Follows the links by hand: a path that is no link has nothing behind it, and realpath is
// left alone (some preloaded libraries that fake devices get it wrong).
std::string DeviceBehind(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path at = path;
    int hops = 0;
    for (; hops < 40 && fs::is_symlink(fs::symlink_status(at, error)); ++hops) {
        const fs::path target = fs::read_symlink(at, error);
        if (error)
            return {};
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    if (hops == 0)
        return {};
    return at.lexically_normal().string();
}

std::string PortGoneMessage(const std::string& path, const std::string& device_behind) {
    std::string message = std::string(serial::kMessagePortGone) + ": " + path;
    if (!device_behind.empty())
        message += " (" + device_behind + ")";
    return message;
}

}  // namespace porvane::cli
