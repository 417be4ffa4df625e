#pragma once

#include <QWidget>
#include <array>

#include "porvane/serial/page_window.h"
#include "porvane/tester/test_session.h"

class QCheckBox;
class QLabel;
class QTimer;
class QTreeWidget;

namespace porvane::widgets {
class Lamp;
}

namespace porvane::tester {

// The tester's figures: performance over the test, the three signal lamps with the sound alarm,
// the port's hardware counters and the error event list, brought up to date once a second.
class StatisticsPanel : public QWidget {
    Q_OBJECT
  public:
    StatisticsPanel(serial::PageWindow& page, QWidget* parent);

    void SetTesting(bool testing);             // PN_TEST_STATE
    void SaveReport(const std::string& path);  // PN_SAVE_REPORT
    void Tick();                               // the one-second timer

    const TestStatistics& statistics() const { return session_.statistics(); }
    QTreeWidget* event_list() const { return events_; }

  private:
    void ShowLabels();
    void ShowRows();

    serial::PageWindow& page_;
    TestSession session_;
    std::array<QLabel*, 6> performance_{};
    std::array<QLabel*, 6> hardware_{};
    QLabel* bytes_per_second_;
    widgets::Lamp* no_signal_;
    widgets::Lamp* lost_sync_;
    widgets::Lamp* bit_errors_;
    QCheckBox* alarm_;
    QTreeWidget* events_;
    QTimer* timer_;
};

}  // namespace porvane::tester
