#include "platform/comm/comm_status.h"

#include <cstring>

namespace comm {

std::string CommStatus::Describe() const {
    if (ok()) {
        return "ok";
    }
    return std::string(operation_) + ": " + std::strerror(error_) + " (" + std::to_string(error_) +
           ")";
}

}  // namespace comm
