#include "porvane/serial/serial_channel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <system_error>
#include <utility>

#include "platform/comm/comm_constants.h"
#include "platform/comm/open_failure.h"
#include "platform/devicemap/listed_ports.h"
#include "porvane/serial/page_notify.h"

namespace porvane::serial {
namespace {

// Received bytes read in one wake-up at most, before the other events get their turn: a few
// milliseconds of a flood on a virtual port, far more than a real line brings meanwhile.
constexpr uint32_t kMaxReadPerWake = 256 * 1024;

// "串口被占用!!", naming the program that holds the port when the system tells, in the words the
// command line uses: "串口被占用!! (/dev/ttyUSB0: in use by process 1234 (minicom))".
std::string BusyMessage(const std::string& path, const comm::CommStatus& status) {
    if (status.ok() || status.error() != EBUSY || comm::FindPortHolders(path).empty())
        return kMessagePortBusy;
    return std::string(kMessagePortBusy) + " (" + comm::DescribeOpenFailure(path, status) + ")";
}

}  // namespace

SerialChannel::SerialChannel(DeviceOpener opener)
    : opener_(std::move(opener)), settings_(BlankLineSettings()) {}

SerialChannel::~SerialChannel() {
    ClosePort();
    if (thread_.joinable()) {
        thread_.join();  // a thread that closed its own port ends on its own
    }
}

std::shared_ptr<comm::SerialDevice> SerialChannel::Device() const {
    std::lock_guard lock(device_mutex_);
    return device_;
}

bool SerialChannel::IsOpen() const {
    return Device() != nullptr;
}

int SerialChannel::OpenPort(PageWindow* owner) {
    owner_ = owner;
    if (IsOpen()) {
        if (owner != nullptr)
            owner->ShowMessage(kMessagePortAlreadyOpen);
        return 0;
    }
    if (thread_.joinable()) {
        JoinEventThread();
    }
    const std::string name = PortNameOf(settings_);
    const std::string path = comm::DevicePathForPort(devicemap::PortToOpen(name));
    comm::OpenResult opened =
        name.empty() ? comm::OpenResult{nullptr, comm::CommStatus::Failure("open", ENOENT)}
                     : opener_(path);
    if (!opened.device) {
        if (owner != nullptr)
            owner->ShowMessage(BusyMessage(path, opened.status));
        return 0;
    }
    std::shared_ptr<comm::SerialDevice> device = std::move(opened.device);
    // Refusals are not acted on: the port keeps whatever the driver accepted.
    told_no_rts_toggle_ = false;
    device->SetState(settings_.dcb);
    SayIfRtsCannotToggle(*device, settings_.dcb);
    device->SetTimeouts(settings_.timeouts);
    device->SetEventMask(kChannelEventMask);
    device->Purge(comm::kPurgeAll);
    {
        std::lock_guard lock(counters_mutex_);
        bytes_written_total_ = 0;
        bytes_written_since_send_empty_ = 0;
    }
    bytes_read_total_ = 0;
    last_read_count_ = 0;
    {
        std::lock_guard lock(tester_mutex_);
        if (tester_ != nullptr)
            tester_->OnPortOpened();
    }
    device->ClearStatistics();
    {
        std::lock_guard lock(device_mutex_);
        device_ = device;
    }
    {
        std::lock_guard lock(thread_state_mutex_);
        thread_done_ = false;
    }
    running_ = true;
    try {
        thread_ = std::thread(&SerialChannel::EventThread, this, device);
    } catch (const std::system_error&) {
        running_ = false;
        {
            std::lock_guard lock(thread_state_mutex_);
            thread_done_ = true;
        }
        std::lock_guard lock(device_mutex_);
        device_.reset();
        return 0;
    }
    return 1;
}

int SerialChannel::ClosePort() {
    std::shared_ptr<comm::SerialDevice> device = Device();
    if (!device) {
        return 1;
    }
    running_ = false;
    device->SetEventMask(0);  // completes the pending wait
    device->CancelIo();
    if (std::this_thread::get_id() != event_thread_id_.load()) {
        JoinEventThread();
    }
    // Called from a notification on the event thread itself: the thread ends when the page's
    // handler returns and releases its own reference to the device; it is joined at the next open.
    std::lock_guard lock(device_mutex_);
    device_.reset();
    return 1;
}

void SerialChannel::JoinEventThread() {
    {
        std::unique_lock lock(thread_state_mutex_);
        while (!thread_done_) {
            lock.unlock();
            if (PageWindow* owner = owner_.load()) {
                owner->PumpNotifications();
            }
            lock.lock();
            thread_done_cv_.wait_for(lock, std::chrono::milliseconds(2),
                                     [this] { return thread_done_; });
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

uint32_t SerialChannel::WritePort(const uint8_t* bytes, uint32_t count) {
    std::shared_ptr<comm::SerialDevice> device = Device();
    if (!device) {
        return 0;
    }
    {
        // Counted before the write starts, so that a transmit-empty report always includes it.
        std::lock_guard lock(counters_mutex_);
        bytes_written_total_ += count;
        bytes_written_since_send_empty_ += count;
    }
    size_t completed = 0;
    if (!device->WriteAsync(bytes, count, completed)) {
        // Refused (the device is gone): what did not leave is not counted as written.
        const uint32_t unsent = count - static_cast<uint32_t>(std::min<size_t>(completed, count));
        std::lock_guard lock(counters_mutex_);
        bytes_written_total_ -= std::min(bytes_written_total_, unsent);
        bytes_written_since_send_empty_ -= std::min(bytes_written_since_send_empty_, unsent);
        return 0;
    }
    return static_cast<uint32_t>(completed);
}

uint32_t SerialChannel::ReadPort(uint8_t* buffer, uint32_t count) {
    std::shared_ptr<comm::SerialDevice> device = Device();
    if (!device) {
        return 0;
    }
    return CountRead(TakeQueued(*device, buffer, count));
}

uint32_t SerialChannel::TakeQueued(comm::SerialDevice& device, uint8_t* buffer, uint32_t count) {
    size_t got = 0;
    device.ReadQueued(buffer, std::min(count, kReceiveBufferSize), got);
    return static_cast<uint32_t>(got);
}

uint32_t SerialChannel::CountRead(uint32_t got) {
    bytes_read_total_ += got;
    last_read_count_ = got;
    Notify(PN_RECV_COUNT, &last_read_count_);
    return last_read_count_;
}

bool SerialChannel::ApplySettings(const LineSettings& settings) {
    std::shared_ptr<comm::SerialDevice> device = Device();
    if (!device)
        return false;
    const bool accepted = static_cast<bool>(device->SetState(settings.dcb));
    SayIfRtsCannotToggle(*device, settings.dcb);
    device->SetTimeouts(settings.timeouts);
    return accepted;
}

bool SerialChannel::GetLineState(comm::Dcb& dcb) {
    std::shared_ptr<comm::SerialDevice> device = Device();
    return device && device->GetState(dcb);
}

bool SerialChannel::EscapeFunction(comm::Escape function) {
    std::shared_ptr<comm::SerialDevice> device = Device();
    return device && device->EscapeFunction(function);
}

bool SerialChannel::GetModemLines(uint32_t& status, uint32_t& control) {
    std::shared_ptr<comm::SerialDevice> device = Device();
    return device && device->GetModemStatus(status) && device->GetModemControl(control);
}

void SerialChannel::SayIfBaudNotTaken(uint32_t asked) {
    comm::Dcb in_use;
    PageWindow* owner = owner_.load();
    if (owner == nullptr || !GetLineState(in_use))
        return;
    // A rate within 2 % is the one asked for: the UART's divider rounds, the line works.
    if (std::abs(static_cast<double>(in_use.BaudRate) - asked) <= asked * 0.02)
        return;
    owner->ShowMessage(kMessageBaudNotTaken + std::to_string(asked) + kMessageBaudInUse +
                       std::to_string(in_use.BaudRate));
}

void SerialChannel::SayIfRtsCannotToggle(comm::SerialDevice& device, const comm::Dcb& dcb) {
    if (dcb.fRtsControl != comm::RTS_CONTROL_TOGGLE || told_no_rts_toggle_ ||
        device.RtsFollowsSending())
        return;
    told_no_rts_toggle_ = true;
    if (PageWindow* owner = owner_.load())
        owner->ShowMessage(kMessageNoRtsToggle);
}

uint8_t SerialChannel::GetModemControl() {
    std::shared_ptr<comm::SerialDevice> device = Device();
    uint32_t control = 0;
    if (!device || !device->GetModemControl(control)) {
        return 0;
    }
    return static_cast<uint8_t>(control & 0xFF);
}

void SerialChannel::GetPortStatistics(comm::SerialStats* out) {
    std::shared_ptr<comm::SerialDevice> device = Device();
    comm::SerialStats stats;
    if (device && out != nullptr && device->GetStatistics(stats)) {
        *out = stats;
    }
}

void SerialChannel::ClearPortStatistics() {
    if (std::shared_ptr<comm::SerialDevice> device = Device()) {
        device->ClearStatistics();
    }
}

void SerialChannel::PurgePort(uint32_t flags) {
    if (std::shared_ptr<comm::SerialDevice> device = Device()) {
        device->Purge(flags);
    }
}

uint32_t SerialChannel::bytes_written_total() const {
    std::lock_guard lock(counters_mutex_);
    return bytes_written_total_;
}

uint32_t SerialChannel::bytes_written_since_send_empty() const {
    std::lock_guard lock(counters_mutex_);
    return bytes_written_since_send_empty_;
}

void SerialChannel::SetTester(ChannelTester* tester) {
    std::lock_guard lock(tester_mutex_);
    tester_ = tester;
}

void SerialChannel::HandOverTestSettings(const TestSettings& settings) {
    std::lock_guard lock(tester_mutex_);
    test_settings_ = settings;
    if (tester_ != nullptr) {
        tester_->OnTestSettings(settings);
    }
}

void SerialChannel::WithTester(const std::function<void(ChannelTester&)>& f) {
    std::lock_guard lock(tester_mutex_);
    if (tester_ != nullptr) {
        f(*tester_);
    }
}

void SerialChannel::WriteTestBlock() {
    uint8_t block[kTestBlockSize];
    uint32_t made = 0;
    {
        std::lock_guard lock(tester_mutex_);
        if (tester_ == nullptr || test_settings_.running != 1) {
            return;
        }
        made = tester_->GenerateBlock(block, kTestBlockSize);
    }
    WritePort(block, made);
}

void SerialChannel::CheckTestBlock(const uint8_t* bytes, uint32_t count) {
    std::lock_guard lock(tester_mutex_);
    if (tester_ != nullptr && test_settings_.running == 1) {
        tester_->CheckReceived(bytes, count);
    }
}

intptr_t SerialChannel::Notify(uint32_t code, void* data) {
    PageWindow* owner = owner_.load();
    return owner != nullptr ? owner->PageNotify(code, data) : 0;
}

void SerialChannel::EventThread(std::shared_ptr<comm::SerialDevice> device) {
    event_thread_id_ = std::this_thread::get_id();
    uint8_t buffer[kReceiveBufferSize];
    for (;;) {
        uint32_t events = 0;
        comm::CommStatus waited = device->WaitEvent(events);
        if (!running_) {
            break;
        }
        if (!waited) {
            if (waited.DeviceGone()) {
                // The port vanished: nothing more will come. The page closes the port (which
                // ends a transfer and a test) on its own thread once this thread has ended.
                Notify(PN_PORT_GONE, nullptr);
                break;
            }
            if (waited.error() == ECANCELED) {
                break;  // cancelled by ClosePort
            }
            device->ClearError(nullptr, nullptr);
            continue;  // the event word of a failed wait is not acted on a second time
        }
        if (events & comm::kModemEvents) {
            uint32_t modem_status = 0;
            device->GetModemStatus(modem_status);
            Notify(PN_MODEM_STATUS, &modem_status);
        }
        if (events & comm::EV_TXEMPTY) {
            WriteTestBlock();
            uint32_t written;
            {
                std::lock_guard lock(counters_mutex_);
                written = std::exchange(bytes_written_since_send_empty_, 0);
            }
            Notify(PN_SEND_EMPTY, &written);
        }
        if ((events & comm::EV_RXCHAR) && owner_ != nullptr) {
            // Takes what has come a buffer at a time, with no queue query before each read (one
            // system call per buffer), and reads on while reads bring bytes, up to a bound so
            // that the other events are not starved: a read that finds the terminal empty first
            // lets the kernel finish handing over what is on its way, as a blocking read would,
            // so a steady stream needs no wait between reads. A wake-up that finds nothing
            // still reports its empty read; a read on that finds nothing ends the wake-up
            // unreported.
            uint32_t got = CountRead(TakeQueued(*device, buffer, kReceiveBufferSize));
            uint32_t this_wake = 0;
            for (;;) {
                DataBlock block{buffer, got};
                Notify(PN_RECV_DATA, &block);
                CheckTestBlock(buffer, got);
                this_wake += got;
                if (got == 0 || this_wake >= kMaxReadPerWake || !running_)
                    break;
                got = TakeQueued(*device, buffer, kReceiveBufferSize);
                if (got == 0)
                    break;
                CountRead(got);
            }
        }
    }
    std::lock_guard lock(thread_state_mutex_);
    thread_done_ = true;
    thread_done_cv_.notify_all();
}

}  // namespace porvane::serial
