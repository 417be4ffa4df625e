#include "porvane/shell/ui/terminal_page.h"

#include <QGridLayout>
#include <QVBoxLayout>

#include "porvane/serial/page_notify.h"
#include "porvane/serial/ui/port_settings_panel.h"
#include "porvane/shell/ui/status_strip.h"
#include "porvane/terminal/ui/receive_panel.h"
#include "porvane/terminal/ui/receive_view.h"
#include "porvane/terminal/ui/send_panel.h"

namespace porvane::shell {

using serial::PageCode;

TerminalPage::TerminalPage(QWidget* parent) : PageBase(parent) {
    settings_panel_ = new serial::PortSettingsPanel(*this, this);
    strip_ = new StatusStrip(*this, this);
    receive_panel_ = new terminal::ReceivePanel(*this, this);
    send_panel_ = new terminal::SendPanel(*this, this);
    view_ = new terminal::ReceiveView(this);
    // Settings over the receive controls on the left, the view to their right, the send band
    // and the status strip across the bottom. The layout's minimum keeps every control whole.
    auto* left = new QVBoxLayout;
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(0);
    left->addWidget(settings_panel_);
    left->addWidget(receive_panel_);
    left->addStretch(1);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(left, 0, 0);
    layout->addWidget(view_, 0, 1);
    layout->addWidget(send_panel_, 1, 0, 1, 2);
    layout->addWidget(strip_, 2, 0, 1, 2);
    layout->setColumnStretch(1, 1);
    layout->setRowStretch(0, 1);
    uint32_t scale[2] = {100, 100};
    Route(serial::PN_SET_CHART_SCALE, scale);
    addAction(view_->find_action());  // Ctrl+F wherever the focus is on the page
}

TerminalPage::~TerminalPage() {
    // The port's event thread and the file sender deliver to this page: stop them while the
    // page is whole.
    send_panel_->Shutdown();
    receive_panel_->ClosePort();
}

intptr_t TerminalPage::Route(uint32_t code, void* data) {
    switch (code) {
        case serial::PN_FILL_SETTINGS:
            settings_panel_->FillSettings(static_cast<serial::LineSettings*>(data));
            break;
        case serial::PN_SETTINGS_CHANGED:
            receive_panel_->ApplySettings(static_cast<const serial::LineSettings*>(data));
            break;
        case serial::PN_PORT_STATE: {
            const uint32_t open = *static_cast<uint32_t*>(data);
            settings_panel_->SetPortState(open);
            send_panel_->SetPortState(open);
            break;
        }
        case serial::PN_MODEM_STATUS:
            strip_->SetModemStatus(*static_cast<uint32_t*>(data));
            break;
        case serial::PN_RECV_DATA: {
            auto* block = static_cast<serial::DataBlock*>(data);
            view_->ShowReceived(block->data, block->count);
            break;
        }
        case serial::PN_SEND_DATA: {
            auto* block = static_cast<serial::DataBlock*>(data);
            receive_panel_->Write(block);
            if (block != nullptr && receive_panel_->open())
                view_->LogSent(block->data, block->count);
            break;
        }
        case serial::PN_HEX_VIEW:
            view_->SetHex(*static_cast<uint32_t*>(data) != 0);
            break;
        case serial::PN_STOP_VIEW:
            view_->SetStopped(*static_cast<uint32_t*>(data) != 0);
            break;
        case serial::PN_CLEAR_VIEW:
            view_->Clear();
            break;
        case serial::PN_SEND_EMPTY:
            send_panel_->SendEmpty();
            break;
        case serial::PN_GET_MODEM_CONTROL:
            *static_cast<uint8_t*>(data) = receive_panel_->ModemControl();
            break;
        case serial::PN_GET_VIEW_TEXT:
            view_->GetViewText(static_cast<serial::TextBlock*>(data));
            break;
        case serial::PN_GET_STATISTICS:
            receive_panel_->Statistics(static_cast<comm::SerialStats*>(data));
            break;
        case serial::PN_SET_CHART_SCALE: {
            auto* scale = static_cast<uint32_t*>(data);
            strip_->SetChartScale(scale[0], scale[1]);
            break;
        }
        case serial::PN_REDISPLAY:
            view_->Redisplay();
            break;
        case serial::PN_PORT_GONE:
            // Closing joins the event thread, which is waiting for this very notification: the
            // panel closes the port once the thread has been let go.
            QMetaObject::invokeMethod(
                receive_panel_, [panel = receive_panel_] { panel->PortVanished(); },
                Qt::QueuedConnection);
            break;
        case serial::PN_PORTS_ARRIVED:
            receive_panel_->PortsArrived(*static_cast<const std::vector<std::string>*>(data));
            break;
        case serial::PN_SELECT_PORT:
            settings_panel_->SelectPort(static_cast<const char*>(data));
            break;
        default:
            break;  // PN_RECV_COUNT and the tester's codes are not for this page
    }
    return 0;
}

}  // namespace porvane::shell
