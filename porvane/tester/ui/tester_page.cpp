#include "porvane/tester/ui/tester_page.h"

#include <QGridLayout>
#include <QVBoxLayout>

#include "porvane/serial/page_notify.h"
#include "porvane/serial/ui/port_settings_panel.h"
#include "porvane/shell/ui/status_strip.h"
#include "porvane/tester/ui/statistics_panel.h"
#include "porvane/tester/ui/tester_panel.h"

namespace porvane::tester {

TesterPage::TesterPage(QWidget* parent) : PageBase(parent) {
    settings_panel_ = new serial::PortSettingsPanel(*this, this);
    strip_ = new shell::StatusStrip(*this, this);
    tester_panel_ = new TesterPanel(*this, this);
    statistics_panel_ = new StatisticsPanel(*this, this);
    // Settings over the tester controls on the left, the statistics to their right, the status
    // strip across the bottom. The layout's minimum keeps every control whole.
    auto* left = new QVBoxLayout;
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(0);
    left->addWidget(settings_panel_);
    left->addWidget(tester_panel_);
    left->addStretch(1);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(left, 0, 0);
    layout->addWidget(statistics_panel_, 0, 1);
    layout->addWidget(strip_, 1, 0, 1, 2);
    layout->setColumnStretch(1, 1);
    layout->setRowStretch(0, 1);
    strip_->SetChartScale(2000, 2000);
}

TesterPage::~TesterPage() {
    tester_panel_->ClosePort();
}

intptr_t TesterPage::Route(uint32_t code, void* data) {
    switch (code) {
        case serial::PN_FILL_SETTINGS:
            settings_panel_->FillSettings(static_cast<serial::LineSettings*>(data));
            break;
        case serial::PN_SETTINGS_CHANGED:
            tester_panel_->ApplySettings(static_cast<const serial::LineSettings*>(data));
            break;
        case serial::PN_PORT_STATE:
            settings_panel_->SetPortState(*static_cast<uint32_t*>(data));
            break;
        case serial::PN_MODEM_STATUS:
            strip_->SetModemStatus(*static_cast<uint32_t*>(data));
            break;
        case serial::PN_GET_MODEM_CONTROL:
            *static_cast<uint8_t*>(data) = tester_panel_->ModemControl();
            break;
        case serial::PN_FETCH_TALLY:
            tester_panel_->FetchTally(static_cast<ReceiveTally*>(data));
            break;
        case serial::PN_TEST_STATE:
            statistics_panel_->SetTesting(*static_cast<uint32_t*>(data) != 0);
            break;
        case serial::PN_GET_STATISTICS:
            tester_panel_->Statistics(static_cast<comm::SerialStats*>(data));
            break;
        case serial::PN_RESYNC:
            tester_panel_->Resynchronise();
            break;
        case serial::PN_SAVE_REPORT:
            statistics_panel_->SaveReport(static_cast<const char*>(data));
            break;
        case serial::PN_PORT_GONE:
            // Closing joins the event thread, which is waiting for this very notification.
            QMetaObject::invokeMethod(
                tester_panel_, [panel = tester_panel_] { panel->PortVanished(); },
                Qt::QueuedConnection);
            break;
        case serial::PN_SET_CHART_SCALE: {
            auto* scale = static_cast<uint32_t*>(data);
            strip_->SetChartScale(scale[0], scale[1]);
            break;
        }
        default:
            break;  // received data, transmit-empty and the terminal's codes are not for this page
    }
    return 0;
}

}  // namespace porvane::tester
