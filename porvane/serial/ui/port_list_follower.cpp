#include "porvane/serial/ui/port_list_follower.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QSocketNotifier>
#include <algorithm>

#include "platform/devicemap/port_identity.h"
#include "platform/devicemap/port_watcher.h"
#include "porvane/serial/port_list_fill.h"
#include "porvane/serial/port_tool_tip.h"

namespace porvane::serial {

PortListFollower::PortListFollower(QComboBox* combo) : QObject(combo), combo_(combo) {
    std::string error;
    watcher_ = devicemap::PortWatcher::Open(&error);
    if (watcher_) {
        notifier_ = new QSocketNotifier(watcher_->fd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &PortListFollower::OnMapChanged);
    }
    // The list's view is made before the combo is filtered: making it sends the combo events.
    view_ = combo_->view();
    view_->installEventFilter(this);
    combo_->installEventFilter(this);
}

PortListFollower::~PortListFollower() = default;

void PortListFollower::OnMapChanged() {
    if (watcher_->TakeChanges().empty())
        return;
    const QStringList arrived = Apply(ListedPortNames(watcher_->Current()));
    RefreshToolTips();
    emit PortsChanged(arrived);
}

QStringList PortListFollower::Apply(const std::vector<std::string>& names) {
    const QString selected = combo_->currentText();
    const bool had_selection = combo_->currentIndex() >= 0;
    QStringList wanted;
    for (const std::string& name : names)
        wanted << QString::fromStdString(name);
    for (int i = combo_->count() - 1; i >= 0; --i) {
        if (!wanted.contains(combo_->itemText(i)))
            combo_->removeItem(i);
    }
    QStringList arrived;
    for (int i = 0; i < wanted.size(); ++i) {
        if (i < combo_->count() && combo_->itemText(i) == wanted[i])
            continue;
        const int found = combo_->findText(wanted[i], Qt::MatchExactly);
        if (found > i)
            combo_->removeItem(found);  // the map changed its order: the entry moves
        else
            arrived << wanted[i];
        combo_->insertItem(i, wanted[i]);
    }
    const int keep = had_selection ? combo_->findText(selected, Qt::MatchExactly) : -1;
    combo_->setCurrentIndex(keep >= 0 ? keep : combo_->count() > 0 ? 0 : -1);
    return arrived;
}

void PortListFollower::RefreshToolTips() {
    for (int i = 0; i < combo_->count(); ++i) {
        const std::string name = combo_->itemText(i).toStdString();
        const auto identity = devicemap::IdentifyPort(name);
        const QString tip =
            identity ? QString::fromStdString(PortToolTip(*identity)) : combo_->itemText(i);
        combo_->setItemData(i, tip, Qt::ToolTipRole);
    }
    combo_->setToolTip(combo_->currentIndex() >= 0
                           ? combo_->itemData(combo_->currentIndex(), Qt::ToolTipRole).toString()
                           : QString());
}

bool PortListFollower::eventFilter(QObject* watched, QEvent* event) {
    // Pointing at the closed list, or opening it: the identities (and holders) as they are now.
    if ((watched == combo_ && event->type() == QEvent::ToolTip) ||
        (watched == view_ && event->type() == QEvent::Show)) {
        RefreshToolTips();
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace porvane::serial
