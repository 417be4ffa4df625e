#pragma once

#include <cstdint>

#include "platform/comm/serial_stats.h"

namespace porvane::shell {

// What one tick of the status strip shows.
struct StatusTick {
    bool dtr = false;
    bool rts = false;
    bool no_signal = false;
    bool frame_error = false;
    bool parity_error = false;
    bool serial_overrun = false;
    bool buffer_overrun = false;
    uint32_t sent_total = 0;
    uint32_t received_total = 0;
    uint32_t chart_sent = 0;      // sent in the last second × 100 ÷ full scale
    uint32_t chart_received = 0;  // received in the last second × 100 ÷ full scale
};

// The status strip's arithmetic, once a second: differences of the port's counters against
// the previous record, totals, error lamps and chart values. A counter lower than before means
// the counters restarted (the port was closed and opened again): the new value is then what
// came since the restart, instead of a huge wrapped difference.
class StatusCounters {
  public:
    void SetChartScale(uint32_t sending, uint32_t receiving) {
        scale_sending_ = sending;
        scale_receiving_ = receiving;
    }
    // "重新计数": totals to 0; the previous record stays, so only new traffic counts.
    void ResetTotals() {
        sent_total_ = 0;
        received_total_ = 0;
    }
    // The counters as they stand when a page starts answering for a port: what they counted
    // before is not traffic of this strip's, so the next tick counts only what comes after.
    void CountFrom(const comm::SerialStats& now) { previous_ = now; }
    StatusTick Tick(uint8_t modem_control, const comm::SerialStats& now);

    uint32_t sent_total() const { return sent_total_; }
    uint32_t received_total() const { return received_total_; }

  private:
    static uint32_t Since(uint32_t now, uint32_t before) {
        return now >= before ? now - before : now;
    }

    comm::SerialStats previous_;
    uint32_t sent_total_ = 0;
    uint32_t received_total_ = 0;
    uint32_t scale_sending_ = 1;
    uint32_t scale_receiving_ = 1;
};

}  // namespace porvane::shell
