#pragma once

#include <QDialog>

#include "brevant/app_settings.h"
#include "brevant/omnix.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace brevant {

// "参数设置": port, baud, data bits, send and receive formats and the timeout, kept in Config.INI.
class SettingsDialog : public QDialog {
    Q_OBJECT
  public:
    SettingsDialog(IniFile& ini, QWidget* parent);

  private:
    void Save();

    IniFile& ini_;
    AppSettings settings_;
    QComboBox* port_;
    QComboBox* baud_;
    QComboBox* data_bits_;
    QComboBox* send_format_;
    QComboBox* receive_format_;
    QLineEdit* timeout_;
    QCheckBox* answer_handshake_;
};

}  // namespace brevant
