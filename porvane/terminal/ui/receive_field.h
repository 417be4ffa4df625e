#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <cstddef>

class QTimer;

namespace porvane::terminal {

// The receive view's text field: editable, lines wrapped at the field's width. A line without
// breaks (all of hex text) is held in pieces of a few thousand characters, one text block each,
// so that appending to it lays out only its last piece, never the whole line. Every piece after
// the first of a line begins exactly where the line wraps in the field, so the pieces show as the
// one line they are; the text read back or copied has no break between them. Pieces that an
// arrival leaves unsettled (a line faster than settling) and all of them after the field's width
// changed move to the wrapping points a few at a time in the background.
class ReceiveField : public QPlainTextEdit {
    Q_OBJECT
  public:
    explicit ReceiveField(QWidget* parent = nullptr);

    // Appends text (line breaks as '\n') at the end, not undoable.
    void Append(const QString& text);
    // Replaces the whole text.
    void SetWholeText(const QString& text);
    void ClearText();

    // The text as shown, the user's edits included, line breaks as CR LF.
    QString Text() const;
    // Its length as the limit rule counts it: characters, a line break counting as two.
    size_t TextLength() const;

    // Whether every piece begins where its line wraps at the field's width now.
    bool PiecesSettled() const;

  protected:
    QMimeData* createMimeDataFromSelection() const override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void InsertPieces(const QString& text);
    // Moves piece boundaries to the wrapping points until all are there (true) or budget_ms
    // have passed (false).
    bool SettleFor(int budget_ms);
    // Settling needs the field's layout at its real width: shown, with a width.
    bool CanSettle() const;
    void SettleLater();
    void OnSettleTimer();
    void OnContentsChange(int position);
    void CountSoftBreaks();

    QTimer* settle_timer_;
    int settled_blocks_ = 1;  // blocks [0, n) begin where a line of the field begins
    size_t soft_breaks_ = 0;  // blocks that continue the line of the block before them
    bool editing_ = false;    // the field's own edits, not the user's
    int settled_width_ = -1;  // the viewport width the pieces were settled at
};

}  // namespace porvane::terminal
