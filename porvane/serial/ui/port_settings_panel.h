#pragma once

#include <QStringList>
#include <QWidget>
#include <memory>
#include <string>

#include "porvane/serial/line_settings.h"
#include "porvane/serial/page_window.h"
#include "porvane/serial/port_settings_model.h"

class QComboBox;
class QPushButton;

namespace porvane::serial {

// The port, baud, data bits, parity and stop bits lists with "高级选项", at the top left of the
// terminal and tester pages. The port list is filled by port discovery when the panel is made
// and follows the ports as they come and go; the page hears of arrivals (PN_PORTS_ARRIVED).
class PortSettingsPanel : public QWidget {
    Q_OBJECT
  public:
    PortSettingsPanel(PageWindow& page, QWidget* parent);
    ~PortSettingsPanel() override;

    // PN_FILL_SETTINGS and PN_PORT_STATE, served for the page.
    void FillSettings(LineSettings* out);
    void SetPortState(uint32_t open_flag);
    // PN_SELECT_PORT: selects port when it is listed and the list may be changed.
    void SelectPort(const std::string& port);

    const PortSettingsModel& model() const { return *model_; }

  private:
    void OnAdvancedOptions();
    void OnPortsChanged(const QStringList& arrived);
    // The baud box takes a typed rate as well as the list's entries.
    void OnBaudTyped();

    PageWindow& page_;
    std::unique_ptr<PortSettingsModel> model_;
    QComboBox* port_;
    QComboBox* baud_;
    QComboBox* data_bits_;
    QComboBox* parity_;
    QComboBox* stop_bits_;
    QPushButton* advanced_;
};

}  // namespace porvane::serial
