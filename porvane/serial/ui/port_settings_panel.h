#pragma once

#include <QWidget>
#include <memory>

#include "porvane/serial/line_settings.h"
#include "porvane/serial/page_window.h"
#include "porvane/serial/port_settings_model.h"

class QComboBox;
class QPushButton;

namespace porvane::serial {

// The port, baud, data bits, parity and stop bits lists with "高级选项", at the top left of the
// terminal and tester pages. The port list is filled by port discovery when the panel is made.
class PortSettingsPanel : public QWidget {
    Q_OBJECT
  public:
    PortSettingsPanel(PageWindow& page, QWidget* parent);
    ~PortSettingsPanel() override;

    // PN_FILL_SETTINGS and PN_PORT_STATE, served for the page.
    void FillSettings(LineSettings* out);
    void SetPortState(uint32_t open_flag);

    const PortSettingsModel& model() const { return *model_; }

  private:
    void OnAdvancedOptions();

    std::unique_ptr<PortSettingsModel> model_;
    QComboBox* port_;
    QComboBox* baud_;
    QComboBox* data_bits_;
    QComboBox* parity_;
    QComboBox* stop_bits_;
    QPushButton* advanced_;
};

}  // namespace porvane::serial
