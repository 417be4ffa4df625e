#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

#include "porvane/serial/page_notify.h"
#include "porvane/terminal/receive_store.h"
#include "porvane/terminal/receive_text.h"

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

  private:
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
};

}  // namespace porvane::terminal
