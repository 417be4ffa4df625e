#include "platform/comm/testing/scripted_port.h"

#include <algorithm>
#include <chrono>

namespace comm::testing {

// The device side of a ScriptedPort, for one open.
class ScriptedSerialDevice final : public SerialDevice {
  public:
    ScriptedSerialDevice(std::shared_ptr<ScriptedPort> port, uint64_t generation)
        : port_(std::move(port)), generation_(generation) {}
    ~ScriptedSerialDevice() override {
        std::lock_guard lock(port_->mutex_);
        if (port_->device_generation_ == generation_) {
            port_->open_ = false;
        }
        port_->changed_.notify_all();
    }

    CommStatus SetState(const Dcb& dcb) override {
        auto lock = Lock();
        if (port_->vanished_)
            return Gone("SetState");
        if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
            dcb.StopBits > TWOSTOPBITS || dcb.BaudRate == 0) {
            return CommStatus::Failure("SetState", EINVAL);
        }
        port_->dcb_ = dcb;
        if (port_->fastest_baud_ != 0)
            port_->dcb_.BaudRate = std::min(dcb.BaudRate, port_->fastest_baud_);
        port_->modem_control_ = (dcb.fDtrControl != DTR_CONTROL_DISABLE ? kModemControlDtr : 0) |
                                (dcb.fRtsControl != RTS_CONTROL_DISABLE ? kModemControlRts : 0);
        return {};
    }
    CommStatus GetState(Dcb& dcb) override {
        auto lock = Lock();
        dcb = port_->dcb_;
        return {};
    }
    CommStatus SetTimeouts(const CommTimeouts& t) override {
        auto lock = Lock();
        if (port_->vanished_)
            return Gone("SetTimeouts");
        port_->timeouts_ = t;
        return {};
    }
    CommStatus GetTimeouts(CommTimeouts& t) override {
        auto lock = Lock();
        t = port_->timeouts_;
        return {};
    }
    CommStatus SetEventMask(uint32_t mask) override {
        auto lock = Lock();
        port_->mask_ = mask;
        ++port_->mask_generation_;
        port_->pending_events_ = 0;  // what happened before the mask was set is not reported
        port_->changed_.notify_all();
        return {};
    }
    uint32_t EventMask() override {
        auto lock = Lock();
        return port_->mask_;
    }
    CommStatus WaitEventFor(uint32_t& events, int timeout_ms) override {
        events = 0;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
        auto lock = Lock();
        const uint64_t generation = port_->mask_generation_;
        for (;;) {
            if (port_->cancelled_)
                return CommStatus::Failure("WaitEvent", ECANCELED);
            if (port_->vanished_)
                return Gone("WaitEvent");
            if (port_->mask_generation_ != generation)
                return {};
            if (!port_->injected_.empty()) {
                events = port_->injected_.front();
                port_->injected_.erase(port_->injected_.begin());
                return {};
            }
            uint32_t found = port_->pending_events_;
            if (!port_->received_.empty())
                found |= EV_RXCHAR;
            if (port_->tx_armed_ && port_->unsent_ == 0)
                found |= EV_TXEMPTY;
            found &= port_->mask_;
            if (found != 0) {
                port_->pending_events_ &= ~found;
                if (found & EV_TXEMPTY)
                    port_->tx_armed_ = false;
                events = found;
                return {};
            }
            if (timeout_ms < 0) {
                port_->changed_.wait(lock);
            } else if (port_->changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                return CommStatus::Failure("WaitEvent", ETIMEDOUT);
            }
        }
    }
    CommStatus Read(uint8_t* buffer, size_t count, size_t& got) override {
        auto lock = Lock();
        got = 0;
        if (port_->cancelled_)
            return CommStatus::Failure("Read", ECANCELED);
        if (port_->vanished_)
            return Gone("read");
        got = std::min(count, port_->received_.size());
        std::copy_n(port_->received_.begin(), got, buffer);
        port_->received_.erase(port_->received_.begin(), port_->received_.begin() + got);
        port_->counters_.ReceivedCount += static_cast<uint32_t>(got);
        return {};
    }
    CommStatus Write(const uint8_t* bytes, size_t count, size_t& written) override {
        size_t ignored;
        CommStatus status = WriteAsync(bytes, count, ignored);
        written = status ? count : 0;
        return status;
    }
    CommStatus WriteAsync(const uint8_t* bytes, size_t count, size_t& completed_now) override {
        auto lock = Lock();
        completed_now = 0;
        if (port_->vanished_)
            return Gone("write");
        port_->written_.insert(port_->written_.end(), bytes, bytes + count);
        port_->counters_.TransmittedCount += static_cast<uint32_t>(count);
        if (port_->hold_transmit_)
            port_->unsent_ += count;
        if (count > 0)
            port_->tx_armed_ = true;
        completed_now = port_->write_at_once_ ? count : 0;
        port_->changed_.notify_all();
        return {};
    }
    CommStatus Purge(uint32_t flags) override {
        auto lock = Lock();
        port_->purges_.push_back(flags);
        if (flags & PURGE_RXCLEAR)
            port_->received_.clear();
        if (flags & (PURGE_TXABORT | PURGE_TXCLEAR))
            port_->unsent_ = 0;
        return {};
    }
    CommStatus ClearError(uint32_t* errors, QueueStatus* status) override {
        auto lock = Lock();
        if (port_->vanished_)
            return Gone("ClearError");
        if (errors)
            *errors = port_->errors_;
        port_->errors_ = 0;
        if (status) {
            status->in_queue = static_cast<uint32_t>(port_->received_.size());
            status->out_queue = static_cast<uint32_t>(port_->unsent_);
        }
        return {};
    }
    CommStatus GetModemStatus(uint32_t& status) override {
        auto lock = Lock();
        if (port_->vanished_)
            return Gone("GetModemStatus");
        status = port_->modem_status_;
        return {};
    }
    CommStatus GetModemControl(uint32_t& control) override {
        auto lock = Lock();
        if (port_->vanished_)
            return Gone("GetModemControl");
        control = port_->modem_control_;
        return {};
    }
    CommStatus EscapeFunction(Escape function) override {
        auto lock = Lock();
        switch (function) {
            case Escape::SetDtr:
                port_->modem_control_ |= kModemControlDtr;
                break;
            case Escape::ClrDtr:
                port_->modem_control_ &= ~kModemControlDtr;
                break;
            case Escape::SetRts:
                port_->modem_control_ |= kModemControlRts;
                break;
            case Escape::ClrRts:
                port_->modem_control_ &= ~kModemControlRts;
                break;
            case Escape::SetBreak:
                ++port_->breaks_;
                break;
            default:
                break;
        }
        return {};
    }
    CommStatus GetStatistics(SerialStats& stats) override {
        auto lock = Lock();
        if (port_->vanished_)
            return Gone("GetStatistics");
        stats = port_->counters_;
        return {};
    }
    CommStatus ClearStatistics() override {
        auto lock = Lock();
        port_->counters_ = SerialStats{};
        return {};
    }
    void CancelIo() override {
        auto lock = Lock();
        port_->cancelled_ = true;
        port_->changed_.notify_all();
    }

  private:
    std::unique_lock<std::mutex> Lock() { return std::unique_lock(port_->mutex_); }
    static CommStatus Gone(const char* operation) { return CommStatus::Failure(operation, EIO); }

    std::shared_ptr<ScriptedPort> port_;
    uint64_t generation_;
};

OpenResult ScriptedPort::Open() {
    std::lock_guard lock(mutex_);
    if (busy_ || open_ || vanished_) {
        return {nullptr, CommStatus::Failure("open", vanished_ ? ENOENT : EBUSY)};
    }
    open_ = true;
    ++opens_;
    ++device_generation_;
    cancelled_ = false;
    mask_ = 0;
    return {std::make_unique<ScriptedSerialDevice>(shared_from_this(), device_generation_), {}};
}

void ScriptedPort::SetFastestBaud(uint32_t baud) {
    std::lock_guard lock(mutex_);
    fastest_baud_ = baud;
}

void ScriptedPort::SetBusy(bool busy) {
    std::lock_guard lock(mutex_);
    busy_ = busy;
}

void ScriptedPort::Receive(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
}

void ScriptedPort::SetModemStatus(uint32_t status) {
    std::lock_guard lock(mutex_);
    uint32_t changed = status ^ modem_status_;
    if (changed & MS_CTS_ON)
        pending_events_ |= EV_CTS;
    if (changed & MS_DSR_ON)
        pending_events_ |= EV_DSR;
    if (changed & MS_RLSD_ON)
        pending_events_ |= EV_RLSD;
    if (changed & MS_RING_ON)
        pending_events_ |= EV_RING;
    modem_status_ = status;
    changed_.notify_all();
}

void ScriptedPort::AddLineErrors(uint32_t frame, uint32_t overrun, uint32_t buffer_overrun,
                                 uint32_t parity) {
    std::lock_guard lock(mutex_);
    counters_.FrameErrorCount += frame;
    counters_.SerialOverrunErrorCount += overrun;
    counters_.BufferOverrunErrorCount += buffer_overrun;
    counters_.ParityErrorCount += parity;
    if (frame)
        errors_ |= CE_FRAME;
    if (overrun)
        errors_ |= CE_OVERRUN;
    if (buffer_overrun)
        errors_ |= CE_RXOVER;
    if (parity)
        errors_ |= CE_RXPARITY;
}

void ScriptedPort::InjectEvents(uint32_t events, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    injected_.push_back(events);
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
}

void ScriptedPort::HoldTransmit(bool hold) {
    std::lock_guard lock(mutex_);
    hold_transmit_ = hold;
    if (!hold)
        unsent_ = 0;
    changed_.notify_all();
}

void ScriptedPort::SetWriteCompletesAtOnce(bool at_once) {
    std::lock_guard lock(mutex_);
    write_at_once_ = at_once;
}

void ScriptedPort::Vanish() {
    std::lock_guard lock(mutex_);
    vanished_ = true;
    changed_.notify_all();
}

std::vector<uint8_t> ScriptedPort::Written() const {
    std::lock_guard lock(mutex_);
    return written_;
}
Dcb ScriptedPort::LastState() const {
    std::lock_guard lock(mutex_);
    return dcb_;
}
CommTimeouts ScriptedPort::LastTimeouts() const {
    std::lock_guard lock(mutex_);
    return timeouts_;
}
uint32_t ScriptedPort::LastEventMask() const {
    std::lock_guard lock(mutex_);
    return mask_;
}
std::vector<uint32_t> ScriptedPort::Purges() const {
    std::lock_guard lock(mutex_);
    return purges_;
}
uint32_t ScriptedPort::ModemControl() const {
    std::lock_guard lock(mutex_);
    return modem_control_;
}
int ScriptedPort::Breaks() const {
    std::lock_guard lock(mutex_);
    return breaks_;
}
int ScriptedPort::Opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}
bool ScriptedPort::IsOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

}  // namespace comm::testing
