#include "porvane/shell/status_counters.h"

namespace porvane::shell {

StatusTick StatusCounters::Tick(uint8_t modem_control, const comm::SerialStats& now) {
    StatusTick t;
    t.dtr = (modem_control & 0x01) != 0;
    t.rts = (modem_control & 0x02) != 0;
    const uint32_t sent = Since(now.TransmittedCount, previous_.TransmittedCount);
    const uint32_t received = Since(now.ReceivedCount, previous_.ReceivedCount);
    t.no_signal = received == 0;
    t.frame_error = now.FrameErrorCount != previous_.FrameErrorCount;
    t.parity_error = now.ParityErrorCount != previous_.ParityErrorCount;
    t.serial_overrun = now.SerialOverrunErrorCount != previous_.SerialOverrunErrorCount;
    t.buffer_overrun = now.BufferOverrunErrorCount != previous_.BufferOverrunErrorCount;
    received_total_ += received;
    sent_total_ += sent;
    t.sent_total = sent_total_;
    t.received_total = received_total_;
    // In 64 bits, so that a large count times 100 does not wrap before the division.
    t.chart_sent =
        static_cast<uint32_t>(uint64_t{sent} * 100 / (scale_sending_ ? scale_sending_ : 1));
    t.chart_received =
        static_cast<uint32_t>(uint64_t{received} * 100 / (scale_receiving_ ? scale_receiving_ : 1));
    previous_ = now;
    return t;
}

}  // namespace porvane::shell
