#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/comm/comm_status.h"

namespace comm {

// A process that holds a port open.
struct PortHolder {
    pid_t pid = 0;
    std::string name;  // the program's name as /proc/<pid>/comm gives it
};

// The processes other than this one that hold the device behind path: the holder of its
// exclusive lock (/proc/locks) when there is one, otherwise every process with the device among
// its open files (/proc/*/fd, as far as they are readable). Empty when the system does not say.
std::vector<PortHolder> FindPortHolders(const std::string& path);

// Why opening path failed, in words for the command line: "<path>: No such file or directory",
// "<path>: not a serial port", "<path>: Permission denied; members of group dialout may open it"
// (with a word for a member whose login began before joining), or for a port another program
// holds "<path>: in use by process 1234 (minicom)" where the system tells who.
std::string DescribeOpenFailure(const std::string& path, const CommStatus& status);

}  // namespace comm
