#include "platform/kernel/io_manager.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace kernel {
namespace {

// The object namespace: device names and symbolic links.
struct Namespace {
    std::mutex mutex;  // guards devices and links
    std::map<std::string, DeviceObject*> devices;
    std::map<std::string, std::string> links;
};

Namespace& Names() {
    static Namespace names;
    return names;
}

std::mutex g_bugcheck_mutex;  // guards g_bugcheck
std::function<void(const std::string&)> g_bugcheck;
std::atomic<int> g_pool_failures{0};
std::atomic<int> g_pool_successes_first{0};

}  // namespace

void SetBugCheckHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(g_bugcheck_mutex);
    g_bugcheck = std::move(handler);
}

void KernelBugCheck(const std::string& what) {
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(g_bugcheck_mutex);
        handler = g_bugcheck;
    }
    if (handler)
        handler(what);
    std::fprintf(stderr, "kernel bug check: %s\n", what.c_str());
    std::abort();
}

// --- events and locks ------------------------------------------------------------------------

void KEvent::Set() {
    // Notified under the lock: a waiter that sees the event set may destroy it at once (it lives
    // on the waiter's stack), so nothing may touch it after the lock is released.
    std::lock_guard lock(mutex_);
    signalled_ = true;
    changed_.notify_all();
}

void KEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool KEvent::IsSet() {
    std::lock_guard lock(mutex_);
    return signalled_;
}

bool KEvent::Wait(int timeout_ms) {
    std::unique_lock lock(mutex_);
    if (timeout_ms < 0) {
        changed_.wait(lock, [this] { return signalled_; });
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return signalled_; });
}

void KSpinLock::Acquire(KIRQL* old_irql) {
    mutex_.lock();
    if (old_irql)
        *old_irql = 0;
}

void KSpinLock::Release(KIRQL) {
    mutex_.unlock();
}

// --- pool ------------------------------------------------------------------------------------

void SetPoolFailures(int next_allocations_to_fail, int succeed_first) {
    g_pool_successes_first = succeed_first;
    g_pool_failures = next_allocations_to_fail;
}

void* ExAllocatePoolWithTag(size_t size, uint32_t) {
    if (g_pool_failures > 0 && g_pool_successes_first > 0) {
        --g_pool_successes_first;
    } else if (g_pool_failures > 0) {
        --g_pool_failures;
        return nullptr;
    }
    return std::calloc(1, size);
}

void ExFreePoolWithTag(void* memory, uint32_t) {
    std::free(memory);
}

// --- devices ---------------------------------------------------------------------------------

NTSTATUS IoCreateDevice(DriverObject* driver, size_t extension_size, const std::string& name,
                        uint32_t type, uint32_t characteristics, bool exclusive,
                        DeviceObject** device) {
    *device = nullptr;
    auto created = std::make_unique<DeviceObject>();
    created->DeviceType = type;
    created->Characteristics = characteristics;
    created->Flags = DO_DEVICE_INITIALIZING;
    created->Driver = driver;
    created->Name = name;
    created->Exclusive = exclusive;
    created->extension_storage.assign(extension_size, 0);
    if (!name.empty()) {
        Namespace& names = Names();
        std::lock_guard lock(names.mutex);
        if (names.devices.count(name))
            return STATUS_OBJECT_NAME_COLLISION;
        names.devices[name] = created.get();
    }
    *device = created.release();
    driver->devices.push_back(*device);
    return STATUS_SUCCESS;
}

void IoDeleteDevice(DeviceObject* device) {
    if (device->AttachedDevice != nullptr) {
        KernelBugCheck("IoDeleteDevice: another device is still attached above " + device->Name);
    }
    if (!device->Name.empty()) {
        Namespace& names = Names();
        std::lock_guard lock(names.mutex);
        names.devices.erase(device->Name);
    }
    auto& list = device->Driver->devices;
    list.erase(std::remove(list.begin(), list.end(), device), list.end());
    delete device;
}

DeviceObject* IoAttachDeviceToDeviceStack(DeviceObject* source, DeviceObject* target) {
    DeviceObject* top = target;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    top->AttachedDevice = source;
    source->LowerDevice = top;
    return top;
}

void IoDetachDevice(DeviceObject* lower) {
    if (lower->AttachedDevice == nullptr) {
        KernelBugCheck("IoDetachDevice: nothing is attached");
    }
    lower->AttachedDevice->LowerDevice = nullptr;
    lower->AttachedDevice = nullptr;
}

NTSTATUS IoCreateSymbolicLink(const std::string& link, const std::string& device_name) {
    Namespace& names = Names();
    std::lock_guard lock(names.mutex);
    if (names.links.count(link))
        return STATUS_OBJECT_NAME_COLLISION;
    names.links[link] = device_name;
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(const std::string& link) {
    Namespace& names = Names();
    std::lock_guard lock(names.mutex);
    return names.links.erase(link) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

DeviceObject* IoLookupDevice(const std::string& name_or_link) {
    Namespace& names = Names();
    std::lock_guard lock(names.mutex);
    std::string name = name_or_link;
    if (auto link = names.links.find(name); link != names.links.end())
        name = link->second;
    auto device = names.devices.find(name);
    return device == names.devices.end() ? nullptr : device->second;
}

// --- requests --------------------------------------------------------------------------------

Irp::Irp(int8_t stack_size)
    : Stack(static_cast<size_t>(std::max<int8_t>(stack_size, 1))),
      CurrentLocation(static_cast<int>(Stack.size())) {}

IoStackLocation* Irp::CurrentStackLocation() {
    if (CurrentLocation < 0 || CurrentLocation >= static_cast<int>(Stack.size())) {
        KernelBugCheck("no current stack location");
    }
    return &Stack[static_cast<size_t>(CurrentLocation)];
}

IoStackLocation* Irp::NextStackLocation() {
    const int next = CurrentLocation - 1;
    if (next < 0)
        KernelBugCheck("no stack location below the current one");
    return &Stack[static_cast<size_t>(next)];
}

IoStackLocation* IoGetCurrentIrpStackLocation(Irp* irp) {
    return irp->CurrentStackLocation();
}
IoStackLocation* IoGetNextIrpStackLocation(Irp* irp) {
    return irp->NextStackLocation();
}

void IoCopyCurrentIrpStackLocationToNext(Irp* irp) {
    IoStackLocation copy = *irp->CurrentStackLocation();
    copy.Completion = nullptr;
    copy.Context = nullptr;
    copy.Control = 0;
    *irp->NextStackLocation() = copy;
}

void IoSkipCurrentIrpStackLocation(Irp* irp) {
    ++irp->CurrentLocation;
}

void IoSetCompletionRoutine(Irp* irp, CompletionRoutine routine, void* context, bool on_success,
                            bool on_error, bool on_cancel) {
    IoStackLocation* next = irp->NextStackLocation();
    next->Completion = routine;
    next->Context = context;
    next->Control = static_cast<uint8_t>((on_success ? SL_INVOKE_ON_SUCCESS : 0) |
                                         (on_error ? SL_INVOKE_ON_ERROR : 0) |
                                         (on_cancel ? SL_INVOKE_ON_CANCEL : 0));
}

void IoMarkIrpPending(Irp* irp) {
    irp->CurrentStackLocation()->Control |= SL_PENDING_RETURNED;
}

NTSTATUS IoCallDriver(DeviceObject* device, Irp* irp) {
    if (device == nullptr)
        KernelBugCheck("IoCallDriver without a device");
    --irp->CurrentLocation;
    if (irp->CurrentLocation < 0)
        KernelBugCheck("IoCallDriver: the request has no stack location left");
    IoStackLocation* location = irp->CurrentStackLocation();
    location->Device = device;
    DriverDispatch dispatch = device->Driver->MajorFunction[location->MajorFunction];
    if (dispatch == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(device, irp);
}

void IoCompleteRequest(Irp* irp) {
    if (irp->completed)
        KernelBugCheck("IoCompleteRequest: the request was completed twice");
    if (irp->IoStatus.Status == STATUS_PENDING)
        KernelBugCheck("IoCompleteRequest with STATUS_PENDING");
    irp->completed = true;
    const int size = static_cast<int>(irp->Stack.size());
    for (int location = std::max(irp->CurrentLocation, 0); location < size; ++location) {
        IoStackLocation& here = irp->Stack[static_cast<size_t>(location)];
        irp->PendingReturned = (here.Control & SL_PENDING_RETURNED) != 0;
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = here.Completion != nullptr &&
                            ((NT_SUCCESS(status) && (here.Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && status != STATUS_CANCELLED &&
                              (here.Control & SL_INVOKE_ON_ERROR)) ||
                             (status == STATUS_CANCELLED && (here.Control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            DeviceObject* owner = location + 1 < size
                                      ? irp->Stack[static_cast<size_t>(location) + 1].Device
                                      : nullptr;
            irp->CurrentLocation = location + 1;
            if (here.Completion(owner, irp, here.Context) == STATUS_MORE_PROCESSING_REQUIRED) {
                irp->completed = false;  // the routine's owner takes the request back
                return;
            }
        } else if (irp->PendingReturned && location + 1 < size) {
            irp->Stack[static_cast<size_t>(location) + 1].Control |= SL_PENDING_RETURNED;
        }
    }
    irp->CurrentLocation = size;
    if (irp->UserBuffer != nullptr && irp->SystemBuffer != nullptr) {
        const size_t n = std::min<size_t>(irp->IoStatus.Information, irp->UserBufferLength);
        std::memcpy(irp->UserBuffer, irp->SystemBuffer, n);
    }
    if (irp->UserIosb != nullptr)
        *irp->UserIosb = irp->IoStatus;
    KEvent* event = irp->UserEvent;
    if (irp->released_on_completion)
        delete irp;
    if (event != nullptr)
        event->Set();  // last: the waiter may go on at once
}

Irp* IoBuildDeviceIoControlRequest(uint32_t code, DeviceObject* device, const void* input,
                                   uint32_t input_length, void* output_buffer,
                                   uint32_t output_length, KEvent* event, IoStatusBlock* iosb) {
    auto* irp = new Irp(device->StackSize);
    irp->owned_buffer.assign(std::max(input_length, output_length), 0);
    if (input != nullptr && input_length > 0)
        std::memcpy(irp->owned_buffer.data(), input, input_length);
    irp->SystemBuffer = irp->owned_buffer.data();
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    IoStackLocation* next = irp->NextStackLocation();
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.IoControlCode = code;
    next->Parameters.InputBufferLength = input_length;
    next->Parameters.OutputBufferLength = output_length;
    irp->UserBuffer = output_buffer;
    irp->UserBufferLength = output_length;
    irp->released_on_completion = true;
    return irp;
}

IoStatusBlock IoCallDriverAndWait(DeviceObject* device, uint8_t major, void* buffer,
                                  uint32_t length, uint32_t code, uint32_t input_length,
                                  uint32_t output_length, uint8_t minor) {
    Irp irp(device->StackSize);
    KEvent done;
    IoStatusBlock status;
    irp.UserEvent = &done;
    irp.UserIosb = &status;
    irp.SystemBuffer = buffer;
    IoStackLocation* next = irp.NextStackLocation();
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->Parameters.Length = length;
    next->Parameters.IoControlCode = code;
    next->Parameters.InputBufferLength = input_length;
    next->Parameters.OutputBufferLength = output_length;
    IoCallDriver(device, &irp);
    done.Wait();
    return status;
}

void IoFreeIrp(Irp* irp) {
    delete irp;
}

}  // namespace kernel
