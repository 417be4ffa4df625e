#include "driver/sievra_driver.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "driver/rule_engine.h"

namespace sievra {

using namespace kernel;

namespace {

constexpr uint32_t kQueueTag = 0x206b6444;  // "Ddk "
constexpr uint32_t kLockTag = 0x6b636f4c;   // "Lock"
constexpr uint32_t kFlagsFromBelow = 0x6014;

// Ports added since the driver was loaded; never lowered, so numbers are not reused.
std::atomic<uint32_t> g_port_counter{0};

// Holds the port's lock for a scope.
class PortLock {
  public:
    explicit PortLock(SievraExtension* ext) : lock_(ext->port_lock) { lock_->Acquire(&irql_); }
    ~PortLock() { lock_->Release(irql_); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

  private:
    KSpinLock* lock_;
    KIRQL irql_ = 0;
};

NTSTATUS CompleteNow(Irp* irp, NTSTATUS status, uintptr_t information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp);
    return status;
}

// Moves up to the request's length of queued records into a read; needs the port lock.
uintptr_t DeliverLocked(SievraExtension* control, Irp* read) {
    const uint32_t length = IoGetCurrentIrpStackLocation(read)->Parameters.Length;
    const uint32_t m = std::min(length, control->queued);
    std::memcpy(read->SystemBuffer, control->queue, m);
    std::memmove(control->queue, control->queue + m, control->queued - m);
    control->queued -= m;
    return m;
}

// Appends a record; a waiting read takes everything queued. Called with the port lock held;
// returns the read to complete (after the lock is released), if any.
Irp* AddRecordLocked(SievraExtension* control, uint8_t tag, uint32_t kind, uint32_t code,
                     const uint8_t* data, uint32_t length) {
    if (control == nullptr || control->queue == nullptr)
        return nullptr;
    if (control->queued + kRecordHeaderSize + length >= kRecordQueueSize)
        control->queued = 0;
    if (control->queued + kRecordHeaderSize + length >= kRecordQueueSize)
        length = kMaxRecordData;
    uint8_t* at = control->queue + control->queued;
    at[0] = tag;
    PutLe32(at + 1, kind);
    PutLe32(at + 5, code);
    PutLe32(at + 9, length);
    control->queued += kRecordHeaderSize;
    if (length > 0 && data != nullptr) {
        std::memcpy(at + kRecordHeaderSize, data, length);
        control->queued += length;
    }
    Irp* read = control->pending_read;
    if (read == nullptr)
        return nullptr;
    control->pending_read = nullptr;
    read->IoStatus.Status = STATUS_SUCCESS;
    read->IoStatus.Information = DeliverLocked(control, read);
    return read;
}

void CompleteTaken(Irp* read) {
    if (read != nullptr)
        IoCompleteRequest(read);
}

// Applies one direction's rules of a filter device to a transfer; events go to the queue.
// Needs the port lock; returns a read to complete.
Irp* ApplyDirectionLocked(SievraExtension* filter, bool send, uint8_t* data, uint32_t& length) {
    Irp* taken = nullptr;
    SievraExtension* control = filter->partner;
    auto report = [&](uint32_t code, uint32_t action, uint8_t before, uint8_t after) {
        const uint8_t pair[2] = {before, after};
        Irp* read = AddRecordLocked(control, static_cast<uint8_t>(action), kKindDeviceControl, code,
                                    pair, 2);
        if (read != nullptr)
            taken = read;  // at most one read waits at a time
    };
    if (send) {
        ApplyRules(filter->send_time_rule, IOCTL_FILTER_SEND_TIME_RULE, filter->send_count_rule,
                   IOCTL_FILTER_SEND_COUNT_RULE, data, length, report);
    } else {
        ApplyRules(filter->recv_time_rule, IOCTL_FILTER_RECV_TIME_RULE, filter->recv_count_rule,
                   IOCTL_FILTER_RECV_COUNT_RULE, data, length, report);
    }
    return taken;
}

// --- filter device ---------------------------------------------------------------------------

// Runs when a request passed down completes (any thread). Records it (monitor mode) or applies
// the receive rules to a completed read (filter mode) while the workbench watches.
NTSTATUS FilterCompletion(DeviceObject*, Irp* irp, void* context) {
    auto* filter = static_cast<SievraExtension*>(context);
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    Irp* taken = nullptr;
    {
        PortLock lock(filter);
        SievraExtension* control = filter->partner;
        if (control != nullptr && control->open) {
            const uint8_t major = location->MajorFunction;
            auto* buffer = static_cast<uint8_t*>(irp->SystemBuffer);
            if (filter->link_mode == kLinkModeFilter) {
                if (major == IRP_MJ_READ && NT_SUCCESS(irp->IoStatus.Status) && buffer != nullptr) {
                    uint32_t length = static_cast<uint32_t>(irp->IoStatus.Information);
                    taken = ApplyDirectionLocked(filter, false, buffer, length);
                    irp->IoStatus.Information = length;
                }
            } else if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE) {
                if (location->MinorFunction != kMinorUnrecorded) {
                    uint8_t status[4];
                    PutLe32(status, static_cast<uint32_t>(irp->IoStatus.Status));
                    taken = AddRecordLocked(control, kMonitorTag,
                                            major == IRP_MJ_CREATE ? kKindCreate : kKindClose, 0,
                                            status, 4);
                }
            } else if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
                uint32_t length = static_cast<uint32_t>(irp->IoStatus.Information);
                if (major == IRP_MJ_WRITE)
                    length = std::min(length, location->Parameters.Length);
                const uint32_t continues =
                    location->MinorFunction == kMinorContinues ? kRecordContinues : 0;
                taken = AddRecordLocked(control, kMonitorTag,
                                        major == IRP_MJ_READ ? kKindRead : kKindWrite, continues,
                                        buffer, buffer != nullptr ? length : 0);
            } else if (major == IRP_MJ_DEVICE_CONTROL) {
                const uint32_t length = std::max(location->Parameters.InputBufferLength,
                                                 location->Parameters.OutputBufferLength);
                taken = AddRecordLocked(control, kMonitorTag, kKindDeviceControl,
                                        location->Parameters.IoControlCode, buffer,
                                        buffer != nullptr ? length : 0);
            }
        }
    }
    CompleteTaken(taken);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS PassDownWithCompletion(SievraExtension* filter, Irp* irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FilterCompletion, filter, true, true, true);
    return IoCallDriver(filter->lower, irp);
}

NTSTATUS PassDown(SievraExtension* filter, Irp* irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(filter->lower, irp);
}

void ClearRulesLocked(SievraExtension* filter) {
    filter->send_count_rule = {};
    filter->send_time_rule = {};
    filter->recv_count_rule = {};
    filter->recv_time_rule = {};
}

void RemovePort(SievraExtension* filter) {
    SievraExtension* control = filter->partner;
    DeviceObject* filter_device = filter->self;
    KSpinLock* lock = filter->port_lock;
    IoDetachDevice(filter->lower);
    if (control != nullptr) {
        ExFreePoolWithTag(control->queue, kQueueTag);
        control->queue = nullptr;
        IoDeleteSymbolicLink(control->link_name);
        IoDeleteDevice(control->self);
    }
    IoDeleteDevice(filter_device);
    lock->~KSpinLock();
    ExFreePoolWithTag(lock, kLockTag);
}

// The host's own reports about the port's application, never passed to the serial driver:
// requests that bypassed the filter or the record (queued in either mode while the workbench
// watches) and a change of the process making the requests (monitor mode).
NTSTATUS RecordHostReport(SievraExtension* filter, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    const uint32_t code = location->Parameters.IoControlCode;
    const uint32_t length = location->Parameters.InputBufferLength;
    const bool bypass = code == IOCTL_SIEVRA_BYPASS_REPORT;
    if (irp->SystemBuffer == nullptr ||
        (bypass ? length != kBypassReportSize : length < 4 || length > 4 + 16)) {
        return CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
    }
    Irp* taken = nullptr;
    {
        PortLock lock(filter);
        SievraExtension* control = filter->partner;
        if (control != nullptr && control->open &&
            (bypass || filter->link_mode != kLinkModeFilter)) {
            taken = AddRecordLocked(control, kMonitorTag, kKindDeviceControl, code,
                                    static_cast<const uint8_t*>(irp->SystemBuffer), length);
        }
    }
    CompleteTaken(taken);
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS FilterDispatch(SievraExtension* filter, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
        case IRP_MJ_DEVICE_CONTROL:
            if (location->Parameters.IoControlCode == IOCTL_SIEVRA_BYPASS_REPORT ||
                location->Parameters.IoControlCode == IOCTL_SIEVRA_PROCESS_REPORT ||
                location->Parameters.IoControlCode == IOCTL_SIEVRA_TIME_REPORT) {
                return RecordHostReport(filter, irp);
            }
            return PassDownWithCompletion(filter, irp);
        case IRP_MJ_CREATE:
        case IRP_MJ_READ:
        case IRP_MJ_CLEANUP:
            return PassDownWithCompletion(filter, irp);
        case IRP_MJ_CLOSE: {
            PortLock lock(filter);
            ClearRulesLocked(filter);  // the application let go of the port: its rules end
        }
            return PassDownWithCompletion(filter, irp);
        case IRP_MJ_WRITE: {
            Irp* taken = nullptr;
            {
                PortLock lock(filter);
                SievraExtension* control = filter->partner;
                if (filter->link_mode == kLinkModeFilter && control != nullptr && control->open &&
                    irp->SystemBuffer != nullptr) {
                    taken =
                        ApplyDirectionLocked(filter, true, static_cast<uint8_t*>(irp->SystemBuffer),
                                             location->Parameters.Length);
                }
            }
            CompleteTaken(taken);
            return PassDownWithCompletion(filter, irp);
        }
        case IRP_MJ_PNP: {
            const bool remove = location->MinorFunction == IRP_MN_REMOVE_DEVICE;
            const NTSTATUS status = PassDown(filter, irp);
            if (remove)
                RemovePort(filter);
            return status;
        }
        default:
            return PassDown(filter, irp);
    }
}

// --- control device --------------------------------------------------------------------------

NTSTATUS ForwardToSerialDriver(SievraExtension* control, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    SievraExtension* filter = control->partner;
    if (filter == nullptr || filter->lower == nullptr)
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    const uint32_t in = location->Parameters.InputBufferLength;
    const uint32_t out = location->Parameters.OutputBufferLength;
    KEvent done;
    IoStatusBlock status;
    Irp* forwarded = IoBuildDeviceIoControlRequest(
        location->Parameters.IoControlCode, filter->lower, in != 0 ? irp->SystemBuffer : nullptr,
        in, in != 0 ? nullptr : irp->SystemBuffer, in != 0 ? 0 : out, &done, &status);
    IoCallDriver(filter->lower, forwarded);
    done.Wait();
    return CompleteNow(irp, status.Status, status.Information);
}

NTSTATUS ControlDeviceControl(SievraExtension* control, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    SievraExtension* filter = control->partner;
    FilterRule* slot = nullptr;
    switch (location->Parameters.IoControlCode) {
        case IOCTL_FILTER_SEND_COUNT_RULE:
            slot = &filter->send_count_rule;
            break;
        case IOCTL_FILTER_SEND_TIME_RULE:
            slot = &filter->send_time_rule;
            break;
        case IOCTL_FILTER_RECV_COUNT_RULE:
            slot = &filter->recv_count_rule;
            break;
        case IOCTL_FILTER_RECV_TIME_RULE:
            slot = &filter->recv_time_rule;
            break;
        case IOCTL_FILTER_SET_MODE:
            if (location->Parameters.InputBufferLength < 4 || irp->SystemBuffer == nullptr) {
                return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            }
            {
                PortLock lock(control);
                filter->link_mode = GetLe32(static_cast<const uint8_t*>(irp->SystemBuffer));
            }
            return CompleteNow(irp, STATUS_SUCCESS, 0);
        default:
            return ForwardToSerialDriver(control, irp);
    }
    if (location->Parameters.InputBufferLength < sizeof(FilterRule) ||
        irp->SystemBuffer == nullptr) {
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    {
        PortLock lock(control);
        std::memcpy(slot, irp->SystemBuffer, sizeof(FilterRule));
    }
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS ControlDispatch(SievraExtension* control, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
        case IRP_MJ_CREATE: {
            PortLock lock(control);
            control->open = 1;
            control->cleaned_up = 0;
            control->queued = 0;
            control->pending_read = nullptr;
        }
            return CompleteNow(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLOSE: {
            PortLock lock(control);
            control->open = 0;
        }
            return CompleteNow(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLEANUP: {
            Irp* read = nullptr;
            {
                PortLock lock(control);
                read = control->pending_read;
                control->pending_read = nullptr;
                control->cleaned_up = 1;
            }
            if (read != nullptr)
                CompleteNow(read, STATUS_CANCELLED, 0);
            return CompleteNow(irp, STATUS_SUCCESS, 0);
        }
        case IRP_MJ_READ: {
            if (irp->SystemBuffer == nullptr || location->Parameters.Length == 0) {
                return CompleteNow(irp, STATUS_SUCCESS, 0);
            }
            uintptr_t delivered = 0;
            NTSTATUS status = STATUS_SUCCESS;
            {
                PortLock lock(control);
                if (control->cleaned_up) {
                    status = STATUS_CANCELLED;  // the handle is going: no read may wait now
                } else if (control->pending_read != nullptr) {
                    delivered = 0;
                } else if (control->queued > 0) {
                    delivered = DeliverLocked(control, irp);
                } else {
                    control->pending_read = irp;
                    IoMarkIrpPending(irp);
                    return STATUS_PENDING;
                }
            }
            return CompleteNow(irp, status, delivered);
        }
        case IRP_MJ_WRITE:
        case IRP_MJ_PNP:
            return CompleteNow(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_DEVICE_CONTROL:
            return ControlDeviceControl(control, irp);
        default:
            return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST,
                               0);  // a control device has no lower device
    }
}

// One routine for every request type: the device's role decides.
NTSTATUS Dispatch(DeviceObject* device, Irp* irp) {
    SievraExtension* ext = ExtensionOf(device);
    return ext->role == kPortControlDevice ? ControlDispatch(ext, irp) : FilterDispatch(ext, irp);
}

}  // namespace

bool RecordWouldFit(DeviceObject* filter_device, uint32_t length) {
    SievraExtension* filter = ExtensionOf(filter_device);
    PortLock lock(filter);
    const SievraExtension* control = filter->partner;
    if (control == nullptr || !control->open || filter->link_mode == kLinkModeFilter)
        return true;
    const uint32_t size = kRecordHeaderSize + std::min(length, kMaxRecordData);
    return control->queued == 0 || control->queued + size < kRecordQueueSize;
}

RuleOutlook RuleOutlookOf(DeviceObject* filter_device) {
    SievraExtension* filter = ExtensionOf(filter_device);
    PortLock lock(filter);
    RuleOutlook outlook{};
    const SievraExtension* control = filter->partner;
    if (control == nullptr || !control->open || filter->link_mode != kLinkModeFilter)
        return outlook;
    const FilterRule* time_rules[2] = {&filter->send_time_rule, &filter->recv_time_rule};
    const FilterRule* count_rules[2] = {&filter->send_count_rule, &filter->recv_count_rule};
    for (int d = 0; d < 2; ++d) {
        outlook.time_armed[d] = time_rules[d]->count != 0;
        // A count rule acts on the byte that takes its countdown to 0.
        outlook.count_left[d] =
            count_rules[d]->count != 0 ? std::max(count_rules[d]->countdown, 1u) : 0;
    }
    return outlook;
}

PassedBytes CountPassedBytes(DeviceObject* filter_device, bool send, uint32_t bytes) {
    SievraExtension* filter = ExtensionOf(filter_device);
    PortLock lock(filter);
    const SievraExtension* control = filter->partner;
    if (control == nullptr || !control->open || bytes == 0)
        return PassedBytes::kCounted;
    if (filter->link_mode != kLinkModeFilter)
        return PassedBytes::kUnrecorded;
    const FilterRule& time_rule = send ? filter->send_time_rule : filter->recv_time_rule;
    FilterRule& count_rule = send ? filter->send_count_rule : filter->recv_count_rule;
    if (time_rule.count != 0 || (count_rule.count != 0 && bytes >= count_rule.countdown))
        return PassedBytes::kUnfiltered;
    if (count_rule.count != 0)
        count_rule.countdown -= bytes;
    return PassedBytes::kCounted;
}

bool RecordsQueued(DeviceObject* filter_device) {
    SievraExtension* filter = ExtensionOf(filter_device);
    PortLock lock(filter);
    const SievraExtension* control = filter->partner;
    return control != nullptr && control->queued > 0;
}

uint32_t PortsAdded() {
    return g_port_counter.load();
}

NTSTATUS DriverEntry(DriverObject* driver) {
    // Pass-through for every request type up to plug and play, power included: the serial
    // driver below handles power itself.
    for (uint8_t major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = Dispatch;
    driver->AddDevice = AddDevice;
    driver->DriverUnload = [](DriverObject*) {};
    g_port_counter = 0;
    return STATUS_SUCCESS;
}

NTSTATUS AddDevice(DriverObject* driver, DeviceObject* physical_device) {
    DeviceObject* filter_device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SievraExtension), {}, FILE_DEVICE_SERIAL_PORT,
                                     0, true, &filter_device);
    if (!NT_SUCCESS(status))
        return status;
    SievraExtension* filter = ExtensionOf(filter_device);
    std::memset(static_cast<void*>(filter), 0, sizeof *filter);
    filter->role = kPortFilterDevice;
    filter->self = filter_device;
    filter->lower = IoAttachDeviceToDeviceStack(filter_device, physical_device);
    if (filter->lower == nullptr) {
        IoDeleteDevice(filter_device);
        return STATUS_UNSUCCESSFUL;
    }
    filter_device->DeviceType = filter->lower->DeviceType;
    filter_device->Characteristics = filter->lower->Characteristics;
    filter_device->AlignmentRequirement = filter->lower->AlignmentRequirement;
    filter_device->StackSize = static_cast<int8_t>(filter->lower->StackSize + 1);
    filter_device->Flags |= filter->lower->Flags & kFlagsFromBelow;
    if (filter_device->DeviceType == FILE_DEVICE_PARALLEL_PORT) {
        filter_device->Flags &= ~DO_DEVICE_INITIALIZING;
        IoDetachDevice(filter->lower);
        IoDeleteDevice(filter_device);
        return STATUS_SUCCESS;  // printer ports are not watched
    }
    filter_device->Flags |= DO_BUFFERED_IO;
    filter_device->Flags &= ~DO_DEVICE_INITIALIZING;

    void* lock_memory = ExAllocatePoolWithTag(sizeof(KSpinLock), kLockTag);
    if (lock_memory == nullptr) {
        IoDetachDevice(filter->lower);
        IoDeleteDevice(filter_device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KSpinLock* port_lock = new (lock_memory) KSpinLock;
    filter->port_lock = port_lock;
    auto undo_lock = [port_lock, lock_memory] {
        port_lock->~KSpinLock();
        ExFreePoolWithTag(lock_memory, kLockTag);
    };

    const uint32_t n = ++g_port_counter;
    DeviceObject* control_device = nullptr;
    status =
        IoCreateDevice(driver, sizeof(SievraExtension), "\\Device\\FilterDev" + std::to_string(n),
                       FILE_DEVICE_UNKNOWN, 0, true, &control_device);
    if (!NT_SUCCESS(status)) {
        undo_lock();
        IoDetachDevice(filter->lower);
        IoDeleteDevice(filter_device);
        return status;
    }
    SievraExtension* control = ExtensionOf(control_device);
    std::memset(static_cast<void*>(control), 0, sizeof *control);
    control->role = kPortControlDevice;
    control->self = control_device;
    control->port_lock = filter->port_lock;
    control->queue = static_cast<uint8_t*>(ExAllocatePoolWithTag(kRecordQueueSize, kQueueTag));
    if (control->queue == nullptr) {
        undo_lock();
        IoDetachDevice(filter->lower);
        IoDeleteDevice(control_device);
        IoDeleteDevice(filter_device);
        return STATUS_UNSUCCESSFUL;
    }
    control_device->Flags |= DO_BUFFERED_IO;
    control_device->Flags &= ~DO_DEVICE_INITIALIZING;
    filter->partner = control;
    control->partner = filter;
    std::snprintf(control->link_name, sizeof control->link_name, "\\??\\Sievr%u", n);
    status = IoCreateSymbolicLink(control->link_name, control_device->Name);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(filter->lower);
        IoDeleteDevice(filter_device);
        ExFreePoolWithTag(control->queue, kQueueTag);
        IoDeleteDevice(control_device);
        undo_lock();
        return status;
    }
    return STATUS_SUCCESS;
}

}  // namespace sievra
