#pragma once

#include <string>

#include "platform/comm/recording_opener.h"

namespace porvane::cli {

// The channel's message as the command line prints it: "串口被占用!!" gains the port and the
// reason of the failed open ("串口被占用!! (/tmp/nonexist: No such file or directory)"); the
// windows show the message alone.
std::string WithOpenFailure(const std::string& message, const comm::RecordingOpener& opener);

// The same with the cause first: "串口被占用!!" stays only for a port that is in use; any other
// failed open is "porvane-cli: <path>: <reason>" ("porvane-cli: /dev/ttyUSB0: Permission denied;
// members of group dialout may open it").
std::string OpenFailureMessage(const std::string& message, const comm::RecordingOpener& opener);

// The device a port's path leads to, taken as the port is opened (a link that vanishes with its
// port cannot be followed afterwards); empty when the path is the device itself or not a file.
std::string DeviceBehind(const std::string& path);

// "串口已断开: PATH", with the device the path led to when it is a link:
// "串口已断开: /dev/serial/by-id/usb-... (/dev/ttyUSB0)".
std::string PortGoneMessage(const std::string& path, const std::string& device_behind);

}  // namespace porvane::cli
