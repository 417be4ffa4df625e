#pragma once

// The filter driver: for every serial port a filter device stacked above the port's serial
// driver, through which the port's application talks to the port, and a named control device
// through which the workbench watches and steers it.
#include "driver/sievra_protocol.h"
#include "platform/kernel/io_manager.h"

namespace sievra {

enum DeviceRole : uint32_t { kPortFilterDevice = 0, kPortControlDevice = 1 };

// The extension of both device roles (zeroed at creation). The per-port lock guards the rules,
// the link mode, the open flag, the queue and the pending read; it is never held while a request
// is passed down or completed.
struct SievraExtension {
    kernel::DeviceObject* lower;   // filter: the top of the port's stack below this driver
    kernel::DeviceObject* self;    // both: the owner of this extension
    uint32_t role;                 // both: DeviceRole
    SievraExtension* partner;      // both: the other device of the same port
    uint32_t link_mode;            // filter: 0 filter, other: monitor
    FilterRule send_count_rule;    // filter
    FilterRule send_time_rule;     // filter
    FilterRule recv_count_rule;    // filter
    FilterRule recv_time_rule;     // filter
    uint8_t open;                  // control: the workbench holds the control device open
    uint8_t cleaned_up;            // control: cleaned up; reads fail until the next open
    char link_name[32];            // control: "\??\Sievr<n>", kept for deletion
    uint8_t* queue;                // control: the 4096-byte record queue
    uint32_t queued;               // control: bytes of whole records in the queue
    kernel::Irp* pending_read;     // control: a read waiting for records
    kernel::KSpinLock* port_lock;  // both: the port's lock (owned by the filter device)
};

inline SievraExtension* ExtensionOf(kernel::DeviceObject* device) {
    return device->Extension<SievraExtension>();
}

kernel::NTSTATUS DriverEntry(kernel::DriverObject* driver);
kernel::NTSTATUS AddDevice(kernel::DriverObject* driver, kernel::DeviceObject* physical_device);

// True when a monitor record of length data bytes would join the port's queue without the
// queue dropping undelivered records first (always true while nobody watches in monitor mode).
// filter_device is the port's filter device.
bool RecordWouldFit(kernel::DeviceObject* filter_device, uint32_t length);

// True when the port's queue holds records, so that a read of its control device completes
// at once. filter_device is the port's filter device.
bool RecordsQueued(kernel::DeviceObject* filter_device);

// What the rules of a filter device will do next, in each direction (0 send, 1 receive): a time
// rule armed, and a count rule's bytes still to pass before it acts (0 when none is set); all
// zero unless the port is filtered while the workbench watches.
struct RuleOutlook {
    bool time_armed[2];
    uint32_t count_left[2];
};
RuleOutlook RuleOutlookOf(kernel::DeviceObject* filter_device);

// Counts bytes of the application's that went through the port unchanged (send: written, else
// read) against the count rule, because the rules would not have acted on them: kCounted, or
// nothing counted when a rule would have acted on one of them after all (kUnfiltered) or the
// client has turned to monitoring meanwhile, which wanted them recorded (kUnrecorded).
enum class PassedBytes { kCounted, kUnfiltered, kUnrecorded };
PassedBytes CountPassedBytes(kernel::DeviceObject* filter_device, bool send, uint32_t bytes);

// The port counter: ports added since the driver was loaded.
uint32_t PortsAdded();

}  // namespace sievra
