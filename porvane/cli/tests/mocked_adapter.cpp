// A USB serial adapter that a test plugs in and pulls out, mocked with umockdev, and a command
// that runs beside it. Run it under umockdev-wrapper:
//
//   umockdev-wrapper mocked_adapter [--unplugged] COMMAND [ARGS...]
//
// The command sees a sysfs and /dev with the adapter (an FTDI-like USB device, its interface,
// the usb-serial port and the tty with its by-id and by-path links); its tty is a pseudo-terminal
// whose far end stays here. The command's standard output and error both go to ours, so a test
// reads one stream; its standard input is a pipe fed by "type". Lines on our standard input:
//
//   plug         the adapter arrives (ttyUSB0 the first time, then ttyUSB1, ...: a replugged
//                adapter gets a new name while the old one is still held, as with the kernel)
//   unplug       it departs: its tty is hung up, udev says "remove", sysfs and links go
//                (the hang-up needs CAP_SYS_ADMIN: "cannot hang up" says when it fails)
//   send TEXT    the adapter receives TEXT from its line (the command reads it from the port)
//   type TEXT    TEXT and a line end on the command's standard input
//   speed        prints "mocked_adapter: speed N", the port's baud rate as last set
//   interrupt    sends the command SIGINT
//
// What the command writes to the port is printed as "mocked_adapter: received TEXT". The end of
// our standard input closes the command's; we exit with the command's status once it ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kUsbDevice[] = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr char kByIdLink[] = "serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
constexpr char kByPathLink[] = "serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";

void Say(const std::string& text) {
    std::printf("mocked_adapter: %s\n", text.c_str());
    std::fflush(stdout);
}

// The adapter as umockdev-record would describe it, with its tty named name.
std::string AdapterDescription(const std::string& name, int minor) {
    const std::string usb = kUsbDevice;
    const std::string port = usb + "/1-1:1.0/" + name;
    return "P: " + usb +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
           "A: idVendor=0403\nA: idProduct=6001\nA: manufacturer=FTDI\n"
           "A: product=FT232R USB UART\nA: serial=A1B2C3\n\n"
           "P: " +
           usb +
           "/1-1:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n"
           "L: driver=../../../../../bus/usb/drivers/ftdi_sio\n\n"
           "P: " +
           port +
           "\nE: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\n"
           "L: driver=../../../../../../bus/usb-serial/drivers/ftdi_sio\n\n"
           "P: " +
           port + "/tty/" + name + "\nN: " + name + "\nS: " + kByIdLink + "\nS: " + kByPathLink +
           "\nE: DEVNAME=" + name +
           "\nE: SUBSYSTEM=tty\nE: MAJOR=188\nE: MINOR=" + std::to_string(minor) +
           "\nE: DEVLINKS=/dev/" + kByIdLink + " /dev/" + kByPathLink +
           "\nA: dev=188:" + std::to_string(minor) + "\nL: device=../../../" + name + "\n\n";
}

class Adapter {
  public:
    Adapter() : testbed_(umockdev_testbed_new()) {
        // The driver folders the "driver" links lead to, as the kernel has them.
        const std::string sys = Owned(umockdev_testbed_get_sys_dir(testbed_));
        fs::create_directories(sys + "/bus/usb/drivers/ftdi_sio");
        fs::create_directories(sys + "/bus/usb-serial/drivers/ftdi_sio");
        root_ = Owned(umockdev_testbed_get_root_dir(testbed_));
        // umockdev answers the ioctls of its nodes itself and knows none of a serial port's
        // (termios, modem lines, exclusive use): this answerer carries each one out on the
        // pseudo-terminal behind the node instead, as the port's own driver would.
        passthrough_ = umockdev_ioctl_base_new();
        g_signal_connect(passthrough_, "handle-ioctl", G_CALLBACK(&Adapter::CarryOut), nullptr);
    }

    // Takes the testbed's folder away (the program ends without the testbed's own clean-up).
    void RemoveFolder() const {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    bool plugged() const { return !name_.empty(); }
    int far_end() const { return far_end_; }

    bool Plug() {
        if (plugged())
            return false;
        name_ = "ttyUSB" + std::to_string(plugs_);
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed_, AdapterDescription(name_, plugs_).c_str(),
                                              &error)) {
            Say(std::string("cannot add the adapter: ") + error->message);
            g_error_free(error);
            name_.clear();
            return false;
        }
        ++plugs_;
        const std::string node = "/dev/" + name_;
        far_end_ = umockdev_testbed_get_dev_fd(testbed_, node.c_str());
        // umockdev finds the answerer by the name a node was opened by: the links need theirs.
        std::vector<std::string> names = {node};
        if (plugs_ == 1)  // the links keep their names from plug to plug
            names.insert(names.end(),
                         {std::string("/dev/") + kByIdLink, std::string("/dev/") + kByPathLink});
        for (const std::string& name : names) {
            if (!umockdev_testbed_attach_ioctl(testbed_, name.c_str(), passthrough_, &error)) {
                Say("cannot answer the ioctls of " + name + ": " + error->message);
                g_clear_error(&error);
            }
        }
        umockdev_testbed_uevent(testbed_, TtyPath().c_str(), "add");
        Say("plugged " + name_);
        return true;
    }

    bool Unplug() {
        if (!plugged())
            return false;
        // The line goes dead first, as the kernel hangs up a pulled adapter's tty: the port's
        // user sees a hang-up. (umockdev keeps the far end open, so closing it would not do.)
        if (!HangUp())
            return false;
        far_end_ = -1;
        // udev says "remove" while the device is still described, then the kernel's folders and
        // udev's links go, child devices first.
        umockdev_testbed_uevent(testbed_, TtyPath().c_str(), "remove");
        const std::string usb = std::string("/sys") + kUsbDevice;
        for (const std::string& device :
             {TtyPath(), usb + "/1-1:1.0/" + name_, usb + "/1-1:1.0", usb}) {
            umockdev_testbed_remove_device(testbed_, device.c_str());
        }
        fs::remove(root_ + "/dev/" + kByIdLink);
        fs::remove(root_ + "/dev/" + kByPathLink);
        Say("unplugged " + name_);
        name_.clear();
        return true;
    }

    std::string TtyPath() const {
        return std::string("/sys") + kUsbDevice + "/1-1:1.0/" + name_ + "/tty/" + name_;
    }

  private:
    bool HangUp() const {
        char slave[64];
        if (::ptsname_r(far_end_, slave, sizeof slave) != 0) {
            Say(std::string("ptsname: ") + std::strerror(errno));
            return false;
        }
        const int fd = ::open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // Straight to the kernel: umockdev's wrapper of ioctl stands in this program's way too.
        const bool done = fd >= 0 && ::syscall(SYS_ioctl, fd, TIOCVHANGUP, 0) == 0;
        if (!done)
            Say(std::string("cannot hang up ") + slave + ": " + std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return done;
    }

    static gboolean CarryOut(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
        int error = 0;
        const int result = umockdev_ioctl_client_execute(client, &error, nullptr);
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    }

    static std::string Owned(gchar* text) {
        std::string copy = text;
        g_free(text);
        return copy;
    }

    UMockdevTestbed* testbed_;        // lives as long as the program
    UMockdevIoctlBase* passthrough_;  // answers the ioctls of every node
    std::string root_;
    std::string name_;  // the tty's name while plugged in
    int plugs_ = 0;
    int far_end_ = -1;  // the pseudo-terminal's master, owned by the testbed
};

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void Obey(const std::string& line, Adapter& adapter, pid_t child, int& child_input) {
    const size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (word == "plug") {
        if (!adapter.Plug())
            Say("already plugged in");
    } else if (word == "unplug") {
        if (!adapter.Unplug())
            Say("not plugged in");
    } else if (word == "send" && adapter.plugged()) {
        WriteAll(adapter.far_end(), rest);
    } else if (word == "type" && child_input >= 0) {
        WriteAll(child_input, rest + "\n");
    } else if (word == "speed" && adapter.plugged()) {
        termios t{};
        ::tcgetattr(adapter.far_end(), &t);
        static const std::pair<speed_t, int> kRates[] = {
            {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
            {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
        int rate = 0;
        for (const auto& [code, value] : kRates) {
            if (cfgetospeed(&t) == code)
                rate = value;
        }
        Say("speed " + std::to_string(rate));
    } else if (word == "interrupt") {
        ::kill(child, SIGINT);
    } else {
        Say("cannot do: " + line);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    const bool unplugged = argc > 1 && std::strcmp(argv[1], "--unplugged") == 0;
    if (unplugged)
        ++first;
    if (first >= argc) {
        std::fprintf(stderr, "usage: umockdev-wrapper mocked_adapter [--unplugged] COMMAND...\n");
        return 2;
    }
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev") == nullptr) {
        std::fprintf(stderr, "mocked_adapter: run me under umockdev-wrapper\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    Adapter adapter;
    if (!unplugged && !adapter.Plug())
        return 1;

    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        return 1;
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the adapter it runs beside
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(STDOUT_FILENO, STDERR_FILENO);
        ::execvp(argv[first], argv + first);
        std::fprintf(stderr, "mocked_adapter: %s: %s\n", argv[first], std::strerror(errno));
        ::_exit(127);
    }
    ::close(input[0]);
    int child_input = input[1];
    const int child_end = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));

    std::string pending;
    bool control_open = true;
    for (;;) {
        pollfd fds[3] = {{control_open ? STDIN_FILENO : -1, POLLIN, 0},
                         {child_end, POLLIN, 0},
                         {adapter.plugged() ? adapter.far_end() : -1, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN)
            break;
        if (fds[2].revents & POLLIN) {
            char bytes[256];
            const ssize_t n = ::read(adapter.far_end(), bytes, sizeof bytes);
            if (n > 0)
                Say("received " + std::string(bytes, static_cast<size_t>(n)));
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char bytes[256];
            const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (n <= 0) {
                control_open = false;
                if (child_input >= 0)
                    ::close(std::exchange(child_input, -1));
                continue;
            }
            pending.append(bytes, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                if (end > 0)
                    Obey(pending.substr(0, end), adapter, child, child_input);
                pending.erase(0, end + 1);
            }
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::fflush(stdout);
    // The testbed's own clean-up would close the far ends this program closed already.
    adapter.RemoveFolder();
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
