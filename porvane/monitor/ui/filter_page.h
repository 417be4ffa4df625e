#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "porvane/monitor/filter_texts.h"
#include "porvane/widgets/page_base.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace porvane::widgets {
class Lamp;
}

namespace porvane::monitor {

class DriverLink;

// "串口过滤 (Filter)": loads the filter driver's error-injection rules for a port that another
// program uses, lists each injected fault as it comes back, and can force new line settings on
// the port behind the program's back.
class FilterPage : public widgets::PageBase {
    Q_OBJECT
  public:
    explicit FilterPage(QWidget* parent = nullptr);
    ~FilterPage() override;

    bool filtering() const { return filtering_; }
    QTableWidget* events() const { return events_; }

    void Start();
    void Stop();
    void ForceChange();
    // A row's "开始" (and its "周期性" box).
    void StartRow(FilterRow row);

  protected:
    intptr_t Route(uint32_t, void*) override { return 0; }

  private:
    struct Row {
        QLineEdit* value;
        QCheckBox* periodic;
        QPushButton* start;
        QLabel* description;
        QTimer* timer;  // time rows only
    };

    void ReadLoop();
    void AddEvents(const std::vector<FilterEvent>& events, const std::string& time);
    void SetAction(int index);
    void RefreshDescription(FilterRow row);
    void ArmTimeRule(FilterRow row);
    uint8_t RuleByte() const;
    QWidget* BuildGroup(const char* title, FilterRow count_row, FilterRow time_row);

    QComboBox* port_;
    QPushButton* start_;
    widgets::Lamp* lamp_;
    QComboBox* action_;
    QLabel* byte_label_;
    QLabel* byte_prefix_;
    QLineEdit* byte_;
    Row rows_[4];
    QComboBox* baud_;
    QComboBox* data_bits_;
    QComboBox* parity_;
    QComboBox* stop_bits_;
    QPushButton* force_;
    QTableWidget* events_;

    std::unique_ptr<DriverLink> link_;
    std::thread reader_;
    std::atomic<bool> filtering_{false};  // read by the reading thread
    uint32_t action_value_ = 0;
};

}  // namespace porvane::monitor
