#include "reader/reader_port.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/comm/com_port.h"
#include "platform/comm/comm_constants.h"

namespace reader {
namespace {

constexpr int kRates[] = {9600, 14400, 19200, 28800, 38400, 57600, 115200};
using comm::CommStatus;
using comm::CommTimeouts;

constexpr int kWriteWaitMs = 100;

CommStatus NotOpen(const char* operation) {
    return CommStatus::Failure(operation, EBADF);
}

// A caller's wait as a time-out constant: at least 1 ms, as 0 would mean no time-out.
uint32_t WaitConstant(int wait_ms) {
    return static_cast<uint32_t>(wait_ms > 0 ? wait_ms : 1);
}

// Runs transfer under the device's time-outs as adjust changes them, then restores them.
template <class Transfer, class Adjust>
CommStatus WithTimeouts(comm::SerialDevice& device, Transfer transfer, Adjust adjust) {
    CommTimeouts saved;
    device.GetTimeouts(saved);
    CommTimeouts changed = saved;
    adjust(changed);
    device.SetTimeouts(changed);
    const CommStatus status = transfer();
    device.SetTimeouts(saved);
    return status;
}

}  // namespace

ReaderPort::ReaderPort(Opener opener)
    : opener_(std::move(opener)),
      pause_([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

bool ReaderPort::SelectPort(int number) {
    const bool listed = number >= 1 && number <= 4;
    port_number_ = listed ? number : 1;
    port_name_ = "COM" + std::to_string(port_number_);
    return listed;
}

bool ReaderPort::SetBaud(int rate) {
    bool listed = false;
    for (int r : kRates) {
        listed = listed || r == rate;
    }
    baud_ = listed ? rate : 115200;
    read_multiplier_ = baud_ == 9600 ? 50 : 24;
    return listed;
}

void ReaderPort::ScaleTimeouts(uint32_t factor) {
    timeout_scale_ = factor > 0 ? factor : 1;
    if (IsOpen()) {
        SetTimeouts();
    }
}

comm::CommStatus ReaderPort::Open() {
    if (IsOpen()) {
        return CommStatus::Failure("Open", EBUSY);
    }
    comm::OpenResult opened = opener_(comm::ComPortPath(port_number_));
    if (!opened.device) {
        return opened.status ? CommStatus::Failure("open", EIO) : opened.status;
    }
    device_ = std::move(opened.device);
    // The driver's own queues are used as they are: Linux sizes them itself. Line state and
    // time-out failures are not reported, as a port that opened is usable.
    SetLineState(baud_, 8, comm::NOPARITY, comm::ONESTOPBIT);
    SetTimeouts();
    return {};
}

bool ReaderPort::Close() {
    if (!IsOpen()) {
        return false;
    }
    device_.reset();
    return true;
}

CommStatus ReaderPort::SetLineState(int baud, int data_bits, int parity, int stop_bits) {
    if (!IsOpen()) {
        return NotOpen("SetLineState");
    }
    if (CommStatus armed = device_->SetEventMask(comm::EV_RXCHAR); !armed) {
        return armed;
    }
    comm::Dcb dcb;
    if (CommStatus got = device_->GetState(dcb); !got) {
        return got;
    }
    dcb.BaudRate = static_cast<uint32_t>(baud);
    dcb.ByteSize = static_cast<uint8_t>(data_bits);
    dcb.Parity = static_cast<uint8_t>(parity);
    dcb.StopBits = static_cast<uint8_t>(stop_bits);
    dcb.fParity = parity != 0 ? 1 : 0;
    return device_->SetState(dcb);
}

CommStatus ReaderPort::SetTimeouts() {
    if (!IsOpen()) {
        return NotOpen("SetTimeouts");
    }
    comm::CommTimeouts t;
    if (CommStatus got = device_->GetTimeouts(t); !got) {
        return got;
    }
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = read_multiplier_ * timeout_scale_;
    t.ReadTotalTimeoutConstant = 0;
    // Every write of the library waits at most this long (the write time-outs read from the
    // port are otherwise unused); setting it once spares two changes per write.
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = static_cast<uint32_t>(Scaled(kWriteWaitMs));
    return device_->SetTimeouts(t);
}

CommStatus ReaderPort::Write(const uint8_t* bytes, size_t length, int wait_ms) {
    if (!IsOpen()) {
        return NotOpen("Write");
    }
    size_t written = 0;
    auto write = [&] { return device_->Write(bytes, length, written); };
    // The port's write time-out is the usual wait; another wait replaces it for this write.
    const CommStatus status =
        wait_ms == kWriteWaitMs ? write() : WithTimeouts(*device_, write, [&](CommTimeouts& t) {
            t.WriteTotalTimeoutMultiplier = 0;
            t.WriteTotalTimeoutConstant = WaitConstant(Scaled(wait_ms));
        });
    if (status && written != length) {
        return CommStatus::Failure("Write", ETIMEDOUT);  // the write time-out cut it short
    }
    return status;
}

CommStatus ReaderPort::Read(uint8_t* buffer, size_t length, size_t* got, int wait_ms) {
    size_t count = 0;
    if (got != nullptr) {
        *got = 0;
    }
    if (!IsOpen()) {
        return NotOpen("Read");
    }
    const uint64_t own_limit = uint64_t{read_multiplier_} * timeout_scale_ * length;
    const bool bounded_by_wait =
        own_limit == 0 || own_limit > static_cast<uint64_t>(Scaled(wait_ms));
    auto read = [&] { return device_->Read(buffer, length, count); };
    // A read that would outlast the caller's wait gives up when the wait ends.
    const CommStatus status =
        !bounded_by_wait ? read() : WithTimeouts(*device_, read, [&](CommTimeouts& t) {
            t.ReadIntervalTimeout = 0;
            t.ReadTotalTimeoutMultiplier = 0;
            t.ReadTotalTimeoutConstant = WaitConstant(Scaled(wait_ms));
        });
    if (got != nullptr) {
        *got = count;
    }
    if (status && bounded_by_wait && count < length) {
        return CommStatus::Failure("Read", ETIMEDOUT);
    }
    return status;
}

CommStatus ReaderPort::WaitForData(int ms) {
    if (!IsOpen()) {
        return NotOpen("WaitForData");
    }
    uint32_t events = 0;
    if (CommStatus waited = device_->WaitEventFor(events, Scaled(ms)); !waited) {
        return waited;
    }
    return (events & comm::EV_RXCHAR) ? CommStatus{} : CommStatus::Failure("WaitForData", ENODATA);
}

uint32_t ReaderPort::BytesWaiting() {
    if (!IsOpen()) {
        return 0;
    }
    uint32_t errors = 0;
    comm::QueueStatus queue;
    if (!device_->ClearError(&errors, &queue)) {
        return 0;
    }
    return queue.in_queue;
}

CommStatus ReaderPort::PurgeReceive() {
    if (!IsOpen()) {
        return NotOpen("PurgeReceive");
    }
    // No read is pending while the library purges (it has one thread), so clearing is enough.
    return device_->Purge(comm::PURGE_RXCLEAR);
}

}  // namespace reader
