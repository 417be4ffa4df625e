#include "porvane/serial/ui/port_combo.h"

#include <QComboBox>
#include <QCoreApplication>

#include "porvane/serial/port_list_fill.h"
#include "porvane/serial/ui/port_list_follower.h"
#include "porvane/widgets/page_base.h"

namespace porvane::serial {
namespace {

class ComboTarget : public PortListTarget, public DiscoveryUi {
  public:
    ComboTarget(QComboBox* combo, QWidget* owner) : combo_(combo), owner_(owner) {}
    void AddString(const std::string& text) override {
        combo_->addItem(QString::fromStdString(text));
    }
    int Count() const override { return combo_->count(); }
    void ShowMessage(const std::string& text) override {
        widgets::ShowProgramMessage(owner_, QString::fromStdString(text));
    }
    void RequestQuit(int exit_code) override {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [exit_code] { QCoreApplication::exit(exit_code); },
            Qt::QueuedConnection);
    }

  private:
    QComboBox* combo_;
    QWidget* owner_;
};

}  // namespace

PortListFollower* FillPortCombo(QComboBox* combo, QWidget* owner) {
    // Following starts before the map is read, so that a port that comes or goes meanwhile
    // still reaches the list.
    auto* follower = new PortListFollower(combo);
    ComboTarget target(combo, owner);
    PortListFill(target, target);
    combo->setCurrentIndex(combo->count() > 0 ? 0 : -1);
    follower->RefreshToolTips();
    return follower;
}

}  // namespace porvane::serial
