#include "porvane/tester/ui/statistics_panel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "porvane/serial/page_notify.h"
#include "porvane/widgets/beeper.h"
#include "porvane/widgets/lamp.h"
#include "porvane/widgets/page_base.h"

namespace porvane::tester {
namespace {

widgets::Lamp* SignalLamp(QHBoxLayout* row, const QString& name, const char* label) {
    auto* lamp = new widgets::Lamp(QSize(8, 6), widgets::Lamp::Shape::kRectangle);
    lamp->setObjectName(name);
    row->addWidget(lamp);
    row->addWidget(new QLabel(QString::fromUtf8(label)));
    row->addSpacing(12);
    return lamp;
}

}  // namespace

StatisticsPanel::StatisticsPanel(serial::PageWindow& page, QWidget* parent)
    : QWidget(parent),
      page_(page),
      session_({.read_counters =
                    [this] {
                        comm::SerialStats counters;
                        page_.PageNotify(serial::PN_GET_STATISTICS, &counters);
                        return counters;
                    },
                .fetch_tally =
                    [this] {
                        ReceiveTally tally{0, 0, 0, 0, 0};
                        page_.PageNotify(serial::PN_FETCH_TALLY, &tally);
                        return tally;
                    },
                .resynchronise = [this] { page_.PageNotify(serial::PN_RESYNC, nullptr); }},
               TestSession::Counting::kFromStart) {
    auto* performance = new QGroupBox(QString::fromUtf8("性能测试(秒)"));
    auto* performance_grid = new QGridLayout(performance);
    const char* const performance_names[] = {"totalBitsLabel",      "totalTimeLabel",
                                             "erroredSecondsLabel", "erroredSecondRatioLabel",
                                             "bitErrorsLabel",      "bitErrorRatioLabel"};
    for (int i = 0; i < 6; ++i) {
        performance_[i] = new QLabel;
        performance_[i]->setObjectName(performance_names[i]);
        performance_grid->addWidget(performance_[i], i / 2, i % 2);
    }
    bytes_per_second_ = new QLabel;
    bytes_per_second_->setObjectName("bytesPerSecondLabel");
    performance_grid->addWidget(bytes_per_second_, 3, 0);

    auto* signals_box = new QGroupBox(QString::fromUtf8("信号显示"));
    auto* signal_row = new QHBoxLayout(signals_box);
    no_signal_ = SignalLamp(signal_row, "testNoSignalLamp", "无信号");
    lost_sync_ = SignalLamp(signal_row, "lostSyncLamp", "失步");
    bit_errors_ = SignalLamp(signal_row, "bitErrorLamp", "误码");
    alarm_ = new QCheckBox(QString::fromUtf8("声音告警"));
    alarm_->setObjectName("alarmCheck");
    signal_row->addWidget(alarm_);
    signal_row->addStretch();

    auto* hardware = new QGroupBox(QString::fromUtf8("硬件测试"));
    auto* hardware_grid = new QGridLayout(hardware);
    for (int i = 0; i < 6; ++i) {
        hardware_[i] = new QLabel;
        hardware_[i]->setObjectName(QStringLiteral("hardwareLabel%1").arg(i));
        hardware_grid->addWidget(hardware_[i], i / 2, i % 2);
    }

    events_ = new QTreeWidget;
    events_->setObjectName("eventList");
    events_->setRootIsDecorated(false);
    events_->setSelectionMode(QAbstractItemView::SingleSelection);
    events_->setSortingEnabled(false);
    events_->setHeaderLabels({QString::fromUtf8("错误事件类型"),
                              QString::fromUtf8("起始时间(年-月-日 时-分-秒)"),
                              QString::fromUtf8("持续时间 (误码个数,平均误码率)")});
    events_->setColumnWidth(0, 100);
    events_->setColumnWidth(1, 200);
    events_->header()->setStretchLastSection(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(performance);
    layout->addWidget(signals_box);
    layout->addWidget(hardware);
    layout->addWidget(events_, 1);
    ShowLabels();

    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &StatisticsPanel::Tick);
    timer_->start(1000);
}

void StatisticsPanel::ShowLabels() {
    for (int i = 0; i < 6; ++i) {
        performance_[i]->setText(QString::fromStdString(statistics().performance_labels()[i]));
        hardware_[i]->setText(QString::fromStdString(statistics().hardware_labels()[i]));
    }
    bytes_per_second_->setText(QString::fromStdString(statistics().bytes_per_second_label()));
}

void StatisticsPanel::ShowRows() {
    const auto& rows = statistics().rows();
    while (events_->topLevelItemCount() > static_cast<int>(rows.size())) {
        delete events_->takeTopLevelItem(events_->topLevelItemCount() - 1);
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        QTreeWidgetItem* item = events_->topLevelItem(static_cast<int>(i));
        if (item == nullptr)
            item = new QTreeWidgetItem(events_);
        for (int c = 0; c < 3; ++c)
            item->setText(c, QString::fromStdString(rows[i][c]));
    }
    events_->verticalScrollBar()->setValue(events_->verticalScrollBar()->maximum());
}

void StatisticsPanel::Tick() {
    const TickSignals tick = session_.Tick().tick;
    ShowLabels();
    no_signal_->SetLit(tick.no_signal);
    lost_sync_->SetLit(tick.lost_sync);
    bit_errors_->SetLit(tick.bit_errors);
    if (tick.alarm && alarm_->isChecked()) {
        widgets::Beep(1200, 100);
    }
    if (statistics().testing()) {
        ShowRows();
    }
}

void StatisticsPanel::SetTesting(bool testing) {
    if (testing) {
        session_.Start();
        ShowRows();
    } else {
        session_.Stop();
    }
}

void StatisticsPanel::SaveReport(const std::string& path) {
    const std::string message = WriteTestReport(path, statistics());
    if (!message.empty()) {
        widgets::ShowProgramMessage(this, QString::fromStdString(message));
    }
}

}  // namespace porvane::tester
