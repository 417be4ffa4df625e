#pragma once

#include <string>

namespace comm {

// The device path of the numbered port "COMn": the environment variable COMn when it is set
// (COM1=/dev/ttyUSB0), otherwise /dev/ttyS(n-1).
std::string ComPortPath(int number);

}  // namespace comm
