#include "porvane/capture/serial_call.h"

#include <charconv>

namespace porvane::capture {
namespace {

constexpr char kUnknownProcess[] = "process not known";
constexpr char kPidOpen[] = " (pid ";

}  // namespace

std::string ProcessComment(const CallProcess& process) {
    if (process.pid <= 0)
        return kUnknownProcess;
    return process.name + kPidOpen + std::to_string(process.pid) + ")";
}

std::optional<CallProcess> ParseProcessComment(const std::string& comment) {
    if (comment == kUnknownProcess)
        return CallProcess{};
    const size_t open = comment.rfind(kPidOpen);
    if (open == std::string::npos || comment.empty() || comment.back() != ')')
        return std::nullopt;
    const char* first = comment.data() + open + sizeof kPidOpen - 1;
    const char* last = comment.data() + comment.size() - 1;
    int pid = 0;
    const auto [end, ec] = std::from_chars(first, last, pid);
    if (ec != std::errc() || end != last || pid <= 0)
        return std::nullopt;
    return CallProcess{static_cast<pid_t>(pid), comment.substr(0, open)};
}

}  // namespace porvane::capture
