#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "porvane/capture/record_collector.h"
#include "porvane/monitor/monitor_decoder.h"
#include "porvane/widgets/page_base.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTimer;

namespace porvane::shell {
class StatusStrip;
}
namespace porvane::widgets {
class Lamp;
}

namespace porvane::monitor {

class DriverLink;

// "串口监视 (Monitor)": shows, line by line, what another program does with one serial port,
// read from the filter driver's record stream in monitor mode, and mirrors the port's settings
// into read-only fields. Its status strip asks the driver for the port's modem control byte
// and statistics.
class MonitorPage : public widgets::PageBase {
    Q_OBJECT
  public:
    static constexpr int kLogLimit = 1'000'000;

    explicit MonitorPage(QWidget* parent = nullptr);
    ~MonitorPage() override;

    bool running() const { return running_; }
    ContentMode content_mode() const { return content_mode_; }
    double split_ratio() const { return ratio_; }
    // Moves the split line as a drag to y (page coordinates of the panes' area) would.
    void DragSplitTo(int y_in_panes);
    shell::StatusStrip* status_strip() const { return strip_; }
    QPlainTextEdit* upper_log() const { return upper_log_; }
    QPlainTextEdit* lower_log() const { return lower_log_; }
    // The logs' texts with their CR LF line ends, as saved.
    const QString& upper_text() const { return upper_text_; }
    const QString& lower_text() const { return lower_text_; }

    void Start();
    void Stop();
    void SaveTo(const QString& path);
    // Saves the calls seen since the last clear as a pcapng capture (Wireshark, porvane-cli show).
    void SaveCaptureTo(const QString& path);
    const capture::RecordCollector& calls() const { return calls_; }
    void Clear();

  protected:
    intptr_t Route(uint32_t code, void* data) override;

  private:
    void ReadLoop();
    void Show(const MonitorOutput& output);
    void ApplyFields(const MonitorFields& fields);
    void Append(QPlainTextEdit* log, QString& text, const std::string& more);
    void SetContentMode(int index);
    void ApplyRatio();
    void PollModemStatus();

    QComboBox* port_;
    QPushButton* start_;
    widgets::Lamp* lamp_;
    QComboBox* content_;
    QCheckBox* hex_;
    QLineEdit* baud_;
    QLineEdit* data_bits_;
    QLineEdit* parity_;
    QLineEdit* stop_bits_;
    QCheckBox* cts_out_;
    QCheckBox* dsr_out_;
    QCheckBox* dsr_input_;
    QLineEdit* dtr_;
    QLineEdit* rts_;
    QCheckBox* xon_out_;
    QCheckBox* xon_in_;
    QLineEdit* xon_limit_;
    QLineEdit* xoff_limit_;
    QLineEdit* xon_char_;
    QLineEdit* xoff_char_;
    QLineEdit* read_timeouts_;
    QLineEdit* write_timeouts_;
    QSplitter* panes_;
    QPlainTextEdit* upper_log_;
    QPlainTextEdit* lower_log_;
    shell::StatusStrip* strip_;
    QTimer* modem_timer_;

    // The logs' texts as the page keeps them (CR LF line ends), for the limit and for saving.
    QString upper_text_;
    QString lower_text_;

    std::unique_ptr<DriverLink> link_;
    std::thread reader_;
    // The port being monitored, as the capture names it: set before the reading thread starts.
    std::string monitored_port_;
    capture::RecordCollector calls_;  // the calls read, for a capture
    // Read by the reading thread; set on the user-interface thread.
    std::atomic<bool> running_{false};
    std::atomic<ContentMode> content_mode_{ContentMode::kAllInfo};
    std::atomic<bool> hex_view_{false};
    double ratio_ = 0.5;
    // The watched program's bytes since Start, counted from its read and write records: the
    // port driver's own counters restart with every program's open, read 0 while nobody holds
    // the port and, on a real port, count since the machine started.
    uint32_t program_received_ = 0;
    uint32_t program_transmitted_ = 0;
};

}  // namespace porvane::monitor
