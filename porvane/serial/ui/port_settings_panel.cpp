#include "porvane/serial/ui/port_settings_panel.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

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
