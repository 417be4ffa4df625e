#pragma once

// A small I/O manager in user space, with the objects and calls the filter driver is written
// against: device objects with extensions, stacks of devices, requests (IRPs) with their stack
// locations, completion routines, named devices and symbolic links, events and locks. It is as
// strict as a kernel about misuse: completing a request twice, calling below the bottom of a
// stack or deleting an attached device stops the process with a message (KernelBugCheck).
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kernel {

using NTSTATUS = int32_t;
inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_PENDING = 0x00000103;
inline constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = static_cast<NTSTATUS>(0xC0000016);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);
inline constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);
inline bool NT_SUCCESS(NTSTATUS s) {
    return s >= 0;
}

// Request types.
inline constexpr uint8_t IRP_MJ_CREATE = 0x00;
inline constexpr uint8_t IRP_MJ_CLOSE = 0x02;
inline constexpr uint8_t IRP_MJ_READ = 0x03;
inline constexpr uint8_t IRP_MJ_WRITE = 0x04;
inline constexpr uint8_t IRP_MJ_FLUSH_BUFFERS = 0x09;
inline constexpr uint8_t IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr uint8_t IRP_MJ_CLEANUP = 0x12;
inline constexpr uint8_t IRP_MJ_POWER = 0x16;
inline constexpr uint8_t IRP_MJ_PNP = 0x1B;
inline constexpr uint8_t IRP_MJ_MAXIMUM_FUNCTION = 0x1B;
inline constexpr uint8_t IRP_MN_START_DEVICE = 0x00;
inline constexpr uint8_t IRP_MN_REMOVE_DEVICE = 0x02;

// Device types, flags.
inline constexpr uint32_t FILE_DEVICE_PARALLEL_PORT = 0x16;
inline constexpr uint32_t FILE_DEVICE_UNKNOWN = 0x22;
inline constexpr uint32_t FILE_DEVICE_SERIAL_PORT = 0x1B;
inline constexpr uint32_t DO_BUFFERED_IO = 0x0004;
inline constexpr uint32_t DO_DIRECT_IO = 0x0010;
inline constexpr uint32_t DO_DEVICE_INITIALIZING = 0x0080;
inline constexpr uint32_t DO_POWER_PAGABLE = 0x2000;
inline constexpr uint32_t DO_POWER_INRUSH = 0x4000;

// Completion-routine invocation flags.
inline constexpr uint8_t SL_INVOKE_ON_SUCCESS = 0x40;
inline constexpr uint8_t SL_INVOKE_ON_ERROR = 0x80;
inline constexpr uint8_t SL_INVOKE_ON_CANCEL = 0x20;
inline constexpr uint8_t SL_PENDING_RETURNED = 0x01;

struct DriverObject;
struct DeviceObject;
struct Irp;

// Stops the process: a driver broke the I/O manager's rules. Tests replace the handler.
[[noreturn]] void KernelBugCheck(const std::string& what);
void SetBugCheckHandler(std::function<void(const std::string&)> handler);

using DriverDispatch = NTSTATUS (*)(DeviceObject* device, Irp* irp);
using CompletionRoutine = NTSTATUS (*)(DeviceObject* device, Irp* irp, void* context);
using AddDeviceRoutine = NTSTATUS (*)(DriverObject* driver, DeviceObject* physical_device);

struct DriverObject {
    DriverDispatch MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    AddDeviceRoutine AddDevice = nullptr;
    void (*DriverUnload)(DriverObject*) = nullptr;
    std::vector<DeviceObject*> devices;  // created by this driver, in creation order
};

struct DeviceObject {
    uint32_t DeviceType = 0;
    uint32_t Characteristics = 0;
    uint32_t AlignmentRequirement = 0;
    uint32_t Flags = 0;
    int8_t StackSize = 1;
    struct DriverObject* Driver = nullptr;
    DeviceObject* AttachedDevice = nullptr;  // the device stacked directly above
    DeviceObject* LowerDevice = nullptr;     // the device this one is attached to
    std::string Name;
    std::vector<uint8_t> extension_storage;
    bool Exclusive = false;
    int open_handles = 0;

    void* DeviceExtension() { return extension_storage.data(); }
    template <class T>
    T* Extension() {
        return static_cast<T*>(DeviceExtension());
    }
};

struct IoStatusBlock {
    NTSTATUS Status = STATUS_SUCCESS;
    uintptr_t Information = 0;
};

struct IoStackLocation {
    uint8_t MajorFunction = 0;
    uint8_t MinorFunction = 0;
    uint8_t Control = 0;
    DeviceObject* Device = nullptr;
    struct {
        uint32_t Length = 0;  // read, write
        uint32_t OutputBufferLength = 0;
        uint32_t InputBufferLength = 0;
        uint32_t IoControlCode = 0;
    } Parameters;
    CompletionRoutine Completion = nullptr;
    void* Context = nullptr;
};

// A kernel event: notification type (stays signalled until reset).
class KEvent {
  public:
    void Set();
    void Reset();
    bool Wait(int timeout_ms = -1);
    bool IsSet();

  private:
    std::mutex mutex_;  // guards signalled_
    std::condition_variable changed_;
    bool signalled_ = false;
};

struct Irp {
    explicit Irp(int8_t stack_size);

    std::vector<IoStackLocation> Stack;  // location 0 is the lowest device's
    int CurrentLocation;  // index of the current location (Stack.size() before the first call)
    void* SystemBuffer = nullptr;  // the caller's buffer for buffered transfers
    IoStatusBlock IoStatus;
    bool PendingReturned = false;
    bool Cancel = false;
    KEvent* UserEvent = nullptr;
    IoStatusBlock* UserIosb = nullptr;
    bool completed = false;
    // Requests the I/O manager built: their own buffer, where the output goes at completion, and
    // the request is released by the I/O manager once complete.
    std::vector<uint8_t> owned_buffer;
    void* UserBuffer = nullptr;
    uint32_t UserBufferLength = 0;
    bool released_on_completion = false;

    IoStackLocation* CurrentStackLocation();
    IoStackLocation* NextStackLocation();
};

// Devices, stacks and names.
NTSTATUS IoCreateDevice(DriverObject* driver, size_t extension_size, const std::string& name,
                        uint32_t type, uint32_t characteristics, bool exclusive,
                        DeviceObject** device);
void IoDeleteDevice(DeviceObject* device);
DeviceObject* IoAttachDeviceToDeviceStack(DeviceObject* source, DeviceObject* target);
void IoDetachDevice(DeviceObject* lower);
NTSTATUS IoCreateSymbolicLink(const std::string& link, const std::string& device_name);
NTSTATUS IoDeleteSymbolicLink(const std::string& link);
// The device a link or a device name leads to, or null.
DeviceObject* IoLookupDevice(const std::string& name_or_link);

// Requests.
IoStackLocation* IoGetCurrentIrpStackLocation(Irp* irp);
IoStackLocation* IoGetNextIrpStackLocation(Irp* irp);
void IoCopyCurrentIrpStackLocationToNext(Irp* irp);
void IoSkipCurrentIrpStackLocation(Irp* irp);
void IoSetCompletionRoutine(Irp* irp, CompletionRoutine routine, void* context, bool on_success,
                            bool on_error, bool on_cancel);
void IoMarkIrpPending(Irp* irp);
NTSTATUS IoCallDriver(DeviceObject* device, Irp* irp);
void IoCompleteRequest(Irp* irp);
// A device-control request for device with its own buffer (input copied in; output copied to
// output_buffer at completion), the event set and the status block filled when it completes.
Irp* IoBuildDeviceIoControlRequest(uint32_t code, DeviceObject* device, const void* input,
                                   uint32_t input_length, void* output_buffer,
                                   uint32_t output_length, KEvent* event, IoStatusBlock* iosb);
// Sends a request to the top of device's stack with the caller's buffer and waits for it to
// complete, however deep it pends.
IoStatusBlock IoCallDriverAndWait(DeviceObject* device, uint8_t major, void* buffer = nullptr,
                                  uint32_t length = 0, uint32_t code = 0, uint32_t input_length = 0,
                                  uint32_t output_length = 0, uint8_t minor = 0);
// Releases a request the caller created (after completion). Built requests release themselves.
void IoFreeIrp(Irp* irp);

// Pool memory, with a test hook that makes the next allocations fail.
void* ExAllocatePoolWithTag(size_t size, uint32_t tag);
void ExFreePoolWithTag(void* memory, uint32_t tag);
// After `succeed_first` more allocations succeed, the next `next_allocations_to_fail` fail.
void SetPoolFailures(int next_allocations_to_fail, int succeed_first = 0);

// A spin lock (a mutex in user space); KIRQL is kept for the shape of the calls.
using KIRQL = uint8_t;
class KSpinLock {
  public:
    void Acquire(KIRQL* old_irql);
    void Release(KIRQL old_irql);

  private:
    std::mutex mutex_;
};

}  // namespace kernel
