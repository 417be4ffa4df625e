#include "porvane/shell/ui/status_strip.h"

#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "porvane/serial/page_notify.h"
#include "porvane/shell/ui/help_launcher.h"
#include "porvane/shell/ui/line_chart.h"
#include "porvane/widgets/lamp.h"

namespace porvane::shell {
namespace {

widgets::Lamp* LabelledLamp(QHBoxLayout* layout, const QString& name, const char* label) {
    auto* lamp = new widgets::Lamp(QSize(8, 6), widgets::Lamp::Shape::kRectangle);
    lamp->setObjectName(name);
    auto* column = new QVBoxLayout;
    column->setSpacing(1);
    column->addWidget(lamp, 0, Qt::AlignHCenter);
    column->addWidget(new QLabel(QString::fromUtf8(label)), 0, Qt::AlignHCenter);
    layout->addLayout(column);
    return lamp;
}

QFrame* Separator() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

}  // namespace

StatusStrip::StatusStrip(serial::PageWindow& page, QWidget* parent) : QWidget(parent), page_(page) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    // Tight, so that the strip with every lamp, the largest counts and its buttons whole fits a
    // window below 800 pixels wide.
    layout->setSpacing(3);
    dtr_ = LabelledLamp(layout, "dtrLamp", "DTR");
    rts_ = LabelledLamp(layout, "rtsLamp", "RTS");
    dsr_ = LabelledLamp(layout, "dsrLamp", "DSR");
    cts_ = LabelledLamp(layout, "ctsLamp", "CTS");
    ri_ = LabelledLamp(layout, "riLamp", "RI");
    cd_ = LabelledLamp(layout, "cdLamp", "CD");
    layout->addWidget(Separator());
    no_signal_ = LabelledLamp(layout, "noSignalLamp", "无信号");
    frame_ = LabelledLamp(layout, "frameLamp", "帧错");
    parity_ = LabelledLamp(layout, "parityLamp", "校验错");
    serial_overrun_ = LabelledLamp(layout, "txOverrunLamp", "发溢出");
    buffer_overrun_ = LabelledLamp(layout, "rxOverrunLamp", "收溢出");
    layout->addWidget(Separator());
    tx_ = new QLabel(QStringLiteral("TX: 0"));
    tx_->setObjectName("txLabel");
    rx_ = new QLabel(QStringLiteral("RX: 0"));
    rx_->setObjectName("rxLabel");
    const int counter_width =
        tx_->fontMetrics().horizontalAdvance(QStringLiteral("RX: 4294967295"));
    tx_->setMinimumWidth(counter_width);
    rx_->setMinimumWidth(counter_width);
    auto* counters = new QVBoxLayout;
    counters->setSpacing(0);
    counters->addWidget(tx_);
    counters->addWidget(rx_);
    layout->addLayout(counters);
    auto* reset = new QPushButton(QString::fromUtf8("重新计数"));
    reset->setObjectName("resetCountButton");
    layout->addWidget(reset);
    chart_ = new LineChart;
    chart_->setObjectName("trafficChart");
    chart_->setToolTip(QString::fromUtf8("图形显示流量"));
    // Wide enough to read a few seconds of traffic in the smallest window; wider windows give
    // the chart all the room the strip has left.
    chart_->setMinimumWidth(tx_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 6);
    layout->addWidget(chart_, 1);
    auto* help = new QPushButton(QString::fromUtf8("运行帮助"));
    help->setObjectName("helpButton");
    auto* exit = new QPushButton(QString::fromUtf8("退出程序"));
    exit->setObjectName("exitButton");
    layout->addWidget(help);
    layout->addWidget(exit);
    setMinimumHeight(30);

    chart_->AddSeries(0x00FF00, 100, 0);  // sending, green
    chart_->AddSeries(0xFFFF00, 100, 0);  // receiving, yellow
    counters_.SetChartScale(1, 1);

    connect(reset, &QPushButton::clicked, this, &StatusStrip::ResetCounts);
    connect(help, &QPushButton::clicked, this, [this] { OpenHelp(this); });
    connect(exit, &QPushButton::clicked, this, [] { QCoreApplication::exit(1); });
    timer_ = new QTimer(this);
    timer_->setObjectName("statusTimer");
    connect(timer_, &QTimer::timeout, this, &StatusStrip::Tick);
    timer_->start(1000);
}

void StatusStrip::SetModemStatus(uint32_t status) {
    cts_->SetLit(status & 0x10);
    dsr_->SetLit(status & 0x20);
    ri_->SetLit(status & 0x40);
    cd_->SetLit(status & 0x80);
}

void StatusStrip::SetModemControl(uint8_t control) {
    dtr_->SetLit(control & 0x01);
    rts_->SetLit(control & 0x02);
}

void StatusStrip::SetChartScale(uint32_t sending, uint32_t receiving) {
    counters_.SetChartScale(sending, receiving);
}

void StatusStrip::ResetCounts() {
    counters_.ResetTotals();
    rx_->setText(QStringLiteral("RX: 0"));
    tx_->setText(QStringLiteral("TX: 0"));
}

void StatusStrip::Tick() {
    uint8_t control = 0;
    page_.PageNotify(serial::PN_GET_MODEM_CONTROL, &control);
    comm::SerialStats stats;
    page_.PageNotify(serial::PN_GET_STATISTICS, &stats);
    const StatusTick t = counters_.Tick(control, stats);
    dtr_->SetLit(t.dtr);
    rts_->SetLit(t.rts);
    no_signal_->SetLit(t.no_signal);
    frame_->SetLit(t.frame_error);
    parity_->SetLit(t.parity_error);
    serial_overrun_->SetLit(t.serial_overrun);
    buffer_overrun_->SetLit(t.buffer_overrun);
    rx_->setText(QString::asprintf("RX: %u", t.received_total));
    tx_->setText(QString::asprintf("TX: %u", t.sent_total));
    chart_->SetValue(0, t.chart_sent);
    chart_->SetValue(1, t.chart_received);
    chart_->Step();
}

}  // namespace porvane::shell
