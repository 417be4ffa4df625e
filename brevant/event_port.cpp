#include "brevant/event_port.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/comm/com_port.h"
#include "platform/comm/comm_constants.h"
#include "platform/comm/line_definition.h"

namespace brevant {
namespace {

// A write request or a shutdown that arrives just before the thread starts to wait is noticed
// within this time at the latest.
constexpr int kWaitSliceMs = 20;
constexpr uint32_t kAllTimeoutsMs = 1000;

bool Vanished(const comm::CommStatus& status) {
    return status.DeviceGone();
}

}  // namespace

EventPort::EventPort(Opener opener) : opener_(std::move(opener)) {}

EventPort::~EventPort() {
    Shutdown();
    EndThread();
}

std::string EventPort::LineDefinition(int baud, char parity, int data_bits, int stop_bits) {
    char text[96];
    std::snprintf(text, sizeof text, "baud=%d parity=%c data=%d stop=%d", baud, parity, data_bits,
                  stop_bits);
    return text;
}

std::string EventPort::DeviceName(int port_number) {
    char text[32];
    std::snprintf(text, sizeof text, port_number < 10 ? "COM%d" : "\\\\.\\COM%d", port_number);
    return text;
}

std::string EventPort::ErrorBoxText(const char* step, int error, int port_number) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n", step,
                  std::strerror(error), port_number);
    return text;
}

void EventPort::Fail(const char* step, int error) {
    if (owner_ != nullptr)
        owner_->ShowErrorBox(ErrorBoxText(step, error, port_number_));
}

void EventPort::EndThread() {
    if (!thread_.joinable())
        return;
    while (alive_) {
        if (owner_ != nullptr)
            owner_->PumpNotifications();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Shutdown();
    }
    thread_.join();
}

bool EventPort::Initialise(EventPortOwner* owner, int port_number, int baud, char parity,
                           int data_bits, int stop_bits, uint32_t event_mask,
                           size_t write_buffer_size) {
    Shutdown();
    EndThread();
    {
        std::lock_guard lock(requests_mutex_);
        shutdown_ = false;
        writes_.clear();
    }
    const char* failed_step = nullptr;
    comm::CommStatus status;
    {
        std::lock_guard lock(port_lock_);
        if (!Configure(owner, port_number, baud, parity, data_bits, stop_bits, event_mask,
                       write_buffer_size, failed_step, status))
            return false;
    }
    // Reported once the lock is released, so that the box's own event loop may use the port.
    if (failed_step != nullptr)
        Fail(failed_step, status.error());
    return true;
}

bool EventPort::Configure(EventPortOwner* owner, int port_number, int baud, char parity,
                          int data_bits, int stop_bits, uint32_t event_mask,
                          size_t write_buffer_size, const char*& failed_step,
                          comm::CommStatus& status) {
    owner_ = owner;
    port_number_ = port_number;
    mask_ = event_mask;
    buffer_size_ = write_buffer_size;
    device_.reset();
    comm::OpenResult opened = opener_(comm::ComPortPath(port_number));
    if (!opened.device) {
        return false;
    }
    device_ = std::move(opened.device);
    comm::SerialDevice& d = *device_;
    const comm::CommTimeouts timeouts{kAllTimeoutsMs, kAllTimeoutsMs, kAllTimeoutsMs,
                                      kAllTimeoutsMs, kAllTimeoutsMs};
    comm::Dcb dcb;
    if (!(status = d.SetTimeouts(timeouts))) {
        failed_step = "SetCommTimeouts()";
    } else if (!(status = d.SetEventMask(mask_))) {
        failed_step = "SetCommMask()";
    } else if (!(status = d.GetState(dcb))) {
        failed_step = "GetCommState()";
    } else {
        dcb.EvtChar = 0x71;
        dcb.fRtsControl = comm::RTS_CONTROL_ENABLE;
        if (!(status = comm::ApplyLineDefinition(LineDefinition(baud, parity, data_bits, stop_bits),
                                                 dcb))) {
            failed_step = "BuildCommDCB()";
        } else if (!(status = d.SetState(dcb))) {
            failed_step = "SetCommState()";
        }
    }
    d.Purge(comm::kPurgeAll);
    return true;
}

bool EventPort::StartMonitoring() {
    std::shared_ptr<comm::SerialDevice> device;
    {
        std::lock_guard lock(port_lock_);
        device = device_;
    }
    if (!device || thread_.joinable()) {
        return false;
    }
    // Stale input goes before the thread starts, so bytes that arrive once this returns are kept.
    device->Purge(comm::kPurgeAll);
    alive_ = true;
    thread_ = std::thread(&EventPort::Run, this, device);
    return true;
}

void EventPort::Wake(comm::SerialDevice& device) {
    device.SetEventMask(mask_);
}

bool EventPort::Write(const uint8_t* bytes, size_t length) {
    if (length > buffer_size_ || !alive_) {
        return false;
    }
    {
        std::lock_guard lock(requests_mutex_);
        writes_.emplace_back(bytes, bytes + length);
    }
    requests_changed_.notify_all();
    std::lock_guard lock(port_lock_);
    if (device_)
        Wake(*device_);
    return true;
}

bool EventPort::Write(const std::string& text) {
    return Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void EventPort::Shutdown() {
    {
        std::lock_guard lock(requests_mutex_);
        shutdown_ = true;
    }
    requests_changed_.notify_all();
    std::lock_guard lock(port_lock_);
    if (device_)
        Wake(*device_);
}

bool EventPort::RequestPending() {
    std::lock_guard lock(requests_mutex_);
    return shutdown_ || !writes_.empty();
}

void EventPort::Run(std::shared_ptr<comm::SerialDevice> device) {
    bool gone = false;
    for (;;) {
        std::vector<uint8_t> write;
        {
            std::lock_guard lock(requests_mutex_);
            if (shutdown_)
                break;
            if (!writes_.empty()) {
                write = std::move(writes_.front());
                writes_.pop_front();
            }
        }
        if (!write.empty()) {
            comm::CommStatus s;
            {
                std::lock_guard lock(port_lock_);
                // Unread input is discarded before every write. Output is not: a purge of that
                // direction would drop an earlier frame the line has not finished sending.
                device->Purge(comm::PURGE_RXABORT | comm::PURGE_RXCLEAR);
                size_t written = 0;
                s = device->Write(write.data(), write.size(), written);
            }
            // The box waits for the window's thread, which may itself be waiting for port_lock_
            // in Write or Shutdown: it is shown only once the lock is released.
            if (!s)
                Fail("WriteFile()", s.error());
            if (owner_ != nullptr)
                owner_->OnWritten();
            continue;
        }
        if (gone) {
            // The port is gone: only a shutdown or a write request still matters.
            std::unique_lock lock(requests_mutex_);
            requests_changed_.wait(lock, [this] { return shutdown_ || !writes_.empty(); });
            continue;
        }
        uint32_t events = 0;
        comm::CommStatus waited = device->WaitEventFor(events, kWaitSliceMs);
        if (!waited) {
            if (waited.error() != ETIMEDOUT && waited.error() != ECANCELED) {
                Fail("WaitCommEvent()", waited.error());
                gone = Vanished(waited);
            }
            continue;
        }
        if (events == 0) {
            continue;  // woken for a request
        }
        // The configured mask, not the events that occurred, says what to do.
        if (mask_ & comm::EV_RXCHAR) {
            // A flooding line keeps the queue full: a request ends the drain, or the thread
            // would never write or end.
            while (!RequestPending()) {
                uint8_t byte = 0;
                size_t got = 0;
                comm::CommStatus s;
                {
                    std::lock_guard lock(port_lock_);
                    comm::QueueStatus queue;
                    if (!device->ClearError(nullptr, &queue) || queue.in_queue == 0)
                        break;
                    s = device->Read(&byte, 1, got);
                }
                if (!s) {
                    Fail("ReadFile()", s.error());  // after unlocking, as for a write
                    break;
                }
                if (got == 1 && owner_ != nullptr)
                    owner_->OnPortMessage(PortMsgRxChar, byte, port_number_);
            }
        }
        const std::pair<uint32_t, PortMessage> reports[] = {{comm::EV_CTS, PortMsgCts},
                                                            {comm::EV_BREAK, PortMsgBreak},
                                                            {comm::EV_ERR, PortMsgError},
                                                            {comm::EV_RING, PortMsgRing},
                                                            {comm::EV_RXFLAG, PortMsgRxFlag}};
        for (const auto& [bit, message] : reports) {
            if ((mask_ & bit) && owner_ != nullptr)
                owner_->OnPortMessage(message, 0, port_number_);
        }
    }
    {
        std::lock_guard lock(port_lock_);
        if (device_ == device)
            device_.reset();
    }
    exit_code_ = 100;
    alive_ = false;
}

}  // namespace brevant
