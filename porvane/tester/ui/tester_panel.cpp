#include "porvane/tester/ui/tester_panel.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <algorithm>

#include "porvane/serial/page_notify.h"
#include "porvane/tester/pattern_step.h"
#include "porvane/widgets/lamp.h"
#include "porvane/widgets/page_base.h"

namespace porvane::tester {

TesterPanel::TesterPanel(serial::PageWindow& page, QWidget* parent) : QWidget(parent), page_(page) {
    channel_.SetTester(&line_test_);
    settings_.user_pattern = 0xAAAA;

    pattern_ = new QComboBox;
    pattern_->setObjectName("patternCombo");
    for (const char* entry : {"2^15-1", "2^11-1", "2^9-1", "16bit人工码"})
        pattern_->addItem(QString::fromUtf8(entry));
    user_pattern_ = new QLineEdit(QStringLiteral("1010101010101010"));
    user_pattern_->setObjectName("userPatternField");
    user_pattern_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,18}")), user_pattern_));
    user_pattern_->setEnabled(false);
    insert_ = new QComboBox;
    insert_->setObjectName("insertCombo");
    for (const char* entry : {"无", "1/10000", "1/1000", "单个"})
        insert_->addItem(QString::fromUtf8(entry));
    single_error_ = new QPushButton(QString::fromUtf8("插单个误码"));
    single_error_->setObjectName("singleErrorButton");
    single_error_->setEnabled(false);
    open_ = new QPushButton(QString::fromUtf8("打开串口"));
    open_->setObjectName("testerOpenButton");
    port_lamp_ = new widgets::Lamp(QSize(28, 25), widgets::Lamp::Shape::kCircle);
    port_lamp_->setObjectName("testerPortLamp");
    start_ = new QPushButton(QString::fromUtf8("开始测试"));
    start_->setObjectName("startTestButton");
    start_->setEnabled(false);
    test_lamp_ = new widgets::Lamp(QSize(28, 25), widgets::Lamp::Shape::kCircle);
    test_lamp_->setObjectName("testLamp");
    auto* save = new QPushButton(QString::fromUtf8("保存结果"));
    save->setObjectName("saveResultsButton");

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(new QLabel(QString::fromUtf8("测试码型")), 0, 0);
    layout->addWidget(pattern_, 0, 1);
    layout->addWidget(user_pattern_, 1, 0, 1, 2);
    layout->addWidget(new QLabel(QString::fromUtf8("插入误码")), 2, 0);
    layout->addWidget(insert_, 2, 1);
    layout->addWidget(single_error_, 3, 0, 1, 2);
    layout->addWidget(open_, 4, 0);
    layout->addWidget(port_lamp_, 4, 1, Qt::AlignCenter);
    layout->addWidget(start_, 5, 0);
    layout->addWidget(test_lamp_, 5, 1, Qt::AlignCenter);
    layout->addWidget(save, 6, 0, 1, 2);
    layout->setRowStretch(7, 1);

    drain_timer_ = new QTimer(this);
    drain_timer_->setObjectName("drainTimer");

    connect(drain_timer_, &QTimer::timeout, this, &TesterPanel::OnDrainTick);
    connect(pattern_, &QComboBox::currentIndexChanged, this, &TesterPanel::OnPattern);
    connect(insert_, &QComboBox::currentIndexChanged, this, &TesterPanel::OnInsert);
    connect(user_pattern_, &QLineEdit::textChanged, this, &TesterPanel::OnUserPattern);
    connect(single_error_, &QPushButton::clicked, this, &TesterPanel::OnSingleError);
    connect(open_, &QPushButton::clicked, this, &TesterPanel::OnOpenClose);
    connect(start_, &QPushButton::clicked, this, &TesterPanel::OnStartStop);
    connect(save, &QPushButton::clicked, this, &TesterPanel::OnSaveResults);
}

void TesterPanel::HandOver() {
    channel_.HandOverTestSettings(settings_);
    settings_.single_error = 0;  // consumed by the next generated character
}

void TesterPanel::OnOpenClose() {
    if (open_flag_ == 0) {
        page_.PageNotify(serial::PN_FILL_SETTINGS, &channel_.settings());
        if (channel_.OpenPort(&page_) == 0) {
            return;
        }
        open_flag_ = 1;
        open_->setText(QString::fromUtf8("关闭串口"));
        port_lamp_->SetLit(true);
        page_.PageNotify(serial::PN_PORT_STATE, &open_flag_);
        start_->setEnabled(true);
        settings_.running = 1;
        settings_.bits_per_character = channel_.settings().dcb.ByteSize;
        settings_.pattern_kind = static_cast<uint32_t>(pattern_->currentIndex());
        settings_.error_insert_mode = static_cast<uint32_t>(insert_->currentIndex());
        HandOver();
        channel_.WriteTestBlock();
        channel_.SayIfBaudNotTaken(channel_.settings().dcb.BaudRate);
    } else {
        settings_.running = 0;
        HandOver();
        channel_.ClosePort();
        open_flag_ = 0;
        open_->setText(QString::fromUtf8("打开串口"));
        port_lamp_->SetLit(false);
        page_.PageNotify(serial::PN_PORT_STATE, &open_flag_);
        start_->setEnabled(false);
    }
}

void TesterPanel::ClosePort() {
    if (testing_flag_ != 0)
        OnStartStop();
    if (open_flag_ != 0)
        OnOpenClose();
    channel_.ClosePort();
}

void TesterPanel::PortVanished() {
    if (open_flag_ == 0) {
        return;  // closed meanwhile by the user
    }
    ClosePort();
    widgets::ShowProgramMessage(this, QString::fromUtf8(serial::kMessagePortGone));
}

void TesterPanel::OnStartStop() {
    if (testing_flag_ == 0) {
        testing_flag_ = 1;
        open_->setEnabled(false);
        start_->setText(QString::fromUtf8("停止测试"));
        test_lamp_->SetLit(true);
        // Bytes on their way from before the start would be received within the test without
        // having been sent in it (a loop-back would receive more than it sent). The generator
        // pauses, what it queued and has not sent is dropped, and counting begins once nothing
        // more has come for a while: then nothing from before is left on the line.
        settings_.running = 0;
        HandOver();
        channel_.PurgePort(comm::PURGE_TXCLEAR);
        drain_seen_ = channel_.bytes_read_total();
        const comm::Dcb& dcb = channel_.settings().dcb;
        const uint32_t bits_per_character = dcb.ByteSize + 2u;
        // Quiet for 20 characters' time, and never less than 300 ms (a loaded machine may
        // leave the far end of a loop-back unscheduled for a while).
        const uint32_t quiet_ms =
            dcb.BaudRate == 0 ? 300
                              : std::max(300u, 20u * bits_per_character * 1000u / dcb.BaudRate);
        drain_timer_->start(static_cast<int>(quiet_ms));
        return;
    }
    testing_flag_ = 0;
    open_->setEnabled(true);
    start_->setText(QString::fromUtf8("开始测试"));
    test_lamp_->SetLit(false);
    if (drain_timer_->isActive()) {
        drain_timer_->stop();  // stopped before counting began: the generator goes on
        settings_.running = 1;
        HandOver();
        channel_.WriteTestBlock();
    }
    page_.PageNotify(serial::PN_TEST_STATE, &testing_flag_);
}

void TesterPanel::OnDrainTick() {
    const uint32_t seen = channel_.bytes_read_total();
    if (seen != drain_seen_) {
        drain_seen_ = seen;  // still arriving
        return;
    }
    drain_timer_->stop();
    BeginCounting();
}

void TesterPanel::BeginCounting() {
    channel_.PurgePort(comm::PURGE_RXCLEAR);
    channel_.ClearPortStatistics();
    Resynchronise();
    settings_.running = 1;
    HandOver();
    channel_.WriteTestBlock();  // the emptied queue announces no transmit-empty
    page_.PageNotify(serial::PN_TEST_STATE, &testing_flag_);
}

void TesterPanel::OnPattern(int index) {
    settings_.pattern_kind = static_cast<uint32_t>(index);
    user_pattern_->setEnabled(index == kUserPattern);
    HandOver();
}

void TesterPanel::OnInsert(int index) {
    settings_.error_insert_mode = static_cast<uint32_t>(index);
    single_error_->setEnabled(index == kInsertSingle);
    HandOver();
}

void TesterPanel::OnUserPattern(const QString& text) {
    std::string corrected;
    settings_.user_pattern = ReadUserPattern(text.toStdString(), &corrected);
    if (QString::fromStdString(corrected) != text) {
        const QSignalBlocker block(user_pattern_);
        user_pattern_->setText(QString::fromStdString(corrected));
    }
    HandOver();
}

void TesterPanel::OnSingleError() {
    settings_.single_error = 1;
    HandOver();
}

void TesterPanel::OnSaveResults() {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Send File"), QString(),
                                                      QStringLiteral("Text Files (*.txt)"));
    if (path.isEmpty()) {
        return;
    }
    const std::string local = path.toStdString();
    page_.PageNotify(serial::PN_SAVE_REPORT, const_cast<char*>(local.c_str()));
}

void TesterPanel::ApplySettings(const serial::LineSettings* settings) {
    if (open_flag_ != 0 && settings != nullptr) {
        channel_.ApplySettings(*settings);
        channel_.SayIfBaudNotTaken(settings->dcb.BaudRate);
    }
}

uint8_t TesterPanel::ModemControl() {
    return channel_.GetModemControl();
}

void TesterPanel::Statistics(comm::SerialStats* stats) {
    channel_.GetPortStatistics(stats);
}

void TesterPanel::FetchTally(ReceiveTally* tally) {
    channel_.WithTester(
        [&](serial::ChannelTester&) { *tally = line_test_.FetchTallyAndResynchroniseOnLoss(); });
}

void TesterPanel::Resynchronise() {
    channel_.WithTester([&](serial::ChannelTester&) { line_test_.Resynchronise(); });
}

}  // namespace porvane::tester
