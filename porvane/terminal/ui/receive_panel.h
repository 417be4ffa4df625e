#pragma once

#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "platform/devicemap/port_identity.h"

#include "porvane/serial/page_notify.h"
#include "porvane/serial/page_window.h"
#include "porvane/serial/serial_channel.h"

class QCheckBox;
class QFileSystemWatcher;
class QLabel;
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
    // closes the port, which also ends a file transfer, and says so once. The panel then waits
    // for the same adapter to come back.
    void PortVanished();
    // PN_PORTS_ARRIVED: when one of ports is the vanished port come back (the same adapter),
    // has the settings panel select it and says that one click on "打开串口" reopens it with
    // the settings kept.
    void PortsArrived(const std::vector<std::string>& ports);
    // Whether the panel waits for a vanished port to come back.
    bool awaiting_return() const { return awaiting_return_; }

    bool open() const { return open_flag_ != 0; }
    serial::SerialChannel& channel() { return channel_; }

  private:
    void OnOpenClose();
    // A virtual port (a path) that vanished may come back on the same path with the device map
    // unchanged: its folder is watched until the path leads to a device again.
    void WatchForPathReturn();
    void StopWatchingForPathReturn();
    // The DTR and RTS switches follow the open port's lines, and are off and disabled when the
    // port is closed or has no modem lines (a pseudo-terminal).
    void ShowModemLines();
    void OnModemSwitch(comm::Escape set, comm::Escape clear, QCheckBox* box);
    void OnBreak();
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
    QLabel* status_;  // says a port vanished and when it is back
    QCheckBox* dtr_;
    QCheckBox* rts_;
    QPushButton* break_;
    // The port opened last, with its identity read while it was there, for knowing it again.
    std::string opened_port_;
    std::optional<devicemap::PortIdentity> opened_identity_;
    bool awaiting_return_ = false;
    QFileSystemWatcher* path_watch_ = nullptr;  // while a vanished path is awaited
};

}  // namespace porvane::terminal
