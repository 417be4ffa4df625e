#include "porvane/terminal/ui/receive_field.h"

#include <QAbstractTextDocumentLayout>
#include <QElapsedTimer>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>

namespace porvane::terminal {
namespace {

// A block that continues its predecessor's line: a piece boundary, not a line break.
constexpr int kSoftBreak = 1;
// Text is held in pieces of about this many characters, so that no block grows so long that
// laying it out again on every arrival stalls the window.
constexpr int kPieceChars = 4096;
// Time spent settling pieces right after an arrival: at the rates of serial lines this settles
// all of them, so the rows are right as they come in.
constexpr int kAppendSettleMs = 5;
// What an arrival leaves is settled once arrivals pause this long, a slice at a time, so that
// a line faster than the settling is not slowed by it (its rows settle when it pauses).
constexpr int kQuietMs = 100;
constexpr int kSliceSettleMs = 8;

bool IsSoft(const QTextBlock& block) {
    return block.userState() == kSoftBreak && block.blockNumber() > 0;
}

}  // namespace

ReceiveField::ReceiveField(QWidget* parent) : QPlainTextEdit(parent) {
    settle_timer_ = new QTimer(this);
    settle_timer_->setSingleShot(true);
    connect(settle_timer_, &QTimer::timeout, this, &ReceiveField::OnSettleTimer);
    connect(document(), &QTextDocument::contentsChange, this,
            [this](int position, int, int) { OnContentsChange(position); });
}

void ReceiveField::Append(const QString& text) {
    InsertPieces(text);
    if (!SettleFor(kAppendSettleMs))
        settle_timer_->start(kQuietMs);  // (again) from now
}

void ReceiveField::SetWholeText(const QString& text) {
    ClearText();
    Append(text);
}

void ReceiveField::ClearText() {
    editing_ = true;
    clear();
    editing_ = false;
    soft_breaks_ = 0;
    settled_blocks_ = 1;
}

void ReceiveField::InsertPieces(const QString& text) {
    editing_ = true;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    int at = 0;
    while (at < text.size()) {
        int length = std::min<int>(kPieceChars, static_cast<int>(text.size()) - at);
        if (at + length < text.size() && text[at + length - 1].isHighSurrogate())
            ++length;
        if (document()->lastBlock().length() > kPieceChars) {
            // A new piece; where exactly it begins is settled afterwards.
            cursor.insertBlock();
            cursor.block().setUserState(kSoftBreak);
            ++soft_breaks_;
        }
        cursor.insertText(text.mid(at, length));
        at += length;
    }
    cursor.endEditBlock();
    editing_ = false;
}

bool ReceiveField::CanSettle() const {
    return isVisible() && lineWrapMode() == WidgetWidth && viewport()->width() > 0;
}

bool ReceiveField::PiecesSettled() const {
    return settled_blocks_ >= document()->blockCount();
}

bool ReceiveField::SettleFor(int budget_ms) {
    if (PiecesSettled())
        return true;
    if (!CanSettle())
        return false;  // shown or resized later, it settles then
    settled_width_ = viewport()->width();
    QElapsedTimer clock;
    clock.start();
    QTextDocument* doc = document();
    editing_ = true;
    while (settled_blocks_ < doc->blockCount() && clock.elapsed() < budget_ms) {
        const QTextBlock block = doc->findBlockByNumber(settled_blocks_);
        if (!IsSoft(block)) {
            ++settled_blocks_;  // a line's first block begins where its line does
            continue;
        }
        // The block before begins at a wrapping point, so every line of it but the last is a
        // line of the whole; the last line's start is where this block must begin.
        const QTextBlock before = block.previous();
        doc->documentLayout()->blockBoundingRect(before);  // lays it out at the field's width
        const QTextLayout* lines = before.layout();
        const int last_start =
            lines->lineCount() > 0 ? lines->lineAt(lines->lineCount() - 1).textStart() : 0;
        QTextCursor cursor(doc);
        cursor.beginEditBlock();
        if (last_start == 0) {
            // The block before is one line: the two become one block, which begins where the
            // block before did.
            const int state = before.userState();
            cursor.setPosition(block.position() - 1);
            cursor.deleteChar();
            doc->findBlockByNumber(settled_blocks_ - 1).setUserState(state);
            --soft_breaks_;
        } else {
            cursor.setPosition(before.position() + last_start);
            cursor.setPosition(before.position() + before.length() - 1, QTextCursor::KeepAnchor);
            const QString line = cursor.selectedText();
            cursor.removeSelectedText();
            cursor.setPosition(doc->findBlockByNumber(settled_blocks_).position());
            cursor.insertText(line);
            ++settled_blocks_;
        }
        cursor.endEditBlock();
    }
    editing_ = false;
    return PiecesSettled();
}

void ReceiveField::SettleLater() {
    if (!settle_timer_->isActive())
        settle_timer_->start(0);
}

void ReceiveField::OnSettleTimer() {
    if (!CanSettle())
        return;
    QScrollBar* bar = verticalScrollBar();
    const bool at_end = bar->value() == bar->maximum();
    const bool done = SettleFor(kSliceSettleMs);
    if (at_end)
        bar->setValue(bar->maximum());  // a view that follows the arrivals keeps following
    if (!done)
        settle_timer_->start(0);
}

void ReceiveField::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    if (viewport()->width() != settled_width_ && document()->blockCount() > 1) {
        settled_blocks_ = 1;  // every piece wraps differently now
        SettleLater();
    }
}

void ReceiveField::showEvent(QShowEvent* event) {
    QPlainTextEdit::showEvent(event);
    if (!PiecesSettled())
        SettleLater();
}

void ReceiveField::OnContentsChange(int position) {
    if (editing_)
        return;
    // The user edited the field: pieces from the edited block on are looked at again.
    const int edited = document()->findBlock(position).blockNumber();
    settled_blocks_ = std::clamp(edited, 1, settled_blocks_);
    CountSoftBreaks();
    SettleLater();
}

void ReceiveField::CountSoftBreaks() {
    size_t count = 0;
    for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
        if (IsSoft(b))
            ++count;
    }
    soft_breaks_ = count;
}

QString ReceiveField::Text() const {
    QString out;
    for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
        if (b.blockNumber() > 0 && !IsSoft(b))
            out += QStringLiteral("\r\n");
        out += b.text();
    }
    return out;
}

size_t ReceiveField::TextLength() const {
    const QTextDocument* doc = document();
    const size_t characters = static_cast<size_t>(doc->characterCount() - 1) - soft_breaks_;
    const size_t real_breaks = static_cast<size_t>(doc->blockCount() - 1) - soft_breaks_;
    return characters + real_breaks;
}

QMimeData* ReceiveField::createMimeDataFromSelection() const {
    // What is copied or dragged is the text as it is, without the breaks between pieces.
    const QTextCursor selection = textCursor();
    const int start = selection.selectionStart();
    const int end = selection.selectionEnd();
    QString text;
    for (QTextBlock b = document()->findBlock(start); b.isValid() && b.position() <= end;
         b = b.next()) {
        if (b.position() > start && !IsSoft(b))
            text += QLatin1Char('\n');
        const int from = std::max(start, b.position()) - b.position();
        const int to = std::min(end, b.position() + b.length() - 1) - b.position();
        if (to > from)
            text += b.text().mid(from, to - from);
    }
    auto* data = new QMimeData;
    data->setText(text);
    return data;
}

}  // namespace porvane::terminal
