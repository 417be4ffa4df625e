#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/io_manager.h"

namespace sievra::testing {

// A serial driver for tests: one device per port, whose reads return scripted bytes, whose
// writes are recorded, and whose control requests answer from a table (input stored, output
// returned). Reads can be held pending and completed later.
class ScriptedSerialDriver {
  public:
    ScriptedSerialDriver();
    ~ScriptedSerialDriver();

    kernel::DeviceObject* AddPort(uint32_t device_type = kernel::FILE_DEVICE_SERIAL_PORT);

    // What the port has received from above, and what it will deliver.
    std::vector<uint8_t> Written();
    void QueueReadData(const std::vector<uint8_t>& bytes);
    void SetHoldReads(bool hold);
    void ReleaseHeldRead();  // completes a held read with the queued data
    void SetControlAnswer(uint32_t code, const std::vector<uint8_t>& output);
    std::vector<uint8_t> ControlInput(uint32_t code);

    kernel::DriverObject& driver() { return driver_; }

  private:
    static kernel::NTSTATUS Dispatch(kernel::DeviceObject* device, kernel::Irp* irp);
    kernel::NTSTATUS Handle(kernel::Irp* irp);

    kernel::DriverObject driver_;
    std::mutex mutex_;  // guards everything below
    std::vector<uint8_t> written_;
    std::deque<uint8_t> to_read_;
    bool hold_reads_ = false;
    kernel::Irp* held_read_ = nullptr;
    std::map<uint32_t, std::vector<uint8_t>> answers_;
    std::map<uint32_t, std::vector<uint8_t>> inputs_;
};

// A request from above (the port's application or the workbench) to the top of a device's
// stack, waited for until it completes.
struct RequestResult {
    kernel::NTSTATUS status;
    uintptr_t information;
    std::vector<uint8_t> buffer;
};
RequestResult SendRequest(kernel::DeviceObject* top, uint8_t major,
                          std::vector<uint8_t> buffer = {}, uint32_t length = 0, uint32_t code = 0,
                          uint32_t input_length = 0, uint32_t output_length = 0, uint8_t minor = 0);

// A request whose completion the test waits for later (a read that pends).
class AsyncRequest {
  public:
    AsyncRequest(kernel::DeviceObject* top, uint8_t major, uint32_t length);
    ~AsyncRequest();
    kernel::NTSTATUS start_status() const { return start_status_; }
    bool Wait(int timeout_ms);
    kernel::Irp* irp() { return irp_.get(); }
    std::vector<uint8_t> Data() const;
    kernel::IoStatusBlock status() const { return iosb_; }

  private:
    std::vector<uint8_t> buffer_;
    kernel::KEvent done_;
    kernel::IoStatusBlock iosb_;
    std::unique_ptr<kernel::Irp> irp_;  // after the event and status block it points at
    kernel::NTSTATUS start_status_;
};

}  // namespace sievra::testing
