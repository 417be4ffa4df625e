#pragma once

#include <QObject>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QSocketNotifier;

namespace devicemap {
class PortWatcher;
}

namespace porvane::serial {

// Keeps a port list in step with the device map as adapters come and go. The map's watcher
// wakes it through a socket notifier on the watcher's descriptor; then the entries of departed
// ports are taken out and those of arrived ports put in at their place in discovery order, and
// the selected entry stays selected while its port exists. Each entry's tool tip tells what the
// system knows of the port; it is read again when the user points at the list, since the
// process holding a port changes.
class PortListFollower : public QObject {
    Q_OBJECT
  public:
    // Starts following the map for combo and becomes its child. Without a watcher (none could
    // be started) the list stays as it is.
    explicit PortListFollower(QComboBox* combo);
    ~PortListFollower() override;

    bool following() const { return watcher_ != nullptr; }
    // Reads every entry's identity again and sets its tool tip.
    void RefreshToolTips();
    // Brings the list to names (the map's listed ports now), keeping the selection when it is
    // still listed; returns the names that were not listed before.
    QStringList Apply(const std::vector<std::string>& names);

  signals:
    // The list changed after a change of the map; arrived names the ports put in.
    void PortsChanged(const QStringList& arrived);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void OnMapChanged();

    QComboBox* combo_;
    QObject* view_;  // the list's view, shown when the list opens
    std::unique_ptr<devicemap::PortWatcher> watcher_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace porvane::serial
