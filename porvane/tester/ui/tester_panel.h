#pragma once

#include <QWidget>

#include "porvane/serial/page_window.h"
#include "porvane/serial/serial_channel.h"
#include "porvane/tester/line_test.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QTimer;

namespace porvane::widgets {
class Lamp;
}

namespace porvane::tester {

// The tester's controls: pattern, error insertion, open/close, start/stop and "保存结果". It
// owns the page's serial channel, whose event thread generates and checks the pattern.
class TesterPanel : public QWidget {
    Q_OBJECT
  public:
    TesterPanel(serial::PageWindow& page, QWidget* parent);

    // Served for the page.
    void ApplySettings(const serial::LineSettings* settings);  // PN_SETTINGS_CHANGED
    uint8_t ModemControl();                                    // PN_GET_MODEM_CONTROL
    void Statistics(comm::SerialStats* stats);                 // PN_GET_STATISTICS
    void FetchTally(ReceiveTally* tally);                      // PN_FETCH_TALLY
    void Resynchronise();                                      // PN_RESYNC
    void ClosePort();
    // The device behind the open port went away (PN_PORT_GONE, run later on this thread):
    // stops the test, closes the port and says so once.
    void PortVanished();

    bool open() const { return open_flag_ != 0; }
    bool testing() const { return testing_flag_ != 0; }
    uint32_t bytes_received() const { return channel_.bytes_read_total(); }
    uint32_t bytes_sent() const { return channel_.bytes_written_total(); }
    const TestSettings& settings() const { return settings_; }
    const LineTest& line_test() const { return line_test_; }

  private:
    void OnOpenClose();
    void OnStartStop();
    // The start waits for the line to go quiet (OnDrainTick), then counting begins.
    void OnDrainTick();
    void BeginCounting();
    void OnPattern(int index);
    void OnInsert(int index);
    void OnUserPattern(const QString& text);
    void OnSingleError();
    void OnSaveResults();
    void HandOver();

    serial::PageWindow& page_;
    serial::SerialChannel channel_;
    LineTest line_test_;
    TestSettings settings_;
    uint32_t open_flag_ = 0;
    uint32_t testing_flag_ = 0;
    QComboBox* pattern_;
    QLineEdit* user_pattern_;
    QComboBox* insert_;
    QPushButton* single_error_;
    QPushButton* open_;
    widgets::Lamp* port_lamp_;
    QPushButton* start_;
    widgets::Lamp* test_lamp_;
    QTimer* drain_timer_;      // runs between "开始测试" and the start of counting
    uint32_t drain_seen_ = 0;  // bytes read when the drain timer last looked
};

}  // namespace porvane::tester
