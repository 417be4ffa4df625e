#pragma once

#include <QFile>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

#include "porvane/serial/page_notify.h"
#include "porvane/terminal/receive_store.h"
#include "porvane/terminal/receive_text.h"

class QAction;
class QLabel;
class QLineEdit;
class QTimer;

namespace porvane::terminal {

class ReceiveField;

// The received bytes as text or hex in an editable field, with every byte kept for
// "重新显示". Arrivals are shown in batches (a few times a second at most), into a ReceiveField,
// which holds long lines in pieces so that a fast line never stalls the window and shows them
// without a break; what the field holds, read back, is exactly the text shown.
class ReceiveView : public QWidget {
    Q_OBJECT
  public:
    explicit ReceiveView(QWidget* parent = nullptr);

    // The page's requests.
    void ShowReceived(const uint8_t* bytes, uint32_t count);  // PN_RECV_DATA
    void SetHex(bool hex) { hex_ = hex; }                     // PN_HEX_VIEW
    void SetStopped(bool stopped) { stopped_ = stopped; }     // PN_STOP_VIEW
    void Clear();                                             // PN_CLEAR_VIEW
    void Redisplay();                                         // PN_REDISPLAY
    void GetViewText(serial::TextBlock* block);               // PN_GET_VIEW_TEXT (GBK bytes)

    // The field's text (UTF-8) as it stands, line breaks as CR LF.
    QString Text();
    // Text length as the limit rule counts it.
    size_t TextLength();
    const ReceiveStore& store() const { return store_; }
    ReceiveField* field() const { return field_; }

    // Every byte handed to the view, counted and checksummed (ReceiveChecksum), for benchmarks.
    uint64_t handed_count() const { return handed_count_; }
    uint64_t handed_checksum() const { return handed_checksum_; }

    // Shows what waits at once (normally a short timer does).
    void Flush();

    // The field's context menu adds, beside the usual edit entries: time stamps on received
    // bursts, search (also Ctrl+F on the page) and a log file.
    //
    // Time stamps: each arrival begins a line with "[hh:mm:ss.zzz] " (display only: "重新显示"
    // shows the kept bytes without them).
    void SetTimeStamps(bool on);
    bool time_stamps() const { return time_stamps_; }
    // Search: shows the find bar under the field; every match of its text is highlighted.
    void ShowFindBar();
    int match_count() const { return match_count_; }
    // Log file: from StartLog on, everything received is appended to the file as the view
    // renders it (GBK; text or hex, with the time stamps when they are on), whether the display
    // is stopped or not; with sent data included, each block sent is a line of its own that
    // begins with "[发送] ". False (and nothing logs) when the file cannot be opened.
    bool StartLog(const QString& path);
    void StopLog();
    bool logging() const { return log_.isOpen(); }
    void SetLogSent(bool on) { log_sent_ = on; }
    // A block the page sent (PN_SEND_DATA), for the log.
    void LogSent(const uint8_t* bytes, uint32_t count);
    QAction* find_action() const { return find_action_; }

  private:
    void ShowContextMenu(const QPoint& at);
    void OnLogToggled(bool on);
    // Marks and counts every match; FindNext selects and shows the next one.
    void Highlight();
    void FindNext();
    void WriteLog(const std::string& utf8);

    ReceiveField* field_;
    QTimer* flush_timer_;
    ReceiveStore store_;
    ReceiveTextRenderer renderer_;
    bool hex_ = false;
    bool stopped_ = false;
    QString pending_;             // shown at the next flush
    size_t pending_length_ = 0;   // its length as the limit rule counts it
    bool clear_pending_ = false;  // the limit rule emptied the field before pending_
    std::string view_text_;       // the last text handed out by PN_GET_VIEW_TEXT
    uint64_t handed_count_ = 0;
    uint64_t handed_checksum_ = kChecksumStart;

    bool time_stamps_ = false;
    bool at_line_start_ = true;  // the last text shown ended a line (or nothing was shown)
    QAction* stamp_action_;
    QAction* find_action_;
    QAction* log_action_;
    QAction* log_sent_action_;
    QWidget* find_bar_;
    QLineEdit* find_field_;
    QLabel* find_count_;
    int match_count_ = 0;
    QFile log_;
    bool log_sent_ = false;
    bool log_at_line_start_ = true;
};

}  // namespace porvane::terminal
