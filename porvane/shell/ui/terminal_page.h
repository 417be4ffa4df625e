#pragma once

#include "porvane/widgets/page_base.h"

namespace porvane::serial {
class PortSettingsPanel;
}
namespace porvane::terminal {
class ReceivePanel;
class ReceiveView;
class SendPanel;
}  // namespace porvane::terminal

namespace porvane::shell {

class StatusStrip;

// "串口调试 (Debuger)": settings panel and receive panel on the left, the receive view to their
// right, the send panel and the status strip along the bottom. It routes every notification of
// its members to the one that serves it.
class TerminalPage : public widgets::PageBase {
    Q_OBJECT
  public:
    explicit TerminalPage(QWidget* parent = nullptr);
    ~TerminalPage() override;

    serial::PortSettingsPanel* settings_panel() const { return settings_panel_; }
    StatusStrip* status_strip() const { return strip_; }
    terminal::ReceivePanel* receive_panel() const { return receive_panel_; }
    terminal::SendPanel* send_panel() const { return send_panel_; }
    terminal::ReceiveView* receive_view() const { return view_; }

  protected:
    intptr_t Route(uint32_t code, void* data) override;

  private:
    serial::PortSettingsPanel* settings_panel_;
    StatusStrip* strip_;
    terminal::ReceivePanel* receive_panel_;
    terminal::SendPanel* send_panel_;
    terminal::ReceiveView* view_;
};

}  // namespace porvane::shell
