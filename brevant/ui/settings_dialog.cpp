#include "brevant/ui/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace brevant {

SettingsDialog::SettingsDialog(IniFile& ini, QWidget* parent) : QDialog(parent), ini_(ini) {
    settings_ = ReadSettings(ini_);
    port_ = new QComboBox;
    port_->setObjectName("portList");
    for (int n = 1; n <= 101; ++n)
        port_->addItem(QStringLiteral("COM%1").arg(n));
    port_->setCurrentIndex(std::clamp(settings_.port - 1, 0, 100));
    baud_ = new QComboBox;
    baud_->setObjectName("baudList");
    for (const char* b : {"600", "1200", "2400", "4800", "9600", "14400", "19200", "28800", "38400",
                          "57600", "115200", "128000", "256000"}) {
        baud_->addItem(QString::fromLatin1(b));
    }
    const int baud_index = baud_->findText(QString::number(settings_.baud));
    baud_->setCurrentIndex(baud_index >= 0 ? baud_index : 0);
    data_bits_ = new QComboBox;
    data_bits_->setObjectName("dataBitsList");
    for (const char* d : {"4", "6", "8"})
        data_bits_->addItem(QString::fromLatin1(d));
    const int data_index = data_bits_->findText(QString::number(settings_.data_bits));
    data_bits_->setCurrentIndex(data_index >= 0 ? data_index : 0);
    send_format_ = new QComboBox;
    send_format_->setObjectName("sendFormatList");
    receive_format_ = new QComboBox;
    receive_format_->setObjectName("receiveFormatList");
    for (QComboBox* c : {send_format_, receive_format_})
        c->addItems({"HEX", "ASC"});
    send_format_->setCurrentIndex(std::clamp(settings_.send_format, 0, 1));
    receive_format_->setCurrentIndex(std::clamp(settings_.receive_format, 0, 1));
    timeout_ = new QLineEdit(QString::number(settings_.timeout_ms));
    timeout_->setObjectName("timeoutBox");
    answer_handshake_ =
        new QCheckBox(QString::fromUtf8("应答读卡器握手 (收到20回06, 记录整个回应帧)"));
    answer_handshake_->setObjectName("answerHandshakeBox");
    answer_handshake_->setChecked(settings_.answer_handshake);
    auto* save = new QPushButton(QString::fromUtf8("保  存"));
    save->setObjectName("saveSettingsButton");
    auto* cancel = new QPushButton(QString::fromUtf8("取  消"));
    cancel->setObjectName("cancelSettingsButton");

    auto* form = new QFormLayout;
    form->addRow(QString::fromUtf8("端口号"), port_);
    form->addRow(QString::fromUtf8("波特率"), baud_);
    form->addRow(QString::fromUtf8("数据位"), data_bits_);
    form->addRow(QString::fromUtf8("发送格式"), send_format_);
    form->addRow(QString::fromUtf8("接收格式"), receive_format_);
    form->addRow(QString::fromUtf8("串口超时(ms)"), timeout_);
    form->addRow(answer_handshake_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(save);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    setWindowTitle(QString::fromUtf8("参数设置"));
    connect(save, &QPushButton::clicked, this, &SettingsDialog::Save);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void SettingsDialog::Save() {
    settings_.port = port_->currentIndex() + 1;
    settings_.baud = baud_->currentText().toInt();
    settings_.data_bits = data_bits_->currentText().toInt();
    settings_.send_format = send_format_->currentIndex();
    settings_.receive_format = receive_format_->currentIndex();
    settings_.answer_handshake = answer_handshake_->isChecked();
    WriteSettings(ini_, settings_, timeout_->text().toStdString());
    accept();
}

}  // namespace brevant
