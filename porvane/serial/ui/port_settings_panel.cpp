#include "porvane/serial/ui/port_settings_panel.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "porvane/serial/page_notify.h"
#include "porvane/serial/port_list_fill.h"
#include "porvane/serial/port_settings_lists.h"
#include "porvane/serial/ui/advanced_options_dialog.h"
#include "porvane/serial/ui/port_combo.h"
#include "porvane/serial/ui/port_list_follower.h"
#include "porvane/widgets/page_base.h"

namespace porvane::serial {
namespace {

template <size_t N>
QComboBox* FixedList(const QString& name, const std::array<const char*, N>& entries, int selected) {
    auto* combo = new QComboBox;
    combo->setObjectName(name);
    for (const char* entry : entries)
        combo->addItem(QString::fromUtf8(entry));
    combo->setCurrentIndex(selected);
    return combo;
}

}  // namespace

PortSettingsPanel::PortSettingsPanel(PageWindow& page, QWidget* parent)
    : QWidget(parent), page_(page) {
    port_ = new QComboBox;
    port_->setObjectName("portCombo");
    PortListFollower* follower = FillPortCombo(port_, this);
    std::vector<std::string> ports;
    for (int i = 0; i < port_->count(); ++i)
        ports.push_back(port_->itemText(i).toStdString());
    model_ = std::make_unique<PortSettingsModel>(page, ports);
    port_->setCurrentIndex(model_->port_index());

    baud_ = FixedList("baudCombo", kBaudEntries, kDefaultBaudIndex);
    baud_->setEditable(true);
    baud_->setInsertPolicy(QComboBox::NoInsert);
    baud_->lineEdit()->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[1-9][0-9]{0,6}")), baud_));
    // The list's entries must not complete a typed rate: "12" would become 1200 unasked.
    baud_->setCompleter(nullptr);
    baud_->setToolTip(QString::fromUtf8("可以输入列表以外的波特率, 按回车生效"));
    data_bits_ = FixedList("dataBitsCombo", kDataBitsEntries, kDefaultDataBitsIndex);
    parity_ = FixedList("parityCombo", kParityEntries, kDefaultParityIndex);
    stop_bits_ = FixedList("stopBitsCombo", kStopBitsEntries, kDefaultStopBitsIndex);
    advanced_ = new QPushButton(QString::fromUtf8("高级选项"));
    advanced_->setObjectName("advancedButton");

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    const char* labels[] = {"串口", "波特率", "数据位", "校验位", "停止位"};
    QComboBox* combos[] = {port_, baud_, data_bits_, parity_, stop_bits_};
    for (int row = 0; row < 5; ++row) {
        layout->addWidget(new QLabel(QString::fromUtf8(labels[row])), row, 0);
        layout->addWidget(combos[row], row, 1);
    }
    layout->addWidget(advanced_, 5, 0, 1, 2);

    connect(port_, &QComboBox::currentIndexChanged, this, [this](int i) { model_->SelectPort(i); });
    connect(baud_, &QComboBox::currentIndexChanged, this, [this](int i) { model_->SelectBaud(i); });
    connect(data_bits_, &QComboBox::currentIndexChanged, this,
            [this](int i) { model_->SelectDataBits(i); });
    connect(parity_, &QComboBox::currentIndexChanged, this,
            [this](int i) { model_->SelectParity(i); });
    connect(stop_bits_, &QComboBox::currentIndexChanged, this,
            [this](int i) { model_->SelectStopBits(i); });
    connect(advanced_, &QPushButton::clicked, this, &PortSettingsPanel::OnAdvancedOptions);
    connect(baud_->lineEdit(), &QLineEdit::editingFinished, this, &PortSettingsPanel::OnBaudTyped);
    connect(follower, &PortListFollower::PortsChanged, this, &PortSettingsPanel::OnPortsChanged);
}

void PortSettingsPanel::OnPortsChanged(const QStringList& arrived) {
    std::vector<std::string> ports;
    for (int i = 0; i < port_->count(); ++i)
        ports.push_back(port_->itemText(i).toStdString());
    model_->SetPorts(std::move(ports), port_->currentIndex());
    if (arrived.isEmpty())
        return;
    std::vector<std::string> names;
    for (const QString& name : arrived)
        names.push_back(name.toStdString());
    page_.PageNotify(PN_PORTS_ARRIVED, &names);
}

void PortSettingsPanel::OnBaudTyped() {
    const QString typed = baud_->currentText();
    const int listed = baud_->findText(typed, Qt::MatchExactly);
    if (listed >= 0) {
        if (listed != baud_->currentIndex())
            baud_->setCurrentIndex(listed);  // a list entry typed: chosen as from the list
        return;
    }
    // The range the command line takes too: below 50 or above 4,000,000 no port runs.
    constexpr uint32_t kLeastBaud = 50;
    constexpr uint32_t kMostBaud = 4'000'000;
    const uint32_t baud = typed.toUInt();
    if (baud < kLeastBaud || baud > kMostBaud) {
        // The box shows the rate in use again before the message takes the focus (which ends
        // the editing once more), and the message says why.
        baud_->setEditText(QString::number(model_->record().dcb.BaudRate));
        page_.ShowMessage(QString::fromUtf8("波特率 %1 无效: 请输入 %2 到 %3 之间的整数")
                              .arg(typed)
                              .arg(kLeastBaud)
                              .arg(kMostBaud)
                              .toStdString());
        return;
    }
    if (baud == model_->record().dcb.BaudRate && model_->baud_index() < 0)
        return;
    const QSignalBlocker block(baud_);
    baud_->setCurrentIndex(-1);
    baud_->setEditText(typed);
    model_->TypeBaud(baud);
}

void PortSettingsPanel::SelectPort(const std::string& port) {
    const int index = port_->findText(QString::fromStdString(port), Qt::MatchExactly);
    if (index < 0 || !port_->isEnabled())
        return;
    port_->setCurrentIndex(index);
    model_->SelectPort(index);
}

PortSettingsPanel::~PortSettingsPanel() = default;

void PortSettingsPanel::FillSettings(LineSettings* out) {
    model_->SelectPort(port_->currentIndex());
    model_->FillSettings(out);
}

void PortSettingsPanel::SetPortState(uint32_t open_flag) {
    model_->SetPortState(open_flag);
    port_->setEnabled(model_->port_list_enabled());
}

void PortSettingsPanel::OnAdvancedOptions() {
    AdvancedOptionsDialog dialog(this, &model_->dcb(), &model_->timeouts());
    dialog.setObjectName("advancedOptionsDialog");
    dialog.exec();
    model_->AdvancedOptionsClosed();
}

}  // namespace porvane::serial
