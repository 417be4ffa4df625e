#include "platform/devicemap/device_map.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
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

int UartType(const fs::path& attribute) {
    std::ifstream type(attribute);
    int value = 0;
    return type >> value ? value : 0;
}

// What the map needs to know of one tty: its name, whether its device has a driver bound, and
// its UART type (0 when unknown or not an 8250 port).
struct TtyFacts {
    std::string name;
    bool has_driver = false;
    int uart_type = 0;
};

// The serial ports among the ttys: those with a driver behind them (virtual consoles and
// pseudo-terminals have none), 8250 slots only with a UART found behind them; sorted by name,
// numbers in numeric order.
DeviceMap SerialPortMap(std::string source, std::vector<TtyFacts> ttys) {
    std::erase_if(ttys, [](const TtyFacts& tty) {
        return !tty.has_driver || (tty.name.rfind("ttyS", 0) == 0 && tty.uart_type == 0);
    });
    std::sort(ttys.begin(), ttys.end(), [](const TtyFacts& a, const TtyFacts& b) {
        return SplitNumber(a.name) < SplitNumber(b.name);
    });
    DeviceMap map{std::move(source), {}};
    for (const TtyFacts& tty : ttys)
        map.entries.push_back({tty.name, tty.name});
    return map;
}

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
};
struct EnumerateUnref {
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
struct DeviceUnref {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

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
    if (std::optional<DeviceMap> map = ReadUdevDeviceMap())
        return map;
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
    std::vector<TtyFacts> ttys;
    for (const fs::directory_entry& entry : it) {
        const fs::path tty = entry.path();
        std::error_code link_ec;
        ttys.push_back({tty.filename().string(), fs::exists(tty / "device" / "driver", link_ec),
                        UartType(tty / "type")});
    }
    return SerialPortMap(class_dir.string(), std::move(ttys));
}

std::optional<DeviceMap> ReadUdevDeviceMap() {
    std::unique_ptr<udev, UdevUnref> context(udev_new());
    if (!context)
        return std::nullopt;
    std::unique_ptr<udev_enumerate, EnumerateUnref> walk(udev_enumerate_new(context.get()));
    if (!walk || udev_enumerate_add_match_subsystem(walk.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(walk.get()) < 0)
        return std::nullopt;
    std::vector<TtyFacts> ttys;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(walk.get())) {
        std::unique_ptr<udev_device, DeviceUnref> tty(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty)
            continue;
        // The parent is the device the tty's "device" link leads to; virtual ttys have none.
        udev_device* parent = udev_device_get_parent(tty.get());
        const char* type = udev_device_get_sysattr_value(tty.get(), "type");
        ttys.push_back({udev_device_get_sysname(tty.get()),
                        parent != nullptr && udev_device_get_driver(parent) != nullptr,
                        type != nullptr ? std::atoi(type) : 0});
    }
    return SerialPortMap("/sys/class/tty", std::move(ttys));
}

std::string FormatDeviceMap(const DeviceMap& map) {
    std::ostringstream out;
    for (const DeviceMapEntry& entry : map.entries) {
        out << entry.device << '=' << entry.port << '\n';
    }
    return out.str();
}

}  // namespace devicemap
