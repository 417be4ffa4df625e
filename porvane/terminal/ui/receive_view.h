#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

#include "porvane/serial/page_notify.h"
#include "porvane/terminal/receive_store.h"
#include "porvane/terminal/receive_text.h"

class QPlainTextEdit;
class QTimer;

namespace porvane::terminal {

// The received bytes as text or hex in an editable field, with every byte kept for
// "重新显示". Arrivals are shown in batches (a few times a second at most), and long runs of
// text without line breaks are held in pieces of a few thousand characters, so that a fast line
// never stalls the window; what the field holds, read back, is exactly the text shown.
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
    QPlainTextEdit* field() const { return field_; }

    // Every byte handed to the view, counted and checksummed (ReceiveChecksum), for benchmarks.
    uint64_t handed_count() const { return handed_count_; }
    uint64_t handed_checksum() const { return handed_checksum_; }

    // Shows what waits at once (normally a short timer does).
    void Flush();

  private:
    void InsertText(const QString& text);
    void SetWholeText(const QString& text);
    void CountSoftBreaks();

    QPlainTextEdit* field_;
    QTimer* flush_timer_;
    ReceiveStore store_;
    ReceiveTextRenderer renderer_;
    bool hex_ = false;
    bool stopped_ = false;
    QString pending_;             // shown at the next flush
    size_t pending_length_ = 0;   // its length as the limit rule counts it
    bool clear_pending_ = false;  // the limit rule emptied the field before pending_
    bool inserting_ = false;
    size_t soft_breaks_ = 0;  // block boundaries that are not line breaks
    std::string view_text_;   // the last text handed out by PN_GET_VIEW_TEXT
    uint64_t handed_count_ = 0;
    uint64_t handed_checksum_ = kChecksumStart;
};

}  // namespace porvane::terminal
