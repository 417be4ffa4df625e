#pragma once

#include <QWidget>

#include "porvane/serial/page_notify.h"
#include "porvane/serial/page_window.h"
#include "porvane/serial/serial_channel.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace porvane::widgets {
class Lamp;
}

namespace porvane::terminal {

inline constexpr char kNoFileSelected[] = "No file selected!";
inline constexpr char kFileOpenFailed[] = "文件打开失败!";

// Opens and closes the terminal page's port, steers the receive view and saves its text.
// It owns the page's serial channel.
class ReceivePanel : public QWidget {
    Q_OBJECT
  public:
    ReceivePanel(serial::PageWindow& page, QWidget* parent);

    // Served for the page.
    void ApplySettings(const serial::LineSettings* settings);  // PN_SETTINGS_CHANGED
    void Write(const serial::DataBlock* block);                // PN_SEND_DATA
    uint8_t ModemControl();                                    // PN_GET_MODEM_CONTROL
    void Statistics(comm::SerialStats* stats);                 // PN_GET_STATISTICS
    // Closes the port (the page calls this before it goes away).
    void ClosePort();
    // The device behind the open port went away (PN_PORT_GONE, run later on this thread):
    // closes the port, which also ends a file transfer, and says so once.
    void PortVanished();

    bool open() const { return open_flag_ != 0; }
    serial::SerialChannel& channel() { return channel_; }

  private:
    void OnOpenClose();
    void OnStopContinue();
    void OnChooseFile();
    void OnSave();

    serial::PageWindow& page_;
    serial::SerialChannel channel_;
    uint32_t stopped_flag_ = 0;
    uint32_t open_flag_ = 0;
    uint32_t hex_flag_ = 0;
    QPushButton* open_;
    QPushButton* stop_;
    QCheckBox* hex_;
    QLineEdit* file_;
    widgets::Lamp* lamp_;
};

}  // namespace porvane::terminal
