#include "driver/host/sievra_host.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "driver/link_protocol.h"
#include "driver/link_socket.h"

namespace sievra {

using namespace kernel;

struct SievraHost::Port {
    uint32_t number = 0;
    DeviceObject* physical = nullptr;
    DeviceObject* control = nullptr;
    int listen_fd = -1;
    std::string path;
    std::atomic<bool> busy{false};
    int app_listen_fd = -1;
    std::string app_path;
};

namespace {

// The ports as the host sees them until an application's descriptor is attached: requests
// succeed with no data, and queries report zeros (a baud of 0: no application has the port).
NTSTATUS HostSerialDispatch(DeviceObject*, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    uintptr_t information = 0;
    if (location->MajorFunction == IRP_MJ_WRITE) {
        information = location->Parameters.Length;
    } else if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL && irp->SystemBuffer != nullptr) {
        std::memset(irp->SystemBuffer, 0, location->Parameters.OutputBufferLength);
        information = location->Parameters.OutputBufferLength;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp);
    return STATUS_SUCCESS;
}

// One request off a link socket: its header, then its input bytes. The buffer is sized for
// whichever of input and output is larger, so the reply can be written back into it.
struct LinkRequest {
    uint32_t id = 0;
    uint8_t op = 0;
    uint32_t code = 0;
    uint32_t in = 0;
    uint32_t out = 0;
    std::vector<uint8_t> buffer;
};

enum class RequestRead { kOk, kGone, kOversized };

RequestRead ReadRequest(int fd, LinkRequest& request) {
    uint8_t header[link::kRequestHeaderSize];
    if (!link::ReadFully(fd, header, sizeof header))
        return RequestRead::kGone;
    request.id = GetLe32(header);
    request.op = header[4];
    request.code = GetLe32(header + 5);
    request.in = GetLe32(header + 9);
    request.out = GetLe32(header + 13);
    if (request.in > link::kMaxTransfer || request.out > link::kMaxTransfer)
        return RequestRead::kOversized;
    request.buffer.assign(std::max(request.in, request.out), 0);
    if (request.in > 0 && !link::ReadFully(fd, request.buffer.data(), request.in))
        return RequestRead::kGone;
    return RequestRead::kOk;
}

bool SendResponse(int fd, std::mutex& write_mutex, uint32_t id, int32_t status,
                  uint32_t information, const uint8_t* data, uint32_t length) {
    uint8_t header[link::kResponseHeaderSize];
    PutLe32(header, id);
    PutLe32(header + 4, static_cast<uint32_t>(status));
    PutLe32(header + 8, information);
    PutLe32(header + 12, length);
    std::lock_guard lock(write_mutex);
    if (::send(fd, header, sizeof header, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof header))
        return false;
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

SievraHost::SievraHost(Options options) : options_(std::move(options)) {
    for (auto& f : serial_driver_.MajorFunction)
        f = HostSerialDispatch;
}

SievraHost::~SievraHost() {
    Stop();
    {
        std::lock_guard lock(clients_mutex_);
        for (std::thread& t : clients_)
            t.join();
        clients_.clear();
    }
    for (auto& port : ports_) {
        // The ports go as the platform removes them: the driver tears its devices down.
        if (port->physical->AttachedDevice != nullptr) {
            IoCallDriverAndWait(port->physical->AttachedDevice, IRP_MJ_PNP, nullptr, 0, 0, 0, 0,
                                IRP_MN_REMOVE_DEVICE);
        }
        IoDeleteDevice(port->physical);
        if (port->listen_fd >= 0) {
            ::close(port->listen_fd);
            ::unlink(port->path.c_str());
        }
        if (port->app_listen_fd >= 0) {
            ::close(port->app_listen_fd);
            ::unlink(port->app_path.c_str());
        }
    }
    for (int fd : stop_fd_) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool SievraHost::Start(std::string& error) {
    if (::pipe2(stop_fd_, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    ::mkdir(options_.runtime_dir.c_str(), 0755);
    gid_t group = static_cast<gid_t>(-1);
    if (!options_.group.empty()) {
        struct group* g = ::getgrnam(options_.group.c_str());
        if (g == nullptr) {
            error = "no such group: " + options_.group;
            return false;
        }
        group = g->gr_gid;
    }
    DriverEntry(&driver_);
    for (size_t i = 0; i < options_.ports.size(); ++i) {
        auto port = std::make_unique<Port>();
        IoCreateDevice(&serial_driver_, 0, {}, FILE_DEVICE_SERIAL_PORT, 0, false, &port->physical);
        if (!NT_SUCCESS(AddDevice(&driver_, port->physical)) ||
            port->physical->AttachedDevice == nullptr) {
            error = "the driver did not take port " + options_.ports[i];
            return false;
        }
        port->number = PortsAdded();
        port->control = IoLookupDevice("\\??\\Sievr" + std::to_string(port->number));
        port->path = options_.runtime_dir + "/Sievr" + std::to_string(port->number);
        port->listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (port->path.size() >= sizeof address.sun_path) {
            error = "runtime folder path too long";
            return false;
        }
        std::strcpy(address.sun_path, port->path.c_str());
        ::unlink(port->path.c_str());
        if (::bind(port->listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(port->listen_fd, 4) != 0) {
            error = "cannot listen on " + port->path + ": " + std::strerror(errno);
            return false;
        }
        port->app_path = options_.runtime_dir + "/SievrApp" + std::to_string(port->number);
        port->app_listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un app_address{};
        app_address.sun_family = AF_UNIX;
        std::strcpy(app_address.sun_path, port->app_path.c_str());
        ::unlink(port->app_path.c_str());
        if (::bind(port->app_listen_fd, reinterpret_cast<sockaddr*>(&app_address),
                   sizeof app_address) != 0 ||
            ::listen(port->app_listen_fd, 4) != 0) {
            error = "cannot listen on " + port->app_path + ": " + std::strerror(errno);
            return false;
        }
        for (const std::string& path : {port->path, port->app_path}) {
            if (group != static_cast<gid_t>(-1)) {
                ::chown(path.c_str(), static_cast<uid_t>(-1), group);
                ::chmod(path.c_str(), 0660);
            } else {
                ::chmod(path.c_str(), 0600);
            }
        }
        ports_.push_back(std::move(port));
    }
    return true;
}

void SievraHost::Stop() {
    if (stop_fd_[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_fd_[1], &b, 1);
    }
}

void SievraHost::Serve() {
    std::vector<pollfd> fds;
    for (auto& port : ports_)
        fds.push_back({port->listen_fd, POLLIN, 0});
    for (auto& port : ports_)
        fds.push_back({port->app_listen_fd, POLLIN, 0});
    fds.push_back({stop_fd_[0], POLLIN, 0});
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        if (fds.back().revents & POLLIN)
            return;
        for (size_t i = 0; i < ports_.size(); ++i) {
            if (!(fds[ports_.size() + i].revents & POLLIN))
                continue;
            const int app = ::accept4(ports_[i]->app_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (app < 0)
                continue;
            std::lock_guard lock(clients_mutex_);
            clients_.emplace_back(&SievraHost::ServeApplication, this, std::ref(*ports_[i]), app);
        }
        for (size_t i = 0; i < ports_.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const int client = ::accept4(ports_[i]->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            Port& port = *ports_[i];
            bool expected = false;
            if (!port.busy.compare_exchange_strong(expected, true)) {
                std::mutex m;
                SendResponse(client, m, 0, link::kStatusSharingViolation, 0, nullptr, 0);
                ::close(client);
                continue;
            }
            std::lock_guard lock(clients_mutex_);
            clients_.emplace_back(&SievraHost::ServeClient, this, std::ref(port), client);
        }
    }
}

void SievraHost::ServeClient(Port& port, int fd) {
    std::mutex write_mutex;  // guards the socket's sending side
    std::vector<std::thread> reads;
    SendResponse(fd, write_mutex, 0, STATUS_SUCCESS, 0, nullptr, 0);
    IoCallDriverAndWait(port.control, IRP_MJ_CREATE);
    uint32_t close_id = 0;
    bool closing = false;
    for (;;) {
        LinkRequest request;
        const RequestRead read = ReadRequest(fd, request);
        if (read == RequestRead::kGone)
            break;  // the client is gone: a close
        const uint32_t id = request.id;
        if (read == RequestRead::kOversized) {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
            break;  // the stream cannot be trusted any more
        }
        const uint8_t op = request.op;
        const uint32_t code = request.code;
        const uint32_t in = request.in;
        const uint32_t out = request.out;
        std::vector<uint8_t>& buffer = request.buffer;
        if (op == link::kDeviceControl) {
            const IoStatusBlock s =
                IoCallDriverAndWait(port.control, IRP_MJ_DEVICE_CONTROL,
                                    buffer.empty() ? nullptr : buffer.data(), 0, code, in, out);
            const uint32_t n = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
            SendResponse(fd, write_mutex, id, s.Status, static_cast<uint32_t>(s.Information),
                         buffer.data(), n);
        } else if (op == link::kRead) {
            // The read may wait for records: it completes on its own thread.
            reads.emplace_back([&port, fd, id, out, &write_mutex] {
                std::vector<uint8_t> data(out);
                const IoStatusBlock s = IoCallDriverAndWait(
                    port.control, IRP_MJ_READ, data.empty() ? nullptr : data.data(), out);
                const uint32_t n = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                SendResponse(fd, write_mutex, id, s.Status, n, data.data(), n);
            });
        } else if (op == link::kClose) {
            close_id = id;
            closing = true;
            break;
        } else {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
        }
    }
    IoCallDriverAndWait(port.control, IRP_MJ_CLEANUP);  // ends a waiting read
    for (std::thread& t : reads)
        t.join();
    IoCallDriverAndWait(port.control, IRP_MJ_CLOSE);
    port.busy = false;  // free before the client hears of the close, so it may open again at once
    if (closing)
        SendResponse(fd, write_mutex, close_id, STATUS_SUCCESS, 0, nullptr, 0);
    ::close(fd);
}

void SievraHost::ServeApplication(Port& port, int fd) {
    std::mutex write_mutex;                             // guards the socket's sending side
    DeviceObject* top = port.physical->AttachedDevice;  // the port's filter device
    for (;;) {
        LinkRequest request;
        const RequestRead read = ReadRequest(fd, request);
        if (read == RequestRead::kGone)
            break;
        const uint32_t id = request.id;
        if (read == RequestRead::kOversized) {
            SendResponse(fd, write_mutex, id, link::kStatusInvalidRequest, 0, nullptr, 0);
            break;
        }
        const uint8_t op = request.op;
        const uint32_t code = request.code;
        const uint32_t in = request.in;
        const uint32_t out = request.out;
        std::vector<uint8_t>& buffer = request.buffer;
        void* data = buffer.empty() ? nullptr : buffer.data();
        IoStatusBlock s;
        uint32_t reply_length = 0;
        switch (op) {
            case link::kAppCreate:
                s = IoCallDriverAndWait(top, IRP_MJ_CREATE);
                break;
            case link::kClose:
                s = IoCallDriverAndWait(top, IRP_MJ_CLEANUP);
                s = IoCallDriverAndWait(top, IRP_MJ_CLOSE);
                break;
            case link::kAppWrite:
                s = IoCallDriverAndWait(top, IRP_MJ_WRITE, data, in);
                break;
            case link::kRead:
                s = IoCallDriverAndWait(top, IRP_MJ_READ, data, out);
                reply_length = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                break;
            case link::kDeviceControl:
                s = IoCallDriverAndWait(top, IRP_MJ_DEVICE_CONTROL, data, 0, code, in, out);
                reply_length = static_cast<uint32_t>(std::min<uintptr_t>(s.Information, out));
                break;
            default:
                s.Status = link::kStatusInvalidRequest;
                break;
        }
        if (!SendResponse(fd, write_mutex, id, s.Status, static_cast<uint32_t>(s.Information),
                          buffer.data(), reply_length)) {
            break;
        }
    }
    ::close(fd);
}

}  // namespace sievra
