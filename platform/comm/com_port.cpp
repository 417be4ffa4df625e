#include "platform/comm/com_port.h"

#include <cstdlib>

namespace comm {

std::string ComPortPath(int number) {
    const std::string name = "COM" + std::to_string(number);
    if (const char* path = std::getenv(name.c_str()); path != nullptr && *path != '\0') {
        return path;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace comm
