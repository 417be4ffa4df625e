#include "driver/tests/scripted_serial_driver.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sievra::testing {

using namespace kernel;

namespace {
ScriptedSerialDriver* g_current = nullptr;  // the driver object's owner, for the static dispatch
}

ScriptedSerialDriver::ScriptedSerialDriver() {
    g_current = this;
    for (auto& f : driver_.MajorFunction)
        f = &ScriptedSerialDriver::Dispatch;
}

ScriptedSerialDriver::~ScriptedSerialDriver() {
    while (!driver_.devices.empty()) {
        DeviceObject* d = driver_.devices.back();
        d->AttachedDevice = nullptr;
        IoDeleteDevice(d);
    }
    g_current = nullptr;
}

DeviceObject* ScriptedSerialDriver::AddPort(uint32_t device_type) {
    DeviceObject* device = nullptr;
    IoCreateDevice(&driver_, 0, {}, device_type, 0, false, &device);
    device->Flags = DO_BUFFERED_IO | DO_POWER_PAGABLE;
    return device;
}

std::vector<uint8_t> ScriptedSerialDriver::Written() {
    std::lock_guard lock(mutex_);
    return written_;
}

void ScriptedSerialDriver::QueueReadData(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    to_read_.insert(to_read_.end(), bytes.begin(), bytes.end());
}

void ScriptedSerialDriver::SetHoldReads(bool hold) {
    std::lock_guard lock(mutex_);
    hold_reads_ = hold;
}

void ScriptedSerialDriver::SetControlAnswer(uint32_t code, const std::vector<uint8_t>& output) {
    std::lock_guard lock(mutex_);
    answers_[code] = output;
}

std::vector<uint8_t> ScriptedSerialDriver::ControlInput(uint32_t code) {
    std::lock_guard lock(mutex_);
    return inputs_[code];
}

void ScriptedSerialDriver::ReleaseHeldRead() {
    Irp* irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        irp = std::exchange(held_read_, nullptr);
        if (irp == nullptr)
            return;
        const uint32_t length = IoGetCurrentIrpStackLocation(irp)->Parameters.Length;
        const size_t n = std::min<size_t>(length, to_read_.size());
        std::copy_n(to_read_.begin(), n, static_cast<uint8_t*>(irp->SystemBuffer));
        to_read_.erase(to_read_.begin(), to_read_.begin() + static_cast<std::ptrdiff_t>(n));
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = n;
    }
    IoCompleteRequest(irp);
}

NTSTATUS ScriptedSerialDriver::Dispatch(DeviceObject*, Irp* irp) {
    return g_current->Handle(irp);
}

NTSTATUS ScriptedSerialDriver::Handle(Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<uint8_t*>(irp->SystemBuffer);
    uintptr_t information = 0;
    {
        std::unique_lock lock(mutex_);
        switch (location->MajorFunction) {
            case IRP_MJ_WRITE:
                written_.insert(written_.end(), buffer, buffer + location->Parameters.Length);
                information = location->Parameters.Length;
                break;
            case IRP_MJ_READ:
                if (hold_reads_) {
                    held_read_ = irp;
                    IoMarkIrpPending(irp);
                    return STATUS_PENDING;
                } else {
                    const size_t n = std::min<size_t>(location->Parameters.Length, to_read_.size());
                    std::copy_n(to_read_.begin(), n, buffer);
                    to_read_.erase(to_read_.begin(),
                                   to_read_.begin() + static_cast<std::ptrdiff_t>(n));
                    information = n;
                }
                break;
            case IRP_MJ_DEVICE_CONTROL: {
                const uint32_t code = location->Parameters.IoControlCode;
                const uint32_t in = location->Parameters.InputBufferLength;
                if (in > 0 && buffer != nullptr)
                    inputs_[code].assign(buffer, buffer + in);
                const auto& answer = answers_[code];
                const size_t n =
                    std::min<size_t>(answer.size(), location->Parameters.OutputBufferLength);
                if (n > 0 && buffer != nullptr)
                    std::memcpy(buffer, answer.data(), n);
                information = n;
                break;
            }
            default:
                break;
        }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp);
    return STATUS_SUCCESS;
}

RequestResult SendRequest(DeviceObject* top, uint8_t major, std::vector<uint8_t> buffer,
                          uint32_t length, uint32_t code, uint32_t input_length,
                          uint32_t output_length, uint8_t minor) {
    const IoStatusBlock iosb =
        IoCallDriverAndWait(top, major, buffer.empty() ? nullptr : buffer.data(), length, code,
                            input_length, output_length, minor);
    buffer.resize(
        std::min<size_t>(buffer.size(), std::max<size_t>(iosb.Information, input_length)));
    return {iosb.Status, iosb.Information, buffer};
}

AsyncRequest::AsyncRequest(DeviceObject* top, uint8_t major, uint32_t length) : buffer_(length) {
    irp_ = std::make_unique<Irp>(top->StackSize);
    irp_->UserEvent = &done_;
    irp_->UserIosb = &iosb_;
    irp_->SystemBuffer = buffer_.empty() ? nullptr : buffer_.data();
    IoStackLocation* next = irp_->NextStackLocation();
    next->MajorFunction = major;
    next->Parameters.Length = length;
    start_status_ = IoCallDriver(top, irp_.get());
}

AsyncRequest::~AsyncRequest() {
    done_.Wait(5000);
}

bool AsyncRequest::Wait(int timeout_ms) {
    return done_.Wait(timeout_ms);
}

std::vector<uint8_t> AsyncRequest::Data() const {
    return {buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(
                                                   iosb_.Information, buffer_.size()))};
}

}  // namespace sievra::testing
