#include "porvane/terminal/ui/receive_view.h"

#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/text/gbk.h"
#include "porvane/terminal/ui/receive_field.h"

namespace porvane::terminal {
namespace {

// Arrivals are shown at most this often.
constexpr int kFlushMs = 30;

}  // namespace

ReceiveView::ReceiveView(QWidget* parent) : QWidget(parent) {
    field_ = new ReceiveField(this);
    field_->setObjectName("viewText");
    field_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    field_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    field_->setUndoRedoEnabled(false);
    field_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    flush_timer_ = new QTimer(this);
    flush_timer_->setSingleShot(true);
    flush_timer_->setInterval(kFlushMs);
    connect(flush_timer_, &QTimer::timeout, this, &ReceiveView::Flush);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 5, 0, 3);
    layout->addWidget(field_);
}

size_t ReceiveView::TextLength() {
    if (clear_pending_) {
        return pending_length_;
    }
    return field_->TextLength() + pending_length_;
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
    if (clear_pending_) {
        field_->ClearText();
        clear_pending_ = false;
    }
    field_->Append(pending_);
    pending_.clear();
    pending_length_ = 0;
    field_->moveCursor(QTextCursor::End);
    field_->ensureCursorVisible();
}

void ReceiveView::Clear() {
    flush_timer_->stop();
    pending_.clear();
    pending_length_ = 0;
    clear_pending_ = false;
    field_->ClearText();
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
    field_->SetWholeText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    field_->verticalScrollBar()->setValue(first_visible);
}

QString ReceiveView::Text() {
    Flush();
    return field_->Text();
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
