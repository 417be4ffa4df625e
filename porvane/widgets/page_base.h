#pragma once

#include <QWidget>

#include "platform/threading/notification_bridge.h"
#include "porvane/serial/page_window.h"

namespace porvane::widgets {

// A tab page: receives the page notifications of its panels and channels and routes each code
// to the member that serves it. Notifications from worker threads run on the user-interface
// thread while the worker waits; messages are modal boxes owned by the page.
class PageBase : public QWidget, public serial::PageWindow {
    Q_OBJECT
  public:
    explicit PageBase(QWidget* parent = nullptr);

    intptr_t PageNotify(uint32_t code, void* data) final;
    void ShowMessage(const std::string& text) override;
    void PumpNotifications() override { bridge_.Pump(); }

  protected:
    // Runs on the user-interface thread.
    virtual intptr_t Route(uint32_t code, void* data) = 0;

  private:
    threading::NotificationBridge bridge_;
};

// A modal message box with the program's name as caption; text is UTF-8.
void ShowProgramMessage(QWidget* owner, const QString& text);

}  // namespace porvane::widgets
