#pragma once

#include <QWidget>

#include "porvane/serial/page_window.h"
#include "porvane/shell/status_counters.h"

class QLabel;
class QTimer;

namespace porvane::widgets {
class Lamp;
}

namespace porvane::shell {

class LineChart;

// The bottom edge of the terminal, tester and monitor pages: modem lamps, line-error lamps,
// byte counters and the traffic chart, brought up to date once a second from the page.
class StatusStrip : public QWidget {
    Q_OBJECT
  public:
    StatusStrip(serial::PageWindow& page, QWidget* parent);

    void SetModemStatus(uint32_t status);   // PN_MODEM_STATUS
    void SetModemControl(uint8_t control);  // DTR (bit 0) and RTS (bit 1) between two ticks
    void SetChartScale(uint32_t sending, uint32_t receiving);  // PN_SET_CHART_SCALE
    void Tick();                                               // the one-second timer
    void ResetCounts();                                        // "重新计数"
    // The port's counters when the page began answering for it; only later traffic counts.
    void CountFrom(const comm::SerialStats& now) { counters_.CountFrom(now); }

    LineChart* chart() const { return chart_; }

  private:
    serial::PageWindow& page_;
    StatusCounters counters_;
    widgets::Lamp* dtr_;
    widgets::Lamp* rts_;
    widgets::Lamp* dsr_;
    widgets::Lamp* cts_;
    widgets::Lamp* ri_;
    widgets::Lamp* cd_;
    widgets::Lamp* no_signal_;
    widgets::Lamp* frame_;
    widgets::Lamp* parity_;
    widgets::Lamp* serial_overrun_;
    widgets::Lamp* buffer_overrun_;
    QLabel* tx_;
    QLabel* rx_;
    LineChart* chart_;
    QTimer* timer_;
};

}  // namespace porvane::shell
