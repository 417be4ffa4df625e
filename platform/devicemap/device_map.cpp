#include "platform/devicemap/device_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace devicemap {
namespace {

namespace fs = std::filesystem;

std::string Trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

// "ttyUSB10" -> ("ttyUSB", 10); a name without a trailing number sorts after its numbered kin.
std::pair<std::string, long> SplitNumber(const std::string& name) {
    size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) {
        --digits;
    }
    if (digits == name.size() || name.size() - digits > 9) {
        return {name, -1};
    }
    return {name.substr(0, digits), std::stol(name.substr(digits))};
}

bool KnownUartType(const fs::path& tty) {
    std::ifstream type(tty / "type");
    int value = 0;
    return type >> value && value != 0;
}

// The map file's bytes: only a regular file (a folder, a FIFO or a device is refused, and a FIFO
// never waited on) of at most kMaxDeviceMapBytes; false with errno saying why not.
bool ReadMapBytes(const std::string& path, std::string& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    int error = ::fstat(fd, &st) != 0             ? errno
                : S_ISDIR(st.st_mode)             ? EISDIR
                : !S_ISREG(st.st_mode)            ? EINVAL
                : st.st_size > kMaxDeviceMapBytes ? EFBIG
                                                  : 0;
    char chunk[4096];
    while (error == 0) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            break;
        if (n < 0 && errno != EINTR)
            error = errno;
        else if (n > 0 && bytes.size() + static_cast<size_t>(n) > kMaxDeviceMapBytes)
            error = EFBIG;  // grew while being read
        else if (n > 0)
            bytes.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    errno = error;
    return error == 0;
}

}  // namespace

std::optional<DeviceMap> ReadDeviceMap() {
    if (const char* file = std::getenv("PORVANE_DEVICE_MAP"); file != nullptr && *file != '\0') {
        return ReadDeviceMapFile(file);
    }
    return ReadSysfsDeviceMap();
}

std::string DeviceMapFileProblem() {
    const char* file = std::getenv("PORVANE_DEVICE_MAP");
    if (file == nullptr || *file == '\0')
        return {};
    std::string bytes;
    if (ReadMapBytes(file, bytes))
        return {};
    return std::string("PORVANE_DEVICE_MAP names ") + file +
           ", which cannot be read: " + std::strerror(errno);
}

std::optional<DeviceMap> ReadDeviceMapFile(const std::string& path) {
    std::string bytes;
    if (!ReadMapBytes(path, bytes))
        return std::nullopt;
    std::istringstream in(bytes);
    DeviceMap map{path, {}};
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string device = Trim(line.substr(0, eq));
        std::string port = Trim(line.substr(eq + 1));
        if (device.empty() || port.empty()) {
            continue;
        }
        map.entries.push_back({device, port});
    }
    return map;
}

std::optional<DeviceMap> ReadSysfsDeviceMap(const std::string& sysfs_root) {
    const fs::path class_dir = fs::path(sysfs_root) / "class" / "tty";
    std::error_code ec;
    fs::directory_iterator it(class_dir, ec);
    if (ec) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : it) {
        const fs::path tty = entry.path();
        std::error_code link_ec;
        if (!fs::exists(tty / "device" / "driver", link_ec)) {
            continue;  // virtual consoles, pseudo-terminals: no driver behind them
        }
        std::string name = tty.filename().string();
        if (name.rfind("ttyS", 0) == 0 && !KnownUartType(tty)) {
            continue;  // an 8250 slot with no UART found behind it
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return SplitNumber(a) < SplitNumber(b);
    });
    DeviceMap map{class_dir.string(), {}};
    for (const std::string& name : names) {
        map.entries.push_back({name, name});
    }
    return map;
}

std::string FormatDeviceMap(const DeviceMap& map) {
    std::ostringstream out;
    for (const DeviceMapEntry& entry : map.entries) {
        out << entry.device << '=' << entry.port << '\n';
    }
    return out.str();
}

}  // namespace devicemap
