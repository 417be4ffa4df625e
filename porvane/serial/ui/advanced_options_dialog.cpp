#include "porvane/serial/ui/advanced_options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace porvane::serial {
namespace {

const char kNoLinuxEquivalent[] =
    "Linux has no DTR/DSR handshake or DSR sensitivity: the setting is kept in the line "
    "settings but the port does not act on it.";
const char kNoXonXoffLimits[] =
    "Linux sends XOFF and XON at thresholds of its own: the limits are kept in the line "
    "settings but the port does not act on them.";
const char kRtsToggle[] =
    "Toggle raises RTS while bytes go out, through the port driver's RS-485 mode; a port whose "
    "driver has none keeps RTS raised, and the page says so when the setting reaches the port.";

QComboBox* Combo(const QString& name, std::initializer_list<const char*> items) {
    auto* combo = new QComboBox;
    combo->setObjectName(name);
    for (const char* item : items)
        combo->addItem(QString::fromUtf8(item));
    return combo;
}

QCheckBox* Check(const QString& name, const char* text) {
    auto* box = new QCheckBox(QString::fromUtf8(text));
    box->setObjectName(name);
    return box;
}

}  // namespace

QLineEdit* AdvancedOptionsDialog::NumberField(const QString& name, const QString& text) {
    auto* field = new QLineEdit(text, this);
    field->setObjectName(name);
    field->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field));
    return field;
}

AdvancedOptionsDialog::AdvancedOptionsDialog(QWidget* parent, comm::Dcb* dcb,
                                             comm::CommTimeouts* timeouts)
    : QDialog(parent), dcb_(dcb), timeouts_(timeouts) {
    flow_ = Combo("flowControlCombo", {kFlowControlEntries[0], kFlowControlEntries[1],
                                       kFlowControlEntries[2], kFlowControlEntries[3]});
    cts_out_ = Check("ctsOutCheck", "CTS Control Out");
    dsr_out_ = Check("dsrOutCheck", "DSR Control Out");
    dsr_sensitivity_ = Check("dsrSensitivityCheck", "DSR Sensitivity Input");
    dtr_ = Combo("dtrCombo", {kDtrControlEntries[0], kDtrControlEntries[1], kDtrControlEntries[2]});
    rts_ = Combo("rtsCombo", {kRtsControlEntries[0], kRtsControlEntries[1], kRtsControlEntries[2],
                              kRtsControlEntries[3]});
    xon_out_ = Check("xonOutCheck", "XON/XOFF Control Out");
    xon_in_ = Check("xonInCheck", "XON/XOFF Control In");
    xon_limit_ = NumberField("xonLimitField", {});
    xoff_limit_ = NumberField("xoffLimitField", {});
    xon_char_ = NumberField("xonCharField", {});
    xoff_char_ = NumberField("xoffCharField", {});
    read_interval_ = NumberField("readIntervalField", {});
    read_multiplier_ = NumberField("readMultiplierField", {});
    read_constant_ = NumberField("readConstantField", {});
    write_multiplier_ = NumberField("writeMultiplierField", {});
    write_constant_ = NumberField("writeConstantField", {});
    eof_char_ = NumberField("eofCharField", {});
    error_char_ = NumberField("errorCharField", {});
    event_char_ = NumberField("eventCharField", {});
    null_stripping_ = Check("nullStrippingCheck", "NULL Stripping");
    error_replace_ = Check("errorReplaceCheck", "Error Replace");
    for (QWidget* w : std::initializer_list<QWidget*>{dsr_out_, dsr_sensitivity_}) {
        w->setToolTip(QString::fromUtf8(kNoLinuxEquivalent));
    }
    dtr_->setToolTip(QString::fromUtf8(kNoLinuxEquivalent));
    rts_->setToolTip(QString::fromUtf8(kRtsToggle));
    rts_->setItemData(3, QString::fromUtf8(kRtsToggle), Qt::ToolTipRole);

    auto* hardware = new QGroupBox(QString::fromUtf8("硬件流控控制"));
    auto* hardware_form = new QFormLayout(hardware);
    hardware_form->addRow(cts_out_);
    hardware_form->addRow(dsr_out_);
    hardware_form->addRow(dsr_sensitivity_);
    hardware_form->addRow(QStringLiteral("DTR Control:"), dtr_);
    hardware_form->addRow(QStringLiteral("RTS Control:"), rts_);

    auto* software = new QGroupBox(QString::fromUtf8("软件流控选项"));
    auto* software_form = new QFormLayout(software);
    software_form->addRow(xon_out_);
    software_form->addRow(xon_in_);
    software_form->addRow(QStringLiteral("XON Limit:"), xon_limit_);
    software_form->addRow(QStringLiteral("XOFF Limit:"), xoff_limit_);
    for (QWidget* field : std::initializer_list<QWidget*>{xon_limit_, xoff_limit_}) {
        field->setToolTip(QString::fromUtf8(kNoXonXoffLimits));
        software_form->labelForField(field)->setToolTip(QString::fromUtf8(kNoXonXoffLimits));
    }
    software_form->addRow(QStringLiteral("XON Char:"), xon_char_);
    software_form->addRow(QStringLiteral("XOFF Char:"), xoff_char_);

    auto* flow_group = new QGroupBox(QString::fromUtf8("流量控制"));
    auto* flow_layout = new QVBoxLayout(flow_group);
    auto* flow_row = new QFormLayout;
    flow_row->addRow(QString::fromUtf8("流量控制:"), flow_);
    flow_layout->addLayout(flow_row);
    flow_layout->addWidget(hardware);
    flow_layout->addWidget(software);

    auto* read_group = new QGroupBox(QStringLiteral("Read Timeouts"));
    auto* read_form = new QFormLayout(read_group);
    read_form->addRow(QStringLiteral("Read Interval Timeouts:"), read_interval_);
    read_form->addRow(QStringLiteral("Read Total Multiplier:"), read_multiplier_);
    read_form->addRow(QStringLiteral("Read Total Constant:"), read_constant_);
    auto* write_group = new QGroupBox(QStringLiteral("Write Timeouts"));
    auto* write_form = new QFormLayout(write_group);
    write_form->addRow(QStringLiteral("Write Totale Multiplier:"), write_multiplier_);
    write_form->addRow(QStringLiteral("Write Total Constant:"), write_constant_);
    auto* timeouts_group = new QGroupBox(QString::fromUtf8("超时控制(单位MS)"));
    auto* timeouts_layout = new QVBoxLayout(timeouts_group);
    timeouts_layout->addWidget(read_group);
    timeouts_layout->addWidget(write_group);

    auto* chars_group = new QGroupBox(QString::fromUtf8("字符设置"));
    auto* chars_form = new QFormLayout(chars_group);
    chars_form->addRow(QStringLiteral("EofChar:"), eof_char_);
    chars_form->addRow(QStringLiteral("ErrorChar:"), error_char_);
    chars_form->addRow(QStringLiteral("EventChar:"), event_char_);
    chars_form->addRow(null_stripping_);
    chars_form->addRow(error_replace_);

    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName("okButton");
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName("cancelButton");
    auto* defaults = new QPushButton(QString::fromUtf8("恢复缺省值"));
    defaults->setObjectName("defaultsButton");

    auto* right = new QVBoxLayout;
    right->addWidget(timeouts_group);
    right->addWidget(chars_group);
    right->addStretch();
    auto* columns = new QHBoxLayout;
    columns->addWidget(flow_group);
    columns->addLayout(right);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(defaults);
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(columns);
    layout->addLayout(buttons);

    setWindowTitle(QString::fromUtf8("串口高级选项"));
    ShowOptions(DefaultAdvancedOptions());
    connect(flow_, &QComboBox::currentIndexChanged, this, &AdvancedOptionsDialog::OnFlowControl);
    connect(ok, &QPushButton::clicked, this, &AdvancedOptionsDialog::OnOk);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(defaults, &QPushButton::clicked, this,
            [this] { ShowOptions(DefaultAdvancedOptions()); });
}

AdvancedOptions AdvancedOptionsDialog::Options() const {
    AdvancedOptions o;
    o.flow_control = flow_->currentIndex();
    o.cts_control_out = cts_out_->isChecked();
    o.dsr_control_out = dsr_out_->isChecked();
    o.dsr_sensitivity = dsr_sensitivity_->isChecked();
    o.dtr_control = dtr_->currentIndex();
    o.rts_control = rts_->currentIndex();
    o.xon_control_out = xon_out_->isChecked();
    o.xon_control_in = xon_in_->isChecked();
    o.xon_limit = xon_limit_->text().toStdString();
    o.xoff_limit = xoff_limit_->text().toStdString();
    o.xon_char = xon_char_->text().toStdString();
    o.xoff_char = xoff_char_->text().toStdString();
    o.read_interval = read_interval_->text().toStdString();
    o.read_multiplier = read_multiplier_->text().toStdString();
    o.read_constant = read_constant_->text().toStdString();
    o.write_multiplier = write_multiplier_->text().toStdString();
    o.write_constant = write_constant_->text().toStdString();
    o.eof_char = eof_char_->text().toStdString();
    o.error_char = error_char_->text().toStdString();
    o.event_char = event_char_->text().toStdString();
    o.null_stripping = null_stripping_->isChecked();
    o.error_replace = error_replace_->isChecked();
    return o;
}

void AdvancedOptionsDialog::ShowOptions(const AdvancedOptions& o) {
    const QSignalBlocker block(flow_);
    flow_->setCurrentIndex(o.flow_control);
    cts_out_->setChecked(o.cts_control_out);
    dsr_out_->setChecked(o.dsr_control_out);
    dsr_sensitivity_->setChecked(o.dsr_sensitivity);
    dtr_->setCurrentIndex(o.dtr_control);
    rts_->setCurrentIndex(o.rts_control);
    xon_out_->setChecked(o.xon_control_out);
    xon_in_->setChecked(o.xon_control_in);
    xon_limit_->setText(QString::fromStdString(o.xon_limit));
    xoff_limit_->setText(QString::fromStdString(o.xoff_limit));
    xon_char_->setText(QString::fromStdString(o.xon_char));
    xoff_char_->setText(QString::fromStdString(o.xoff_char));
    read_interval_->setText(QString::fromStdString(o.read_interval));
    read_multiplier_->setText(QString::fromStdString(o.read_multiplier));
    read_constant_->setText(QString::fromStdString(o.read_constant));
    write_multiplier_->setText(QString::fromStdString(o.write_multiplier));
    write_constant_->setText(QString::fromStdString(o.write_constant));
    eof_char_->setText(QString::fromStdString(o.eof_char));
    error_char_->setText(QString::fromStdString(o.error_char));
    event_char_->setText(QString::fromStdString(o.event_char));
    null_stripping_->setChecked(o.null_stripping);
    error_replace_->setChecked(o.error_replace);
}

void AdvancedOptionsDialog::OnFlowControl(int index) {
    AdvancedOptions o = Options();
    ApplyFlowControlPreset(o, index);
    ShowOptions(o);
}

void AdvancedOptionsDialog::OnOk() {
    StoreAdvancedOptions(Options(), dcb_, timeouts_);
    accept();
}

}  // namespace porvane::serial
