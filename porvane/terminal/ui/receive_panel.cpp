#include "porvane/terminal/ui/receive_panel.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <fstream>

#include "platform/comm/rfc2217_serial_device.h"
#include "platform/devicemap/returning_port.h"
#include "porvane/serial/page_notify.h"
#include "porvane/widgets/lamp.h"
#include "porvane/widgets/page_base.h"

namespace porvane::terminal {

ReceivePanel::ReceivePanel(serial::PageWindow& page, QWidget* parent)
    : QWidget(parent), page_(page) {
    open_ = new QPushButton(QString::fromUtf8("打开串口"));
    open_->setObjectName("openButton");
    lamp_ = new widgets::Lamp(QSize(28, 25), widgets::Lamp::Shape::kCircle);
    lamp_->setObjectName("portLamp");
    stop_ = new QPushButton(QString::fromUtf8("停止显示"));
    stop_->setObjectName("stopButton");
    auto* clear = new QPushButton(QString::fromUtf8("清除显示"));
    clear->setObjectName("clearButton");
    hex_ = new QCheckBox(QString::fromUtf8("16进制"));
    hex_->setObjectName("hexCheck");
    auto* redisplay = new QPushButton(QString::fromUtf8("重新显示"));
    redisplay->setObjectName("redisplayButton");
    auto* choose = new QPushButton(QString::fromUtf8("选择文件"));
    choose->setObjectName("chooseFileButton");
    auto* save = new QPushButton(QString::fromUtf8("保存数据"));
    save->setObjectName("saveButton");
    file_ = new QLineEdit(QString::fromUtf8(kNoFileSelected));
    file_->setObjectName("fileField");
    file_->setReadOnly(true);
    status_ = new QLabel;
    status_->setObjectName("reconnectStatus");
    // One line under the file field, in the room the column has: it never widens the column.
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

    dtr_ = new QCheckBox(QStringLiteral("DTR"));
    dtr_->setObjectName("dtrSwitch");
    rts_ = new QCheckBox(QStringLiteral("RTS"));
    rts_->setObjectName("rtsSwitch");
    break_ = new QPushButton(QStringLiteral("Break"));
    break_->setObjectName("breakButton");
    break_->setToolTip(QString::fromUtf8("发送 250 毫秒的 Break"));
    auto* lines = new QHBoxLayout;
    lines->addWidget(dtr_);
    lines->addWidget(rts_);
    lines->addWidget(break_);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(open_, 0, 0);
    layout->addWidget(lamp_, 0, 1, Qt::AlignCenter);
    layout->addWidget(stop_, 1, 0);
    layout->addWidget(clear, 1, 1);
    layout->addWidget(hex_, 2, 0);
    layout->addWidget(redisplay, 2, 1);
    layout->addWidget(choose, 3, 0);
    layout->addWidget(save, 3, 1);
    layout->addWidget(file_, 4, 0, 1, 2);
    layout->addWidget(status_, 5, 0, 1, 2);
    layout->addLayout(lines, 6, 0, 1, 2);
    layout->setRowStretch(7, 1);
    ShowModemLines();

    connect(open_, &QPushButton::clicked, this, &ReceivePanel::OnOpenClose);
    connect(stop_, &QPushButton::clicked, this, &ReceivePanel::OnStopContinue);
    connect(clear, &QPushButton::clicked, this,
            [this] { page_.PageNotify(serial::PN_CLEAR_VIEW, nullptr); });
    connect(hex_, &QCheckBox::clicked, this, [this](bool checked) {
        hex_flag_ = checked ? 1 : 0;
        page_.PageNotify(serial::PN_HEX_VIEW, &hex_flag_);
    });
    connect(redisplay, &QPushButton::clicked, this,
            [this] { page_.PageNotify(serial::PN_REDISPLAY, nullptr); });
    connect(choose, &QPushButton::clicked, this, &ReceivePanel::OnChooseFile);
    connect(save, &QPushButton::clicked, this, &ReceivePanel::OnSave);
    connect(dtr_, &QCheckBox::clicked, this,
            [this] { OnModemSwitch(comm::Escape::SetDtr, comm::Escape::ClrDtr, dtr_); });
    connect(rts_, &QCheckBox::clicked, this,
            [this] { OnModemSwitch(comm::Escape::SetRts, comm::Escape::ClrRts, rts_); });
    connect(break_, &QPushButton::clicked, this, &ReceivePanel::OnBreak);
}

void ReceivePanel::ShowModemLines() {
    uint32_t status = 0;
    uint32_t control = 0;
    const bool lines = open_flag_ != 0 && channel_.GetModemLines(status, control);
    for (QCheckBox* box : {dtr_, rts_}) {
        box->setEnabled(lines);
        box->setToolTip(open_flag_ != 0 && !lines ? QString::fromUtf8("这个串口没有握手线")
                                                  : QString());
    }
    dtr_->setChecked(lines && (control & 0x01));
    rts_->setChecked(lines && (control & 0x02));
    break_->setEnabled(open_flag_ != 0);
}

void ReceivePanel::OnModemSwitch(comm::Escape set, comm::Escape clear, QCheckBox* box) {
    channel_.EscapeFunction(box->isChecked() ? set : clear);
    ShowModemLines();  // shows what the port took
}

// A break of 250 ms, as terminal programs send it; the button waits for its end.
void ReceivePanel::OnBreak() {
    if (open_flag_ == 0 || !channel_.EscapeFunction(comm::Escape::SetBreak))
        return;
    break_->setEnabled(false);
    QTimer::singleShot(250, this, [this] {
        channel_.EscapeFunction(comm::Escape::ClrBreak);
        break_->setEnabled(open_flag_ != 0);
    });
}

void ReceivePanel::OnOpenClose() {
    if (open_flag_ == 0) {
        page_.PageNotify(serial::PN_FILL_SETTINGS, &channel_.settings());
        if (channel_.OpenPort(&page_) == 0) {
            return;
        }
        open_flag_ = 1;
        opened_port_ = serial::PortNameOf(channel_.settings());
        opened_identity_ = devicemap::IdentifyPort(opened_port_);
        awaiting_return_ = false;
        StopWatchingForPathReturn();
        status_->clear();
        status_->setToolTip(QString());
        open_->setText(QString::fromUtf8("关闭串口"));
        lamp_->SetLit(true);
    } else {
        channel_.ClosePort();
        open_flag_ = 0;
        open_->setText(QString::fromUtf8("打开串口"));
        lamp_->SetLit(false);
    }
    ShowModemLines();
    page_.PageNotify(serial::PN_PORT_STATE, &open_flag_);
    if (open_flag_ != 0)
        channel_.SayIfBaudNotTaken(channel_.settings().dcb.BaudRate);
}

void ReceivePanel::ClosePort() {
    if (open_flag_ != 0) {
        OnOpenClose();
    }
    channel_.ClosePort();
}

void ReceivePanel::PortVanished() {
    if (open_flag_ == 0) {
        return;  // closed meanwhile by the user
    }
    ClosePort();
    // A port on another machine never arrives in the lists again (it never left them): the
    // server may be back at any time, so the open button is the way to try it.
    const bool remote = opened_identity_ && comm::IsRemotePortName(opened_identity_->path.empty()
                                                                       ? opened_port_
                                                                       : opened_identity_->path);
    awaiting_return_ = !remote;
    status_->setText(QString::fromUtf8(remote ? "网络串口已断开" : "串口已断开, 等待重新连接"));
    if (remote) {
        status_->setToolTip(QString::fromUtf8("%1: 按'打开串口'重新连接")
                                .arg(QString::fromStdString(opened_identity_->path)));
    }
    if (awaiting_return_)
        WatchForPathReturn();
    widgets::ShowProgramMessage(this, QString::fromUtf8(serial::kMessagePortGone));
    if (remote)
        open_->setFocus();
}

void ReceivePanel::WatchForPathReturn() {
    const QFileInfo port(QString::fromStdString(opened_port_));
    if (!port.isAbsolute())
        return;  // a named device: the device map's watcher reports its return
    StopWatchingForPathReturn();
    path_watch_ = new QFileSystemWatcher(this);
    path_watch_->setObjectName("portPathWatch");
    path_watch_->addPath(port.absolutePath());
    auto look = [this] {
        // exists() follows the link: a link left behind by the vanished port leads nowhere.
        if (awaiting_return_ && QFileInfo::exists(QString::fromStdString(opened_port_)))
            PortsArrived({opened_port_});
    };
    connect(path_watch_, &QFileSystemWatcher::directoryChanged, this, look);
    // It may have come back before the watch began.
    QMetaObject::invokeMethod(this, look, Qt::QueuedConnection);
}

void ReceivePanel::StopWatchingForPathReturn() {
    if (path_watch_ != nullptr)
        path_watch_->deleteLater();  // may be the sender of the change being handled
    path_watch_ = nullptr;
}

void ReceivePanel::PortsArrived(const std::vector<std::string>& ports) {
    if (!awaiting_return_ || open_flag_ != 0)
        return;
    for (const std::string& port : ports) {
        if (!devicemap::IsReturningPort(opened_port_, opened_identity_, port,
                                        devicemap::IdentifyPort(port))) {
            continue;
        }
        awaiting_return_ = false;
        StopWatchingForPathReturn();
        page_.PageNotify(serial::PN_SELECT_PORT, const_cast<char*>(port.c_str()));
        status_->setText(QString::fromUtf8("适配器已重新连接"));
        status_->setToolTip(
            QString::fromUtf8("%1: 按'打开串口'重新打开").arg(QString::fromStdString(port)));
        open_->setFocus();
        return;
    }
}

void ReceivePanel::OnStopContinue() {
    stopped_flag_ = stopped_flag_ ? 0 : 1;
    stop_->setText(QString::fromUtf8(stopped_flag_ ? "继续显示" : "停止显示"));
    page_.PageNotify(serial::PN_STOP_VIEW, &stopped_flag_);
}

void ReceivePanel::OnChooseFile() {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Send File"), QString(),
                                                      QStringLiteral("Text Files (*.txt)"));
    if (!path.isEmpty()) {
        file_->setText(path);
    }
}

void ReceivePanel::OnSave() {
    const QString path = file_->text();
    if (path == QString::fromUtf8(kNoFileSelected)) {
        return;
    }
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    if (!out) {
        widgets::ShowProgramMessage(this, QString::fromUtf8(kFileOpenFailed));
        return;
    }
    serial::TextBlock text{nullptr, 0};
    page_.PageNotify(serial::PN_GET_VIEW_TEXT, &text);
    out.write(text.text, text.length);
    out.close();
    if (!out) {
        widgets::ShowProgramMessage(this, QString::fromUtf8("文件写入失败!"));
    }
}

void ReceivePanel::ApplySettings(const serial::LineSettings* settings) {
    if (open_flag_ != 0 && settings != nullptr) {
        channel_.ApplySettings(*settings);
        channel_.SayIfBaudNotTaken(settings->dcb.BaudRate);
    }
}

void ReceivePanel::Write(const serial::DataBlock* block) {
    if (block != nullptr) {
        channel_.WritePort(block->data, block->count);
    }
}

uint8_t ReceivePanel::ModemControl() {
    return channel_.GetModemControl();
}

void ReceivePanel::Statistics(comm::SerialStats* stats) {
    if (open_flag_ != 0) {
        channel_.GetPortStatistics(stats);
    }
}

}  // namespace porvane::terminal
