#include "porvane/monitor/ui/filter_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "driver/sievra_protocol.h"
#include "platform/comm/serial_ioctl.h"
#include "porvane/monitor/driver_link.h"
#include "porvane/monitor/time_rule_period.h"
#include "porvane/monitor/ui/open_driver_link.h"
#include "porvane/monitor/ui/start_reader.h"
#include "porvane/serial/port_settings_lists.h"
#include "porvane/serial/ui/port_combo.h"
#include "porvane/widgets/lamp.h"

namespace porvane::monitor {
namespace {

template <size_t N>
QComboBox* FixedList(const char* name, const std::array<const char*, N>& entries) {
    auto* combo = new QComboBox;
    combo->setObjectName(name);
    for (const char* entry : entries)
        combo->addItem(QString::fromUtf8(entry));
    return combo;
}

const char* const kRowNames[] = {"sendCount", "sendTime", "recvCount", "recvTime"};

bool IsTimeRow(FilterRow row) {
    return row == FilterRow::kSendTime || row == FilterRow::kRecvTime;
}

}  // namespace

QWidget* FilterPage::BuildGroup(const char* title, FilterRow count_row, FilterRow time_row) {
    auto* group = new QGroupBox(QString::fromUtf8(title));
    auto* grid = new QGridLayout(group);
    grid->setVerticalSpacing(2);
    int line = 0;
    for (FilterRow which : {count_row, time_row}) {
        const int i = static_cast<int>(which);
        Row& row = rows_[i];
        const bool time = IsTimeRow(which);
        row.value = new QLineEdit(time ? QStringLiteral("10") : QStringLiteral("1000"));
        row.value->setObjectName(QString::fromLatin1(kRowNames[i]) + "Value");
        row.value->setValidator(new QIntValidator(row.value));
        row.value->setMaximumWidth(80);
        row.periodic = new QCheckBox(QString::fromUtf8("周期性"));
        row.periodic->setObjectName(QString::fromLatin1(kRowNames[i]) + "Periodic");
        row.start = new QPushButton(QString::fromUtf8("开始"));
        row.start->setObjectName(QString::fromLatin1(kRowNames[i]) + "Start");
        row.description = new QLabel;
        row.description->setObjectName(QString::fromLatin1(kRowNames[i]) + "Description");
        row.description->setWordWrap(true);
        row.timer = nullptr;
        if (time) {
            row.timer = new QTimer(this);
            row.timer->setObjectName(QString::fromLatin1(kRowNames[i]) + "Timer");
            connect(row.timer, &QTimer::timeout, this, [this, which] { ArmTimeRule(which); });
        }
        grid->addWidget(new QLabel(QString::fromUtf8(time ? "设置时间(秒):" : "设置个数(字节)")),
                        line, 0);
        grid->addWidget(row.value, line, 1);
        grid->addWidget(row.periodic, line, 2);
        grid->addWidget(row.start, line, 3);
        grid->addWidget(row.description, line + 1, 0, 1, 4);
        line += 2;
        connect(row.start, &QPushButton::clicked, this, [this, which] { StartRow(which); });
        connect(row.periodic, &QCheckBox::clicked, this, [this, which] { StartRow(which); });
        connect(row.value, &QLineEdit::textChanged, this,
                [this, which] { RefreshDescription(which); });
    }
    grid->setColumnStretch(1, 1);
    return group;
}

FilterPage::FilterPage(QWidget* parent) : PageBase(parent) {
    port_ = new QComboBox;
    port_->setObjectName("filterPortCombo");
    start_ = new QPushButton(QString::fromUtf8("开始过滤"));
    start_->setObjectName("filterStartButton");
    lamp_ = new widgets::Lamp(QSize(14, 14), widgets::Lamp::Shape::kCircle);
    lamp_->setObjectName("filterLamp");
    action_ = new QComboBox;
    action_->setObjectName("actionCombo");
    for (const char* entry : {"字符误码", "字符替换", "字符删除"})
        action_->addItem(QString::fromUtf8(entry));
    byte_label_ = new QLabel(QString::fromUtf8("误码掩码"));
    byte_label_->setObjectName("byteLabel");
    byte_prefix_ = new QLabel(QStringLiteral("0x"));
    byte_ = new QLineEdit(QStringLiteral("01"));
    byte_->setObjectName("byteField");
    byte_->setMaxLength(2);
    byte_->setMaximumWidth(40);
    byte_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9A-Fa-f]{0,2}")), byte_));

    auto* head = new QHBoxLayout;
    head->addWidget(new QLabel(QString::fromUtf8("选择串口")));
    head->addWidget(port_);
    head->addWidget(start_);
    head->addWidget(lamp_);
    head->addSpacing(12);
    head->addWidget(new QLabel(QString::fromUtf8("过滤方式")));
    head->addWidget(action_);
    head->addWidget(byte_label_);
    head->addWidget(byte_prefix_);
    head->addWidget(byte_);
    head->addStretch(1);

    auto* groups = new QHBoxLayout;
    groups->addWidget(BuildGroup("发送数据", FilterRow::kSendCount, FilterRow::kSendTime), 1);
    groups->addWidget(BuildGroup("接收数据", FilterRow::kRecvCount, FilterRow::kRecvTime), 1);

    baud_ = FixedList("forceBaudCombo", serial::kBaudEntries);
    baud_->setCurrentIndex(serial::kDefaultBaudIndex);
    data_bits_ = FixedList("forceDataBitsCombo", serial::kDataBitsEntries);
    parity_ = FixedList("forceParityCombo", serial::kParityEntries);
    stop_bits_ = FixedList("forceStopBitsCombo", serial::kStopBitsEntries);
    force_ = new QPushButton(QString::fromUtf8("强行更改"));
    force_->setObjectName("forceButton");
    force_->setEnabled(false);
    auto* change = new QGroupBox(QString::fromUtf8("更改设置"));
    auto* change_row = new QHBoxLayout(change);
    change_row->addWidget(new QLabel(QString::fromUtf8("波特率")));
    change_row->addWidget(baud_);
    change_row->addWidget(new QLabel(QString::fromUtf8("数据位")));
    change_row->addWidget(data_bits_);
    change_row->addWidget(new QLabel(QString::fromUtf8("校验位")));
    change_row->addWidget(parity_);
    change_row->addWidget(new QLabel(QString::fromUtf8("停止位")));
    change_row->addWidget(stop_bits_);
    change_row->addStretch(1);
    change_row->addWidget(force_);

    events_ = new QTableWidget(0, 3);
    events_->setObjectName("filterEvents");
    events_->setHorizontalHeaderLabels({QString::fromUtf8("发送/接收"),
                                        QString::fromUtf8("发生时间(年-月-日 时-分-秒 毫秒)"),
                                        QString::fromUtf8("事件内容")});
    events_->setColumnWidth(0, 100);
    events_->setColumnWidth(1, 250);
    events_->setColumnWidth(2, 270);
    // The event's content takes what the window has beyond the first two columns.
    events_->horizontalHeader()->setStretchLastSection(true);
    events_->verticalHeader()->hide();
    events_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    events_->setSelectionBehavior(QAbstractItemView::SelectRows);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 6);  // the list reaches to 6 pixels above the bottom
    layout->setSpacing(3);
    layout->addLayout(head);
    layout->addLayout(groups);
    layout->addWidget(change);
    layout->addWidget(events_, 1);

    serial::FillPortCombo(port_, this);
    link_ = std::make_unique<DriverLink>();
    for (int i = 0; i < 4; ++i)
        RefreshDescription(static_cast<FilterRow>(i));

    connect(start_, &QPushButton::clicked, this, [this] { filtering_ ? Stop() : Start(); });
    connect(force_, &QPushButton::clicked, this, &FilterPage::ForceChange);
    connect(action_, &QComboBox::currentIndexChanged, this, &FilterPage::SetAction);
    connect(byte_, &QLineEdit::textChanged, this, [this] {
        for (int i = 0; i < 4; ++i)
            RefreshDescription(static_cast<FilterRow>(i));
    });
}

FilterPage::~FilterPage() {
    if (filtering_)
        Stop();
}

uint8_t FilterPage::RuleByte() const {
    return static_cast<uint8_t>(byte_->text().toUInt(nullptr, 16) & 0xFF);
}

void FilterPage::SetAction(int index) {
    action_value_ = static_cast<uint32_t>(std::max(index, 0));
    static const char* const kLabels[] = {"误码掩码", "替换字符", "删除字符"};
    byte_label_->setText(QString::fromUtf8(kLabels[action_value_ < 3 ? action_value_ : 0]));
    const bool uses_byte = action_value_ != sievra::kDelete;
    byte_label_->setEnabled(uses_byte);
    byte_prefix_->setEnabled(uses_byte);
    byte_->setEnabled(uses_byte);
    for (int i = 0; i < 4; ++i)
        RefreshDescription(static_cast<FilterRow>(i));
}

void FilterPage::RefreshDescription(FilterRow row) {
    Row& r = rows_[static_cast<int>(row)];
    r.description->setText(QString::fromStdString(
        FilterDescription(row, action_value_, r.value->text().toInt(), RuleByte())));
}

void FilterPage::Start() {
    if (filtering_)
        return;
    // The list's entries come and go with the ports; the host keeps each port's number.
    const int host_port =
        link_->HostPortIndex(port_->currentText().toStdString(), port_->currentIndex());
    if (!OpenDriverLink(this, start_, *link_, host_port, sievra::kLinkModeFilter,
                        QString::fromUtf8("不能开始过滤,驱动失败!!")))
        return;
    uint32_t baud = 0;
    if (link_->Forward(comm::IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4) != 1) {
        // The host did not answer (gone or hung): a driver failure, not a closed port.
        link_->Close();
        widgets::ShowProgramMessage(this, QString::fromUtf8("不能开始过滤,驱动失败!!"));
        return;
    }
    if (baud == 0) {
        link_->Close();
        widgets::ShowProgramMessage(this, QString::fromUtf8("要过滤的串口没有打开,请先打开"));
        return;
    }
    if (!StartReader(this, *link_, filtering_, reader_, [this] { ReadLoop(); }))
        return;
    baud_->setCurrentIndex(
        baud_->findText(QString::number(baud), Qt::MatchStartsWith | Qt::MatchCaseSensitive));
    // StopBits, Parity, WordLength; a failed request leaves the zeros it started with.
    uint8_t line[3] = {0, 0, 0};
    link_->Forward(comm::IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, line, 3);
    const int data_index = 8 - line[2];
    data_bits_->setCurrentIndex(data_index >= 0 && data_index < data_bits_->count() ? data_index
                                                                                    : -1);
    parity_->setCurrentIndex(line[1] < parity_->count() ? line[1] : -1);
    stop_bits_->setCurrentIndex(line[0] < stop_bits_->count() ? line[0] : -1);
    start_->setText(QString::fromUtf8("停止过滤"));
    lamp_->SetLit(true);
    port_->setEnabled(false);
    force_->setEnabled(true);
    events_->setRowCount(0);
}

void FilterPage::Stop() {
    if (!filtering_)
        return;
    filtering_ = false;
    link_->Close();
    if (reader_.joinable())
        reader_.join();
    start_->setText(QString::fromUtf8("开始过滤"));
    lamp_->SetLit(false);
    port_->setEnabled(true);
}

void FilterPage::ForceChange() {
    if (!link_->IsOpen())
        return;
    const uint8_t line[3] = {static_cast<uint8_t>(std::max(stop_bits_->currentIndex(), 0)),
                             static_cast<uint8_t>(std::max(parity_->currentIndex(), 0)),
                             static_cast<uint8_t>(8 - std::max(data_bits_->currentIndex(), 0))};
    link_->Forward(comm::IOCTL_SERIAL_SET_LINE_CONTROL, line, 3, nullptr, 0);
    if (baud_->currentIndex() >= 0) {
        const uint32_t baud = baud_->currentText().toUInt();
        link_->Forward(comm::IOCTL_SERIAL_SET_BAUD_RATE, &baud, 4, nullptr, 0);
    }
}

void FilterPage::StartRow(FilterRow row) {
    Row& r = rows_[static_cast<int>(row)];
    if (IsTimeRow(row)) {
        r.timer->stop();
        r.timer->start(TimeRulePeriodMs(r.value->text().toInt()));
        return;
    }
    const auto n = static_cast<uint32_t>(r.value->text().toInt());
    sievra::FilterRule rule{
        action_value_, n, n, static_cast<uint8_t>(r.periodic->isChecked() ? 1 : 0), RuleByte(), 0};
    link_->LoadRule(RuleCode(row), rule);  // dropped while stopped: the link is closed
}

void FilterPage::ArmTimeRule(FilterRow row) {
    Row& r = rows_[static_cast<int>(row)];
    sievra::FilterRule rule{action_value_, 1, 0, 0, RuleByte(), 0};
    link_->LoadRule(RuleCode(row), rule);
    if (!r.periodic->isChecked())
        r.timer->stop();
}

void FilterPage::ReadLoop() {
    ReadRecords(
        this, *link_, filtering_, [this] { Stop(); },
        [this](const uint8_t* records, uint32_t length) {
            // One time stamp for the whole buffer.
            auto events =
                std::make_shared<std::vector<FilterEvent>>(DecodeFilterEvents(records, length));
            const std::string time = FilterBatchTime();
            QMetaObject::invokeMethod(
                this, [this, events, time] { AddEvents(*events, time); }, Qt::QueuedConnection);
        });
}

void FilterPage::AddEvents(const std::vector<FilterEvent>& events, const std::string& time) {
    // New rows come into view only for a user who is at the end of the list: one who scrolled
    // up to read earlier events stays where they are.
    const QScrollBar* bar = events_->verticalScrollBar();
    const bool at_end = bar->value() >= bar->maximum();
    for (const FilterEvent& e : events) {
        const int row = events_->rowCount();
        events_->insertRow(row);
        events_->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(e.direction)));
        events_->setItem(row, 1, new QTableWidgetItem(QString::fromStdString(time)));
        events_->setItem(row, 2, new QTableWidgetItem(QString::fromStdString(e.content)));
    }
    if (at_end)
        events_->scrollToBottom();
}

}  // namespace porvane::monitor
