#include "driver/host/host_serial_port.h"

#include <linux/kcmp.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/comm/comm_constants.h"
#include "platform/comm/dcb.h"
#include "platform/comm/kernel_termios.h"
#include "platform/comm/serial_ioctl.h"

namespace sievra {

using namespace kernel;

namespace {

NTSTATUS StatusOf(const comm::CommStatus& status) {
    return status ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// The line as the port's termios holds it, in the serial driver's line control layout.
comm::SERIAL_LINE_CONTROL LineControlOf(const comm::KernelTermios& t) {
    comm::Dcb dcb;
    comm::ReadTermiosInto(t, dcb);
    return {dcb.StopBits, dcb.Parity, dcb.ByteSize};
}

// Changes the port's termios in place and writes it back: only what the request names changes,
// the application's other settings stay.
template <class Edit>
NTSTATUS EditTermios(int fd, Edit edit) {
    comm::KernelTermios t;
    if (const comm::CommStatus s = comm::GetKernelTermios(fd, t); !s)
        return StatusOf(s);
    edit(t);
    return StatusOf(comm::SetKernelTermios(fd, t));
}

void SetLineControl(comm::KernelTermios& t, uint8_t stop_bits, uint8_t parity, uint8_t size) {
    using B = comm::TermiosBits;
    static const uint32_t kSizes[] = {B::kCs5, B::kCs6, B::kCs7, B::kCs8};
    t.cflag &= ~(B::kCsize | B::kParenb | B::kParodd | B::kCmspar | B::kCstopb);
    t.cflag |= kSizes[size >= 5 && size <= 8 ? size - 5 : 3];
    if (parity == comm::ODDPARITY || parity == comm::MARKPARITY)
        t.cflag |= B::kParenb | B::kParodd;
    if (parity == comm::EVENPARITY || parity == comm::SPACEPARITY)
        t.cflag |= B::kParenb;
    if (parity == comm::MARKPARITY || parity == comm::SPACEPARITY)
        t.cflag |= B::kCmspar;
    if (stop_bits != comm::ONESTOPBIT)
        t.cflag |= B::kCstopb;
}

NTSTATUS SetModemLine(int fd, int bit, bool on) {
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

}  // namespace

namespace {

bool SameFile(int a, int b) {
    const pid_t self = ::getpid();
    return ::syscall(SYS_kcmp, self, self, KCMP_FILE, a, b) == 0;
}

}  // namespace

bool HostSerialPort::Attach(comm::UniqueFd fd, uint64_t owner) {
    std::lock_guard lock(mutex_);
    bool joined = false;
    for (const auto& [who, held] : opens_)
        joined = joined || SameFile(held.get(), fd.get());
    opens_.emplace_back(owner, std::move(fd));
    return joined;
}

bool HostSerialPort::Detach(uint64_t owner) {
    std::lock_guard lock(mutex_);
    const auto mine = std::find_if(opens_.begin(), opens_.end(),
                                   [owner](const auto& open) { return open.first == owner; });
    if (mine == opens_.end())
        return false;
    bool shared = false;
    for (const auto& [who, held] : opens_)
        shared = shared || (who != owner && SameFile(held.get(), mine->second.get()));
    opens_.erase(mine);
    return !shared;
}

bool HostSerialPort::attached() const {
    std::lock_guard lock(mutex_);
    return !opens_.empty();
}

bool HostSerialPort::SameOpenFile(uint64_t owner, int fd) const {
    std::lock_guard lock(mutex_);
    for (const auto& [who, held] : opens_) {
        if (who == owner)
            return SameFile(held.get(), fd);
    }
    return false;
}

NTSTATUS HostSerialPort::Control(uint32_t code, uint8_t* buffer, uint32_t in, uint32_t out,
                                 uintptr_t& information) {
    std::lock_guard lock(mutex_);
    information = 0;
    if (out > 0 && buffer != nullptr)
        std::memset(buffer + std::min(in, out), 0, out > in ? out - in : 0);
    if (opens_.empty()) {
        // No application has the port: queries answer zeros.
        if (buffer != nullptr)
            std::memset(buffer, 0, out);
        information = out;
        return STATUS_SUCCESS;
    }
    const int fd = opens_.back().second.get();
    auto put = [&](const void* value, uint32_t size) {
        const uint32_t n = std::min(size, out);
        if (buffer != nullptr)
            std::memcpy(buffer, value, n);
        information = n;
        return STATUS_SUCCESS;
    };
    auto input = [&](uint32_t offset) -> uint32_t {
        return in >= offset + 1 && buffer != nullptr ? buffer[offset] : 0;
    };
    switch (code) {
        case comm::IOCTL_SERIAL_GET_BAUD_RATE: {
            comm::KernelTermios t;
            if (const comm::CommStatus s = comm::GetKernelTermios(fd, t); !s)
                return StatusOf(s);
            const comm::SERIAL_BAUD_RATE baud{t.ospeed};
            return put(&baud, sizeof baud);
        }
        case comm::IOCTL_SERIAL_SET_BAUD_RATE: {
            if (in < 4 || buffer == nullptr)
                return STATUS_INVALID_PARAMETER;
            comm::SERIAL_BAUD_RATE baud;
            std::memcpy(&baud, buffer, sizeof baud);
            if (baud.BaudRate == 0)
                return STATUS_INVALID_PARAMETER;
            return EditTermios(
                fd, [&](comm::KernelTermios& t) { comm::SetTermiosSpeed(t, baud.BaudRate); });
        }
        case comm::IOCTL_SERIAL_GET_LINE_CONTROL: {
            comm::KernelTermios t;
            if (const comm::CommStatus s = comm::GetKernelTermios(fd, t); !s)
                return StatusOf(s);
            const comm::SERIAL_LINE_CONTROL line = LineControlOf(t);
            return put(&line, sizeof line);
        }
        case comm::IOCTL_SERIAL_SET_LINE_CONTROL: {
            if (in < 3 || buffer == nullptr)
                return STATUS_INVALID_PARAMETER;
            if (input(1) > comm::SPACEPARITY || input(2) < 5 || input(2) > 8)
                return STATUS_INVALID_PARAMETER;
            return EditTermios(fd, [&](comm::KernelTermios& t) {
                SetLineControl(t, static_cast<uint8_t>(input(0)), static_cast<uint8_t>(input(1)),
                               static_cast<uint8_t>(input(2)));
            });
        }
        case comm::IOCTL_SERIAL_GET_MODEM_CONTROL:
        case comm::IOCTL_SERIAL_GET_MODEMSTATUS: {
            int bits = 0;
            if (::ioctl(fd, TIOCMGET, &bits) != 0)
                bits = 0;  // a pseudo-terminal has no modem lines
            uint32_t word = 0;
            if (code == comm::IOCTL_SERIAL_GET_MODEM_CONTROL) {
                word = ((bits & TIOCM_DTR) ? comm::kModemControlDtr : 0) |
                       ((bits & TIOCM_RTS) ? comm::kModemControlRts : 0);
            } else {
                word = ((bits & TIOCM_CTS) ? comm::MS_CTS_ON : 0) |
                       ((bits & TIOCM_DSR) ? comm::MS_DSR_ON : 0) |
                       ((bits & TIOCM_RI) ? comm::MS_RING_ON : 0) |
                       ((bits & TIOCM_CD) ? comm::MS_RLSD_ON : 0);
            }
            return put(&word, sizeof word);
        }
        case comm::IOCTL_SERIAL_SET_MODEM_CONTROL: {
            if (in < 4 || buffer == nullptr)
                return STATUS_INVALID_PARAMETER;
            const uint32_t word = input(0);
            const NTSTATUS dtr = SetModemLine(fd, TIOCM_DTR, word & comm::kModemControlDtr);
            const NTSTATUS rts = SetModemLine(fd, TIOCM_RTS, word & comm::kModemControlRts);
            return NT_SUCCESS(dtr) ? rts : dtr;
        }
        case comm::IOCTL_SERIAL_SET_DTR:
        case comm::IOCTL_SERIAL_CLR_DTR:
            return SetModemLine(fd, TIOCM_DTR, code == comm::IOCTL_SERIAL_SET_DTR);
        case comm::IOCTL_SERIAL_SET_RTS:
        case comm::IOCTL_SERIAL_CLR_RTS:
            return SetModemLine(fd, TIOCM_RTS, code == comm::IOCTL_SERIAL_SET_RTS);
        case comm::IOCTL_SERIAL_GET_STATS: {
            serial_icounter_struct counters{};
            comm::SERIALPERF_STATS stats{};
            if (::ioctl(fd, TIOCGICOUNT, &counters) == 0) {
                stats.ReceivedCount = static_cast<uint32_t>(counters.rx);
                stats.TransmittedCount = static_cast<uint32_t>(counters.tx);
                stats.FrameErrorCount = static_cast<uint32_t>(counters.frame);
                stats.SerialOverrunErrorCount = static_cast<uint32_t>(counters.overrun);
                stats.BufferOverrunErrorCount = static_cast<uint32_t>(counters.buf_overrun);
                stats.ParityErrorCount = static_cast<uint32_t>(counters.parity);
            } else {
                // A port without counters (a pseudo-terminal, some adapters): the bytes the
                // application's calls carried past the driver, and no errors.
                stats.ReceivedCount = received_.load();
                stats.TransmittedCount = transmitted_.load();
            }
            return put(&stats, sizeof stats);
        }
        default:
            // Other requests change nothing on the real port; queries answer zeros.
            information = out;
            return STATUS_SUCCESS;
    }
}

NTSTATUS HostSerialDispatch(DeviceObject* device, Irp* irp) {
    IoStackLocation* location = IoGetCurrentIrpStackLocation(irp);
    HostSerialPort* port = *device->Extension<HostSerialPort*>();
    auto* buffer = static_cast<uint8_t*>(irp->SystemBuffer);
    NTSTATUS status = STATUS_SUCCESS;
    uintptr_t information = 0;
    switch (location->MajorFunction) {
        case IRP_MJ_CREATE:
            // The attachment reports its open's outcome: the status rides in the buffer.
            if (buffer != nullptr && location->Parameters.Length >= 4) {
                uint32_t carried = 0;
                std::memcpy(&carried, buffer, 4);
                status = static_cast<NTSTATUS>(carried);
            }
            break;
        case IRP_MJ_READ:
        case IRP_MJ_WRITE:
            // The application's own read or write carried the bytes; the buffer holds them.
            information = location->Parameters.Length;
            if (port != nullptr)
                port->CountTransfer(location->MajorFunction == IRP_MJ_READ, information);
            break;
        case IRP_MJ_DEVICE_CONTROL: {
            const uint32_t in = location->Parameters.InputBufferLength;
            const uint32_t out = location->Parameters.OutputBufferLength;
            if (location->MinorFunction == kMinorAlreadyCarriedOut) {
                information = out;
            } else if (port != nullptr) {
                status =
                    port->Control(location->Parameters.IoControlCode, buffer, in, out, information);
            }
            break;
        }
        default:
            break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp);
    return status;
}

}  // namespace sievra
