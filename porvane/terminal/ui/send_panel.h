#pragma once

#include <QWidget>
#include <memory>

#include "porvane/serial/page_window.h"
#include "porvane/terminal/file_sender.h"
#include "porvane/terminal/send_line.h"

class QActionGroup;
class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTimer;

namespace porvane::terminal {

class TextProgressBar;

// The bottom band of the terminal page: sends the typed text (as text or hex), once or
// periodically, and whole files in chunks paced by the port's transmit-empty reports.
class SendPanel : public QWidget {
    Q_OBJECT
  public:
    SendPanel(serial::PageWindow& page, QWidget* parent);
    ~SendPanel() override;

    // Served for the page.
    void SetPortState(uint32_t open_flag);  // PN_PORT_STATE
    void SendEmpty();                       // PN_SEND_EMPTY
    // Ends a transfer and waits for its worker (the page calls this before it goes away).
    void Shutdown();

    void SendText();  // "发送" and each tick of the period
    bool transferring() const { return transferring_; }
    // The send box's context menu sets what Enter does and offers the texts sent before.
    EnterKey enter_key() const { return enter_; }
    const SendHistory& history() const { return history_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    TextProgressBar* progress() const { return progress_; }

  private:
    // Sends the box's text, with line_end after it.
    void Send(EnterKey line_end);
    void ShowContextMenu(const QPoint& at);
    void OnPeriodic(bool checked);
    void OnChooseFile();
    void OnSendFile();
    void OnTransferStarted(uint64_t length);
    void OnTransferProgress(uint64_t offset);
    void OnTransferFinished();

    serial::PageWindow& page_;
    uint32_t open_flag_ = 0;
    bool transferring_ = false;  // the file button reads "停止发送"
    QPushButton* send_;
    QCheckBox* hex_;
    QPlainTextEdit* text_;
    QCheckBox* periodic_;
    QLineEdit* period_;
    QPushButton* send_file_;
    QLineEdit* file_;
    TextProgressBar* progress_;
    QStackedWidget* file_or_progress_;
    QTimer* timer_;
    std::unique_ptr<FileSender> sender_;
    EnterKey enter_ = EnterKey::kNewLine;
    QActionGroup* enter_actions_;
    SendHistory history_;
};

}  // namespace porvane::terminal
