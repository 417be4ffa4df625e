#include "platform/devicemap/port_identity.h"

#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

#include "platform/comm/rfc2217_serial_device.h"
#include "platform/comm/serial_device.h"
#include "platform/devicemap/device_map.h"
#include "platform/devicemap/listed_ports.h"

namespace devicemap {
namespace {

namespace fs = std::filesystem;

constexpr char kByIdFolder[] = "/dev/serial/by-id/";
constexpr char kByPathFolder[] = "/dev/serial/by-path/";

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
};
struct DeviceUnref {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
struct EnumerateUnref {
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
struct HwdbUnref {
    void operator()(udev_hwdb* h) const { udev_hwdb_unref(h); }
};
using Udev = std::unique_ptr<udev, UdevUnref>;
using UdevDevice = std::unique_ptr<udev_device, DeviceUnref>;

std::string Text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

// The length of the well-formed UTF-8 character at text[i] that is no control character (C1
// controls, U+0080 to U+009F, included); 0 when there is none.
size_t PrintableCharacterAt(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    if (lead < 0x80)
        return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    const size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4
                          : lead >= 0xE0               ? 3
                          : lead >= 0xC2               ? 2
                                                       : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    }
    return lead == 0xC2 && byte(i + 1) < 0xA0 ? 0 : length;
}

// Names that come from devices and processes (a USB product string, a process's own name) may
// hold anything: control characters and malformed bytes are shown as "\xNN", so that printing
// them never drives the reader's terminal.
std::string Printable(const std::string& text) {
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        if (const size_t length = PrintableCharacterAt(text, i); length > 0) {
            shown.append(text, i, length);
            i += length;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<uint8_t>(text[i++]));
        shown += escaped;
    }
    return shown;
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The links udev made to a device: its database's list, or else the DEVLINKS property (which a
// device announced by its uevent alone carries).
std::vector<std::string> LinksOf(udev_device* tty) {
    std::vector<std::string> links;
    udev_list_entry* link;
    udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(tty)) {
        links.push_back(Text(udev_list_entry_get_name(link)));
    }
    if (links.empty()) {
        std::istringstream listed(Text(udev_device_get_property_value(tty, "DEVLINKS")));
        for (std::string name; listed >> name;)
            links.push_back(name);
    }
    return links;
}

// The tty device whose node is devnode ("/dev/ttyUSB0"); null when udev knows none.
UdevDevice TtyWithNode(udev* context, const std::string& devnode) {
    const std::string name = fs::path(devnode).filename().string();
    UdevDevice tty(udev_device_new_from_subsystem_sysname(context, "tty", name.c_str()));
    if (!tty || Text(udev_device_get_devnode(tty.get())) != devnode)
        return nullptr;
    return tty;
}

// The node of the tty device that udev gave the link, such as a by-id name; empty when none.
// udev's database is asked rather than the link followed, because what a link leads to is only
// a file, while the database says which device the name stands for.
std::string NodeOfLink(udev* context, const std::string& link) {
    std::unique_ptr<udev_enumerate, EnumerateUnref> walk(udev_enumerate_new(context));
    if (!walk || udev_enumerate_add_match_subsystem(walk.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(walk.get()) < 0)
        return {};
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(walk.get())) {
        UdevDevice tty(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (!tty)
            continue;
        const std::vector<std::string> links = LinksOf(tty.get());
        if (std::find(links.begin(), links.end(), link) != links.end())
            return Text(udev_device_get_devnode(tty.get()));
    }
    return {};
}

// The name the USB id database gives key ("ID_VENDOR_FROM_DATABASE") for the ids.
std::string FromUsbDatabase(udev* context, const std::string& vendor_id,
                            const std::string& product_id, const char* key) {
    std::unique_ptr<udev_hwdb, HwdbUnref> hwdb(udev_hwdb_new(context));
    if (!hwdb)
        return {};
    std::string modalias = "usb:v" + vendor_id;
    if (!product_id.empty())
        modalias += "p" + product_id;
    modalias += "*";
    udev_list_entry* entry;
    udev_list_entry_foreach(entry,
                            udev_hwdb_get_properties_list_entry(hwdb.get(), modalias.c_str(), 0)) {
        if (Text(udev_list_entry_get_name(entry)) == key)
            return Text(udev_list_entry_get_value(entry));
    }
    return {};
}

// Fills in what udev knows of the tty device: its links, driver and USB adapter.
void AddUdevIdentity(udev* context, udev_device* tty, PortIdentity& id) {
    for (const std::string& name : LinksOf(tty)) {
        if (StartsWith(name, kByIdFolder))
            id.by_id.push_back(name);
        else if (StartsWith(name, kByPathFolder))
            id.by_path.push_back(name);
    }
    std::sort(id.by_id.begin(), id.by_id.end());
    std::sort(id.by_path.begin(), id.by_path.end());
    // The driver is the one bound to the device behind the tty (or the nearest one above it):
    // the usb-serial port's for ttyUSB, the USB interface's for ttyACM, the platform's or PnP's
    // for ttyS. The serial core's own port and controller devices ("serial-base") stand between
    // a UART and its driver on newer kernels; their generic drivers say nothing.
    for (udev_device* up = udev_device_get_parent(tty); up != nullptr && id.driver.empty();
         up = udev_device_get_parent(up)) {
        if (Text(udev_device_get_subsystem(up)) != "serial-base")
            id.driver = Text(udev_device_get_driver(up));
    }
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (usb == nullptr)
        return;
    id.vendor_id = Text(udev_device_get_sysattr_value(usb, "idVendor"));
    id.product_id = Text(udev_device_get_sysattr_value(usb, "idProduct"));
    id.vendor = Text(udev_device_get_sysattr_value(usb, "manufacturer"));
    id.product = Text(udev_device_get_sysattr_value(usb, "product"));
    id.serial = Text(udev_device_get_sysattr_value(usb, "serial"));
    if (id.vendor.empty() && !id.vendor_id.empty())
        id.vendor = FromUsbDatabase(context, id.vendor_id, "", "ID_VENDOR_FROM_DATABASE");
    if (id.product.empty() && !id.vendor_id.empty())
        id.product =
            FromUsbDatabase(context, id.vendor_id, id.product_id, "ID_MODEL_FROM_DATABASE");
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// "PID (comm)" of the first process with a descriptor open on the device at path; empty when
// none is seen (another user's descriptors are hidden from a user who is not root). Only
// descriptors the kernel names under /dev are followed: following one into a stalled file system
// (a user's FUSE mount) would stall whoever asks.
std::string HolderOf(const std::string& path) {
    struct stat device;
    if (::stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode))
        return {};
    std::error_code ec;
    std::vector<long> pids;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit))
            pids.push_back(std::stol(name));
    }
    std::sort(pids.begin(), pids.end());
    for (long pid : pids) {
        const std::string fd_folder = "/proc/" + std::to_string(pid) + "/fd";
        std::error_code fd_ec;
        for (const fs::directory_entry& fd : fs::directory_iterator(fd_folder, fd_ec)) {
            char target[5];
            if (::readlink(fd.path().c_str(), target, sizeof target) != sizeof target ||
                std::string_view(target, sizeof target) != "/dev/")
                continue;
            struct stat open_file;
            if (::stat(fd.path().c_str(), &open_file) == 0 && S_ISCHR(open_file.st_mode) &&
                open_file.st_rdev == device.st_rdev) {
                return std::to_string(pid) + " (" +
                       ReadFirstLine("/proc/" + std::to_string(pid) + "/comm") + ")";
            }
        }
    }
    return {};
}

// The map entry whose port name is port_name, when PORVANE_DEVICE_MAP names a map file.
std::optional<DeviceMapEntry> MapFileEntry(const std::string& port_name) {
    const char* file = std::getenv("PORVANE_DEVICE_MAP");
    if (file == nullptr || *file == '\0')
        return std::nullopt;
    std::optional<DeviceMap> map = ReadDeviceMapFile(file);
    if (!map)
        return std::nullopt;
    for (const DeviceMapEntry& entry : map->entries) {
        if (entry.port == port_name)
            return entry;
    }
    return std::nullopt;
}

std::string ResolvedWith(udev* context, const std::string& port_name) {
    const std::string path = comm::DevicePathForPort(port_name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return fs::path(path).lexically_normal().string();
    if (!S_ISLNK(st.st_mode))
        return fs::path(path).lexically_normal().string();
    if (context != nullptr) {
        if (std::string node = NodeOfLink(context, path); !node.empty())
            return node;
    }
    std::error_code ec;
    fs::path real = fs::canonical(path, ec);
    return ec ? path : real.string();
}

}  // namespace

std::string ResolvedDevicePath(const std::string& port_name) {
    Udev context(udev_new());
    return ResolvedWith(context.get(), port_name);
}

bool SameDevicePath(const std::string& a, const std::string& b) {
    if (a == b)
        return true;
    Udev context(udev_new());
    return ResolvedWith(context.get(), a) == ResolvedWith(context.get(), b);
}

std::optional<PortIdentity> IdentifyPort(const std::string& port_name) {
    if (port_name.empty())
        return std::nullopt;
    // A port on another machine has no device here: it is known by its name and its server.
    if (const std::string opened = PortToOpen(port_name); comm::IsRemotePortName(opened)) {
        PortIdentity remote;
        remote.device = port_name;
        remote.path = opened;
        return remote;
    }
    Udev context(udev_new());
    const std::optional<DeviceMapEntry> mapped = MapFileEntry(port_name);
    PortIdentity id;
    id.path = ResolvedWith(context.get(), mapped ? mapped->port : port_name);
    struct stat st;
    if (::stat(id.path.c_str(), &st) != 0)
        return std::nullopt;
    id.device = mapped ? mapped->device : fs::path(id.path).filename().string();
    if (context) {
        if (UdevDevice tty = TtyWithNode(context.get(), id.path))
            AddUdevIdentity(context.get(), tty.get(), id);
    }
    id.holder = HolderOf(id.path);
    for (std::string* name : {&id.vendor, &id.product, &id.serial, &id.driver, &id.holder})
        *name = Printable(*name);
    return id;
}

bool SameAdapter(const PortIdentity& a, const PortIdentity& b) {
    // A by-id name holds the adapter's serial number and the interface, so it tells the ports
    // of a two-port adapter apart, which share one serial number.
    if (!a.by_id.empty() && !b.by_id.empty()) {
        return std::any_of(a.by_id.begin(), a.by_id.end(), [&](const std::string& name) {
            return std::find(b.by_id.begin(), b.by_id.end(), name) != b.by_id.end();
        });
    }
    return !a.serial.empty() && a.serial == b.serial && a.vendor_id == b.vendor_id &&
           a.product_id == b.product_id;
}

}  // namespace devicemap
