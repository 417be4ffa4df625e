#include "porvane/terminal/ui/receive_view.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/text/gbk.h"

namespace porvane::terminal {
namespace {

// A block that continues its predecessor's line: a piece boundary, not a line break.
constexpr int kSoftBreak = 1;
// Text is inserted in pieces of this many characters, so that no block grows so long that
// laying it out again on every arrival stalls the window.
constexpr int kPieceChars = 4096;
// Arrivals are shown at most this often.
constexpr int kFlushMs = 30;

}  // namespace

ReceiveView::ReceiveView(QWidget* parent) : QWidget(parent) {
    field_ = new QPlainTextEdit(this);
    field_->setObjectName("viewText");
    field_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    field_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    field_->setUndoRedoEnabled(false);
    field_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    flush_timer_ = new QTimer(this);
    flush_timer_->setSingleShot(true);
    flush_timer_->setInterval(kFlushMs);
    connect(flush_timer_, &QTimer::timeout, this, &ReceiveView::Flush);
    connect(field_->document(), &QTextDocument::contentsChanged, this, [this] {
        if (!inserting_)
            CountSoftBreaks();  // the user edited the field
    });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 5, 0, 3);
    layout->addWidget(field_);
}

size_t ReceiveView::TextLength() {
    if (clear_pending_) {
        return pending_length_;
    }
    const QTextDocument* doc = field_->document();
    const size_t characters = static_cast<size_t>(doc->characterCount() - 1) - soft_breaks_;
    const size_t real_breaks = static_cast<size_t>(doc->blockCount() - 1) - soft_breaks_;
    return characters + real_breaks + pending_length_;
}

void ReceiveView::ShowReceived(const uint8_t* bytes, uint32_t count) {
    if (count == 0) {
        return;
    }
    const std::span<const uint8_t> block(bytes, count);
    handed_checksum_ = ReceiveChecksum(block, handed_checksum_);
    handed_count_ += count;
    const std::string text = renderer_.Render(block, hex_);
    // While the display is stopped, arrivals are kept but not shown; "重新显示" shows them.
    if (!stopped_) {
        const ViewUpdate update = renderer_.ForView(text, TextLength());
        const QString shown =
            QString::fromUtf8(update.text.data(), static_cast<qsizetype>(update.text.size()));
        if (update.overflow) {
            clear_pending_ = true;
            pending_ = shown;
            pending_length_ = update.counted_length;
            store_.Clear();
        } else {
            pending_ += shown;
            pending_length_ += update.counted_length;
        }
        if (!flush_timer_->isActive()) {
            flush_timer_->start();
        }
    }
    store_.Append(block);
}

void ReceiveView::Flush() {
    flush_timer_->stop();
    if (!clear_pending_ && pending_.isEmpty()) {
        return;
    }
    inserting_ = true;
    if (clear_pending_) {
        field_->clear();
        soft_breaks_ = 0;
        clear_pending_ = false;
    }
    InsertText(pending_);
    pending_.clear();
    pending_length_ = 0;
    field_->moveCursor(QTextCursor::End);
    field_->ensureCursorVisible();
    inserting_ = false;
}

void ReceiveView::InsertText(const QString& text) {
    QTextCursor cursor(field_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    int at = 0;
    while (at < text.size()) {
        int length = std::min<int>(kPieceChars, static_cast<int>(text.size()) - at);
        if (at + length < text.size() && text[at + length - 1].isHighSurrogate()) {
            ++length;
        }
        if (field_->document()->lastBlock().length() > kPieceChars) {
            cursor.insertBlock();
            cursor.block().setUserState(kSoftBreak);
            ++soft_breaks_;
        }
        cursor.insertText(text.mid(at, length));
        at += length;
    }
    cursor.endEditBlock();
}

void ReceiveView::SetWholeText(const QString& text) {
    inserting_ = true;
    field_->clear();
    soft_breaks_ = 0;
    InsertText(text);
    inserting_ = false;
}

void ReceiveView::CountSoftBreaks() {
    size_t count = 0;
    for (QTextBlock b = field_->document()->begin(); b.isValid(); b = b.next()) {
        if (b.userState() == kSoftBreak && b != field_->document()->begin())
            ++count;
    }
    soft_breaks_ = count;
}

void ReceiveView::Clear() {
    flush_timer_->stop();
    pending_.clear();
    pending_length_ = 0;
    clear_pending_ = false;
    inserting_ = true;
    field_->clear();
    inserting_ = false;
    soft_breaks_ = 0;
    store_.Clear();
    renderer_.Reset();
}

void ReceiveView::Redisplay() {
    Flush();
    const int first_visible = field_->verticalScrollBar()->value();
    if (store_.size() == 0) {
        return;
    }
    const std::string text = renderer_.RenderAllForView(store_.bytes(), hex_);
    SetWholeText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    field_->verticalScrollBar()->setValue(first_visible);
}

QString ReceiveView::Text() {
    Flush();
    QString out;
    for (QTextBlock b = field_->document()->begin(); b.isValid(); b = b.next()) {
        if (b != field_->document()->begin() && b.userState() != kSoftBreak) {
            out += QStringLiteral("\r\n");
        }
        out += b.text();
    }
    return out;
}

void ReceiveView::GetViewText(serial::TextBlock* block) {
    const QByteArray utf8 = Text().toUtf8();
    view_text_ =
        text::Utf8ToGbk(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
    if (block != nullptr) {
        block->text = view_text_.data();
        block->length = static_cast<uint32_t>(view_text_.size());
    }
}

}  // namespace porvane::terminal
