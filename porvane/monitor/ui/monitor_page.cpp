#include "porvane/monitor/ui/monitor_page.h"

#include <fcntl.h>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

#include "driver/sievra_protocol.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/comm/serial_stats.h"
#include "platform/comm/unique_fd.h"
#include "platform/text/gbk.h"
#include "porvane/monitor/driver_link.h"
#include "porvane/monitor/ui/open_driver_link.h"
#include "porvane/monitor/ui/start_reader.h"
#include "porvane/serial/page_notify.h"
#include "porvane/serial/ui/port_combo.h"
#include "porvane/shell/ui/status_strip.h"
#include "porvane/widgets/lamp.h"

namespace porvane::monitor {
namespace {

// The save dialog's second file type: the calls as a capture.
constexpr char kCaptureFilter[] = "pcapng Captures (*.pcapng)";
constexpr char kOverflowNotice[] = "------- Too more data, delete automaticly!! -----\r\n";

QLineEdit* ReadOnlyField(const char* name) {
    auto* field = new QLineEdit;
    field->setObjectName(name);
    field->setReadOnly(true);
    field->setMinimumWidth(40);
    return field;
}

QCheckBox* DisplayBox(const char* name, const char* text) {
    auto* box = new QCheckBox(QString::fromUtf8(text));
    box->setObjectName(name);
    box->setEnabled(false);  // shows the program's settings; the user cannot change them
    return box;
}

QLabel* Label(const char* text) {
    return new QLabel(QString::fromUtf8(text));
}

// What the screen shows of a log's text: line ends as the widget knows them.
QString ForDisplay(const QString& text) {
    QString shown = text;
    shown.remove(QLatin1Char('\r'));
    return shown;
}

}  // namespace

MonitorPage::MonitorPage(QWidget* parent) : PageBase(parent) {
    port_ = new QComboBox;
    port_->setObjectName("monitorPortCombo");
    start_ = new QPushButton(QString::fromUtf8("开始监视"));
    start_->setObjectName("monitorStartButton");
    lamp_ = new widgets::Lamp(QSize(14, 14), widgets::Lamp::Shape::kCircle);
    lamp_->setObjectName("monitorLamp");
    content_ = new QComboBox;
    content_->setObjectName("contentCombo");
    content_->addItem(QString::fromUtf8("全部信息"));
    content_->addItem(QString::fromUtf8("收发数据"));
    hex_ = new QCheckBox(QString::fromUtf8("16进制显示"));
    hex_->setObjectName("monitorHexBox");
    auto* save = new QPushButton(QString::fromUtf8("保存数据"));
    save->setObjectName("monitorSaveButton");
    auto* clear = new QPushButton(QString::fromUtf8("清除显示"));
    clear->setObjectName("monitorClearButton");

    baud_ = ReadOnlyField("baudField");
    data_bits_ = ReadOnlyField("dataBitsField");
    parity_ = ReadOnlyField("parityField");
    stop_bits_ = ReadOnlyField("stopBitsField");
    cts_out_ = DisplayBox("ctsOutBox", "CTS Out");
    dsr_out_ = DisplayBox("dsrOutBox", "DSR Out");
    dsr_input_ = DisplayBox("dsrInputBox", "DSR Input");
    dtr_ = ReadOnlyField("dtrField");
    rts_ = ReadOnlyField("rtsField");
    xon_out_ = DisplayBox("xonOutBox", "XON/XOFF Out");
    xon_in_ = DisplayBox("xonInBox", "XON/XOFF In");
    xon_limit_ = ReadOnlyField("xonLimitField");
    xoff_limit_ = ReadOnlyField("xoffLimitField");
    xon_char_ = ReadOnlyField("xonCharField");
    xoff_char_ = ReadOnlyField("xoffCharField");
    read_timeouts_ = ReadOnlyField("readTimeoutsField");
    write_timeouts_ = ReadOnlyField("writeTimeoutsField");

    upper_log_ = new QPlainTextEdit;
    upper_log_->setObjectName("upperLog");
    lower_log_ = new QPlainTextEdit;
    lower_log_->setObjectName("lowerLog");
    for (QPlainTextEdit* log : {upper_log_, lower_log_}) {
        log->setReadOnly(true);
        log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    }
    panes_ = new QSplitter(Qt::Vertical);
    panes_->setObjectName("monitorPanes");
    panes_->setChildrenCollapsible(false);
    panes_->addWidget(upper_log_);
    panes_->addWidget(lower_log_);
    upper_log_->hide();
    strip_ = new shell::StatusStrip(*this, this);

    auto* controls = new QGroupBox;
    controls->setObjectName("monitorControls");
    auto* grid = new QGridLayout(controls);
    grid->setContentsMargins(4, 2, 4, 2);
    grid->setVerticalSpacing(2);
    auto* first = new QHBoxLayout;
    first->addWidget(Label("选择串口"));
    first->addWidget(port_);
    first->addWidget(start_);
    first->addWidget(lamp_);
    first->addSpacing(8);
    first->addWidget(Label("监视内容"));
    first->addWidget(content_);
    first->addWidget(hex_);
    first->addStretch(1);
    first->addWidget(save);
    first->addWidget(clear);
    grid->addLayout(first, 0, 0, 1, 8);
    grid->addWidget(Label("波特率"), 1, 0);
    grid->addWidget(baud_, 1, 1);
    grid->addWidget(Label("数据位"), 1, 2);
    grid->addWidget(data_bits_, 1, 3);
    grid->addWidget(Label("校验位"), 1, 4);
    grid->addWidget(parity_, 1, 5);
    grid->addWidget(Label("停止位"), 1, 6);
    grid->addWidget(stop_bits_, 1, 7);
    grid->addWidget(Label("DTR"), 2, 0);
    grid->addWidget(dtr_, 2, 1);
    grid->addWidget(Label("RTS"), 2, 2);
    grid->addWidget(rts_, 2, 3);
    grid->addWidget(Label("Read Timeouts:"), 2, 4);
    grid->addWidget(read_timeouts_, 2, 5);
    grid->addWidget(Label("Write Timeouts:"), 2, 6);
    grid->addWidget(write_timeouts_, 2, 7);
    grid->addWidget(Label("XON Limit"), 3, 0);
    grid->addWidget(xon_limit_, 3, 1);
    grid->addWidget(Label("XOFF Limit"), 3, 2);
    grid->addWidget(xoff_limit_, 3, 3);
    grid->addWidget(Label("XON char"), 3, 4);
    grid->addWidget(xon_char_, 3, 5);
    grid->addWidget(Label("XOFF char"), 3, 6);
    grid->addWidget(xoff_char_, 3, 7);
    auto* boxes = new QHBoxLayout;
    for (QCheckBox* box : {cts_out_, dsr_out_, dsr_input_, xon_out_, xon_in_})
        boxes->addWidget(box);
    boxes->addStretch(1);
    grid->addLayout(boxes, 4, 0, 1, 8);
    for (int column : {1, 3, 5, 7})
        grid->setColumnStretch(column, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(controls);
    layout->addWidget(panes_, 1);
    layout->addWidget(strip_);

    serial::FillPortCombo(port_, this);
    link_ = std::make_unique<DriverLink>();
    modem_timer_ = new QTimer(this);
    modem_timer_->setObjectName("modemTimer");
    uint32_t scale[2] = {200, 200};
    Route(serial::PN_SET_CHART_SCALE, scale);

    connect(start_, &QPushButton::clicked, this, [this] { running_ ? Stop() : Start(); });
    connect(content_, &QComboBox::currentIndexChanged, this, &MonitorPage::SetContentMode);
    connect(hex_, &QCheckBox::toggled, this, [this](bool on) { hex_view_ = on; });
    connect(clear, &QPushButton::clicked, this, &MonitorPage::Clear);
    connect(save, &QPushButton::clicked, this, [this] {
        QFileDialog dialog(this, QStringLiteral("Send File"), QString(),
                           QStringLiteral("Text Files (*.txt)"));
        dialog.setObjectName("monitorSaveDialog");
        dialog.setNameFilters({QStringLiteral("Text Files (*.txt)"), QString(kCaptureFilter)});
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return;
        const QString path = dialog.selectedFiles().front();
        if (dialog.selectedNameFilter() == QLatin1String(kCaptureFilter) ||
            path.endsWith(QStringLiteral(".pcapng"), Qt::CaseInsensitive)) {
            SaveCaptureTo(path);
        } else {
            SaveTo(path);
        }
    });
    connect(panes_, &QSplitter::splitterMoved, this, [this] {
        const QList<int> sizes = panes_->sizes();
        const int total = sizes[0] + sizes[1];
        if (total > 0 && upper_log_->isVisible()) {
            ratio_ = std::clamp(static_cast<double>(sizes[0]) / total, 0.02, 0.98);
            ApplyRatio();
        }
    });
    connect(modem_timer_, &QTimer::timeout, this, &MonitorPage::PollModemStatus);
}

MonitorPage::~MonitorPage() {
    if (running_)
        Stop();
}

void MonitorPage::Start() {
    if (running_)
        return;
    // The list's entries come and go with the ports; the host keeps each port's number.
    const int host_port =
        link_->HostPortIndex(port_->currentText().toStdString(), port_->currentIndex());
    if (!OpenDriverLink(this, start_, *link_, host_port, sievra::kLinkModeMonitor,
                        QString::fromUtf8("不能开始监视,驱动失败!!")))
        return;
    monitored_port_ = port_->currentText().toStdString();
    if (!StartReader(this, *link_, running_, reader_, [this] { ReadLoop(); }))
        return;
    start_->setText(QString::fromUtf8("停止监视"));
    lamp_->SetLit(true);
    port_->setEnabled(false);
    modem_timer_->start(100);
    // The strip counts from now on: error counters that ran before do not light its lamps.
    program_received_ = 0;
    program_transmitted_ = 0;
    comm::SerialStats now;
    Route(serial::PN_GET_STATISTICS, &now);
    strip_->CountFrom(now);
}

void MonitorPage::Stop() {
    if (!running_)
        return;
    running_ = false;  // before the close, so the reading thread ends after its last read
    link_->Close();
    if (reader_.joinable())
        reader_.join();
    modem_timer_->stop();
    start_->setText(QString::fromUtf8("开始监视"));
    lamp_->SetLit(false);
    port_->setEnabled(true);
}

// The reading thread: reads whole records until the link is closed, decodes each buffer with
// the content mode and hex setting of that moment and hands the result to the page's thread.
void MonitorPage::ReadLoop() {
    ReadRecords(
        this, *link_, running_, [this] { Stop(); },
        [this](const uint8_t* records, uint32_t length) {
            const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::system_clock::now().time_since_epoch());
            calls_.Add(monitored_port_, records, length, static_cast<uint64_t>(now.count()));
            auto output = std::make_shared<MonitorOutput>(
                DecodeRecords(records, length, content_mode_, hex_view_));
            QMetaObject::invokeMethod(
                this, [this, output] { Show(*output); }, Qt::QueuedConnection);
        });
}

void MonitorPage::Show(const MonitorOutput& output) {
    program_received_ += output.bytes_read;
    program_transmitted_ += output.bytes_written;
    if (!output.lower.empty())
        Append(lower_log_, lower_text_, output.lower);
    if (!output.upper.empty())
        Append(upper_log_, upper_text_, output.upper);
    ApplyFields(output.fields);
}

void MonitorPage::Append(QPlainTextEdit* log, QString& text, const std::string& more) {
    if (text.size() >= kLogLimit) {
        text = QString::fromLatin1(kOverflowNotice);
        log->setPlainText(ForDisplay(text));
        return;
    }
    const QString added = QString::fromStdString(more);
    text += added;
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(ForDisplay(added));
    log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
}

void MonitorPage::ApplyFields(const MonitorFields& f) {
    auto set = [](QLineEdit* field, const std::optional<std::string>& value) {
        if (value)
            field->setText(QString::fromStdString(*value));
    };
    auto tick = [](QCheckBox* box, const std::optional<bool>& value) {
        if (value)
            box->setChecked(*value);
    };
    set(baud_, f.baud);
    set(data_bits_, f.data_bits);
    set(parity_, f.parity);
    set(stop_bits_, f.stop_bits);
    tick(cts_out_, f.cts_out);
    tick(dsr_out_, f.dsr_out);
    tick(dsr_input_, f.dsr_input);
    set(dtr_, f.dtr_mode);
    set(rts_, f.rts_mode);
    tick(xon_out_, f.xon_out);
    tick(xon_in_, f.xon_in);
    set(xon_limit_, f.xon_limit);
    set(xoff_limit_, f.xoff_limit);
    set(xon_char_, f.xon_char);
    set(xoff_char_, f.xoff_char);
    set(read_timeouts_, f.read_timeouts);
    set(write_timeouts_, f.write_timeouts);
}

void MonitorPage::SetContentMode(int index) {
    content_mode_ = index == 1 ? ContentMode::kDataOnly : ContentMode::kAllInfo;
    upper_log_->setVisible(index == 1);
    ApplyRatio();
}

void MonitorPage::DragSplitTo(int y_in_panes) {
    const int height = panes_->height();
    if (height <= 0)
        return;
    ratio_ = std::clamp(static_cast<double>(y_in_panes) / height, 0.02, 0.98);
    ApplyRatio();
}

void MonitorPage::ApplyRatio() {
    if (!upper_log_->isVisibleTo(this))
        return;  // the ratio is kept and used when the upper pane shows again
    const int total = std::max(panes_->height() - panes_->handleWidth(), 2);
    const int upper = static_cast<int>(total * ratio_);
    const QSignalBlocker block(panes_);
    panes_->setSizes({upper, total - upper});
}

void MonitorPage::Clear() {
    calls_.Clear();
    upper_text_.clear();
    lower_text_.clear();
    upper_log_->clear();
    lower_log_->clear();
}

void MonitorPage::SaveTo(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        widgets::ShowProgramMessage(this, QString::fromUtf8("文件打开失败!"));
        return;
    }
    file.write(
        QByteArray::fromStdString(text::Utf8ToGbk((upper_text_ + lower_text_).toStdString())));
}

void MonitorPage::SaveCaptureTo(const QString& path) {
    comm::UniqueFd fd(::open(QFile::encodeName(path).constData(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid() || calls_.WriteTo(std::move(fd), "porvane") != 0)
        widgets::ShowProgramMessage(this, QString::fromUtf8("文件打开失败!"));
}

// The page's modem timer (100 ms while monitoring): the program's port's modem lines reach the
// strip's CTS, DSR, RI and CD lamps, and its DTR and RTS lines the strip's DTR and RTS lamps,
// which the strip's own tick otherwise brings up to date only once a second.
void MonitorPage::PollModemStatus() {
    uint32_t status = 0;
    if (link_->Forward(comm::IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, 4) == 1)
        Route(serial::PN_MODEM_STATUS, &status);
    uint32_t control = 0;
    if (link_->Forward(comm::IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, &control, 4) == 1)
        strip_->SetModemControl(static_cast<uint8_t>(control));
}

intptr_t MonitorPage::Route(uint32_t code, void* data) {
    switch (code) {
        case serial::PN_MODEM_STATUS:
            strip_->SetModemStatus(*static_cast<uint32_t*>(data));
            break;
        case serial::PN_GET_MODEM_CONTROL: {
            uint32_t control = 0;
            if (running_)
                link_->Forward(comm::IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, &control, 4);
            *static_cast<uint8_t*>(data) = static_cast<uint8_t>(control);
            break;
        }
        case serial::PN_GET_STATISTICS:
            if (running_) {
                // The line errors as the port's driver counts them, the bytes as the program
                // moved them.
                auto* stats = static_cast<comm::SerialStats*>(data);
                link_->Forward(comm::IOCTL_SERIAL_GET_STATS, nullptr, 0, stats, sizeof *stats);
                stats->ReceivedCount = program_received_;
                stats->TransmittedCount = program_transmitted_;
            }
            break;
        case serial::PN_SET_CHART_SCALE: {
            auto* scale = static_cast<uint32_t*>(data);
            strip_->SetChartScale(scale[0], scale[1]);
            break;
        }
        default:
            break;
    }
    return 0;
}

}  // namespace porvane::monitor
