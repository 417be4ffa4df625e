#include "porvane/monitor/driver_link.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"

namespace porvane::monitor {
namespace {
constexpr int kCloseReplyLimitMs = 5000;
}  // namespace

std::string DriverLink::RuntimeDir() {
    const char* dir = std::getenv("SIEVRA_RUNTIME_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/run/sievra";
}

DriverLink::DriverLink(std::string runtime_dir, int reply_limit_ms)
    : runtime_dir_(std::move(runtime_dir)), reply_limit_ms_(reply_limit_ms) {}

DriverLink::~DriverLink() {
    Close();
}

bool DriverLink::IsOpen() const {
    std::lock_guard lock(mutex_);
    return !closed_;
}

int DriverLink::HostPortIndex(const std::string& port_name, int list_index) const {
    std::ifstream map(runtime_dir_ + "/SievrMap");
    if (!map)
        return list_index;
    const std::string path =
        !port_name.empty() && port_name[0] == '/' ? port_name : "/dev/" + port_name;
    struct stat st {};
    const bool device = ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    // "<n> <major> <minor> <path>" a line.
    std::string line;
    while (std::getline(map, line)) {
        std::istringstream fields(line);
        long number = 0;
        unsigned major_number = 0;
        unsigned minor_number = 0;
        std::string listed;
        if (!(fields >> number >> major_number >> minor_number) || number <= 0)
            continue;
        std::getline(fields >> std::ws, listed);
        if (listed == path || (device && st.st_rdev == makedev(major_number, minor_number))) {
            return static_cast<int>(number - 1);
        }
    }
    return -1;
}

bool DriverLink::Open(int port_index) {
    Close();
    open_failure_ = OpenFailure::kNoHost;
    denied_device_.clear();
    if (port_index < 0)
        return false;
    const int fd =
        sievra::link::ConnectTo(runtime_dir_ + "/Sievr" + std::to_string(port_index + 1));
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM)
            open_failure_ = OpenFailure::kAccessDenied;
        return false;
    }
    // Records and forwarded answers are believed only from a host of root or of this user.
    ucred host{};
    socklen_t length = sizeof host;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &host, &length) != 0 ||
        (host.uid != 0 && host.uid != ::geteuid())) {
        ::close(fd);
        open_failure_ = OpenFailure::kUntrustedHost;
        return false;
    }
    uint8_t welcome[sievra::link::kResponseHeaderSize];
    if (!sievra::link::ReadFully(fd, welcome, sizeof welcome)) {
        ::close(fd);
        return false;
    }
    const auto status = static_cast<int32_t>(sievra::GetLe32(welcome + 4));
    if (status != 0) {
        if (status == sievra::link::kStatusSharingViolation) {
            open_failure_ = OpenFailure::kInUse;
        } else if (status == sievra::link::kStatusAccessDenied) {
            open_failure_ = OpenFailure::kAccessDenied;
            const uint32_t length = sievra::GetLe32(welcome + 12);
            std::string device(std::min<uint32_t>(length, sievra::link::kMaxTransfer), '\0');
            if (sievra::link::ReadFully(fd, device.data(), device.size()))
                denied_device_ = std::move(device);
        }
        ::close(fd);
        return false;
    }
    open_failure_ = OpenFailure::kNone;
    {
        std::lock_guard send_lock(send_mutex_);
        socket_closed_ = false;
    }
    {
        std::lock_guard lock(mutex_);
        fd_ = fd;
        closed_ = false;
    }
    receiver_ = std::thread(&DriverLink::Receive, this, fd);
    return true;
}

void DriverLink::Receive(int fd) {
    for (;;) {
        uint8_t header[sievra::link::kResponseHeaderSize];
        if (!sievra::link::ReadFully(fd, header, sizeof header))
            break;
        const uint32_t id = sievra::GetLe32(header);
        const uint32_t length = sievra::GetLe32(header + 12);
        if (length > sievra::link::kMaxRecordRead)
            break;
        std::vector<uint8_t> data(length);
        if (length > 0 && !sievra::link::ReadFully(fd, data.data(), length))
            break;
        std::lock_guard lock(mutex_);
        auto waiter = waiting_.find(id);
        if (waiter == waiting_.end())
            continue;
        Reply* reply = waiter->second;
        reply->status = static_cast<int32_t>(sievra::GetLe32(header + 4));
        reply->information = sievra::GetLe32(header + 8);
        reply->data = std::move(data);
        reply->done = true;
        waiting_.erase(waiter);
        replied_.notify_all();
    }
    // The connection ended: every waiting call fails.
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& [id, reply] : waiting_) {
        reply->done = true;
        reply->status = sievra::link::kStatusInvalidRequest;
        reply->information = 0;
    }
    waiting_.clear();
    replied_.notify_all();
}

bool DriverLink::Call(uint8_t op, uint32_t code, const void* input, uint32_t input_length,
                      uint32_t output_length, Reply& reply, int timeout_ms) {
    uint32_t id;
    int fd;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return false;
        id = next_id_++;
        waiting_[id] = &reply;
        fd = fd_;
    }
    std::vector<uint8_t> request(sievra::link::kRequestHeaderSize + input_length);
    sievra::PutLe32(request.data(), id);
    request[4] = op;
    sievra::PutLe32(request.data() + 5, code);
    sievra::PutLe32(request.data() + 9, input_length);
    sievra::PutLe32(request.data() + 13, output_length);
    if (input_length > 0)
        std::memcpy(request.data() + sievra::link::kRequestHeaderSize, input, input_length);
    bool sent;
    {
        std::lock_guard lock(send_mutex_);
        sent = !socket_closed_ && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                                      static_cast<ssize_t>(request.size());
    }
    std::unique_lock lock(mutex_);
    if (!sent) {
        waiting_.erase(id);
        return false;
    }
    if (timeout_ms < 0) {
        replied_.wait(lock, [&] { return reply.done; });
    } else if (!replied_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&] { return reply.done; })) {
        waiting_.erase(id);
        return false;
    }
    return reply.status >= 0;
}

bool DriverLink::Control(uint32_t code, const void* input, uint32_t input_length,
                         uint32_t output_length, Reply& reply) {
    if (Call(sievra::link::kDeviceControl, code, input, input_length, output_length, reply,
             reply_limit_ms_)) {
        return true;
    }
    if (!reply.done) {
        std::lock_guard lock(mutex_);
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RDWR);  // the receiver ends and marks the link closed
    }
    return false;
}

int DriverLink::SetMode(uint32_t mode) {
    uint8_t value[4];
    sievra::PutLe32(value, mode);
    Reply reply;
    return Control(sievra::IOCTL_FILTER_SET_MODE, value, 4, 0, reply) ? 1 : 0;
}

int DriverLink::LoadRule(uint32_t code, const sievra::FilterRule& rule) {
    Reply reply;
    return Control(code, &rule, sizeof rule, 0, reply) ? 1 : 0;
}

int DriverLink::Forward(uint32_t code, const void* input, uint32_t input_length, void* output,
                        uint32_t output_length, uint32_t* returned) {
    if (input_length > sievra::link::kMaxTransfer || output_length > sievra::link::kMaxTransfer)
        return 0;
    Reply reply;
    const bool ok = Control(code, input, input_length, output_length, reply);
    if (output != nullptr && !reply.data.empty()) {
        std::memcpy(output, reply.data.data(), std::min<size_t>(reply.data.size(), output_length));
    }
    if (returned != nullptr)
        *returned = reply.information;
    return ok ? 1 : 0;
}

uint32_t DriverLink::Read(uint8_t* buffer, uint32_t length) {
    Reply reply;
    length = std::min<uint32_t>(length, sievra::link::kMaxRecordRead);
    if (!Call(sievra::link::kRead, 0, nullptr, 0, length, reply))
        return 0;
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(reply.data.size(), length));
    std::memcpy(buffer, reply.data.data(), n);
    return n;
}

void DriverLink::Close() {
    if (IsOpen()) {
        // The host cleans up (a waiting read ends with no records) and answers once the control
        // device is closed, so the port can be opened again as soon as this returns.
        // A host that does not answer within the limit must not hold the caller (the
        // workbench's window) for ever: the connection is shut down all the same.
        Reply reply;
        Call(sievra::link::kClose, 0, nullptr, 0, 0, reply, kCloseReplyLimitMs);
    }
    int fd;
    {
        std::lock_guard lock(mutex_);
        fd = fd_;
        fd_ = -1;
    }
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);  // ends the receiver and every waiting call
    if (receiver_.joinable())
        receiver_.join();
    if (fd >= 0) {
        // A call that took the number before may still be about to send: never on a number
        // that is closed, and perhaps another file's by then.
        std::lock_guard lock(send_mutex_);
        socket_closed_ = true;
        ::close(fd);
    }
}

}  // namespace porvane::monitor
