#include "porvane/cli/open_message.h"

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

}  // namespace porvane::cli
