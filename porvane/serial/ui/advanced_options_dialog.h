#pragma once

#include <QDialog>

#include "platform/comm/comm_timeouts.h"
#include "platform/comm/dcb.h"
#include "porvane/serial/advanced_options.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace porvane::serial {

// "串口高级选项": flow control, special characters and time-outs. Opens on the defaults, not on
// the record; "OK" writes every control into the records it was given.
class AdvancedOptionsDialog : public QDialog {
    Q_OBJECT
  public:
    AdvancedOptionsDialog(QWidget* parent, comm::Dcb* dcb, comm::CommTimeouts* timeouts);

    // The controls as they stand.
    AdvancedOptions Options() const;
    void ShowOptions(const AdvancedOptions& options);

  private:
    void OnFlowControl(int index);
    void OnOk();
    QLineEdit* NumberField(const QString& name, const QString& text);

    comm::Dcb* dcb_;
    comm::CommTimeouts* timeouts_;
    QComboBox* flow_;
    QCheckBox* cts_out_;
    QCheckBox* dsr_out_;
    QCheckBox* dsr_sensitivity_;
    QComboBox* dtr_;
    QComboBox* rts_;
    QCheckBox* xon_out_;
    QCheckBox* xon_in_;
    QLineEdit* xon_limit_;
    QLineEdit* xoff_limit_;
    QLineEdit* xon_char_;
    QLineEdit* xoff_char_;
    QLineEdit* read_interval_;
    QLineEdit* read_multiplier_;
    QLineEdit* read_constant_;
    QLineEdit* write_multiplier_;
    QLineEdit* write_constant_;
    QLineEdit* eof_char_;
    QLineEdit* error_char_;
    QLineEdit* event_char_;
    QCheckBox* null_stripping_;
    QCheckBox* error_replace_;
};

}  // namespace porvane::serial
