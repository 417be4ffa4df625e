#include "porvane/terminal/ui/receive_view.h"

#include <QAction>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "platform/text/gbk.h"
#include "porvane/terminal/ui/receive_field.h"
#include "porvane/widgets/page_base.h"

namespace porvane::terminal {
namespace {

// Arrivals are shown at most this often.
constexpr int kFlushMs = 30;

std::string TimeStamp() {
    return QTime::currentTime().toString(QStringLiteral("[hh:mm:ss.zzz] ")).toStdString();
}

bool EndsLine(const std::string& text) {
    return !text.empty() && (text.back() == '\n' || text.back() == '\r');
}

// The find field: Escape closes the bar, Enter goes to the next match.
class FindField : public QLineEdit {
  public:
    using QLineEdit::QLineEdit;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            parentWidget()->hide();
            clear();
            return;
        }
        QLineEdit::keyPressEvent(event);
    }
};

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

    stamp_action_ = new QAction(QString::fromUtf8("显示时间戳"), this);
    stamp_action_->setObjectName("timeStampAction");
    stamp_action_->setCheckable(true);
    find_action_ = new QAction(QString::fromUtf8("查找..."), this);
    find_action_->setObjectName("findAction");
    find_action_->setShortcut(QKeySequence::Find);
    find_action_->setShortcutContext(Qt::WidgetWithChildrenShortcut);  // on the page's widgets
    log_action_ = new QAction(QString::fromUtf8("记录到文件..."), this);
    log_action_->setObjectName("logAction");
    log_action_->setCheckable(true);
    log_sent_action_ = new QAction(QString::fromUtf8("记录中包括发送的数据"), this);
    log_sent_action_->setObjectName("logSentAction");
    log_sent_action_->setCheckable(true);
    field_->setContextMenuPolicy(Qt::CustomContextMenu);

    find_bar_ = new QWidget;
    find_bar_->setObjectName("findBar");
    find_field_ = new FindField(find_bar_);
    find_field_->setObjectName("findField");
    find_field_->setClearButtonEnabled(true);
    find_count_ = new QLabel;
    find_count_->setObjectName("findCount");
    // A glyph's antialiasing reaches a pixel past its outline, and the label ends at the view's
    // edge: room either side keeps the last stroke of "处" from being cut.
    find_count_->setContentsMargins(2, 0, 2, 0);
    auto* find_row = new QHBoxLayout(find_bar_);
    find_row->setContentsMargins(0, 2, 0, 0);
    find_row->addWidget(new QLabel(QString::fromUtf8("查找:")));
    find_row->addWidget(find_field_, 1);
    find_row->addWidget(find_count_);
    find_bar_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 5, 0, 3);
    layout->setSpacing(0);
    layout->addWidget(field_);
    layout->addWidget(find_bar_);

    connect(field_, &QWidget::customContextMenuRequested, this, &ReceiveView::ShowContextMenu);
    connect(stamp_action_, &QAction::toggled, this, &ReceiveView::SetTimeStamps);
    connect(find_action_, &QAction::triggered, this, &ReceiveView::ShowFindBar);
    connect(log_action_, &QAction::toggled, this, &ReceiveView::OnLogToggled);
    connect(log_sent_action_, &QAction::toggled, this, &ReceiveView::SetLogSent);
    connect(find_field_, &QLineEdit::textChanged, this, [this] {
        Highlight();
        field_->moveCursor(QTextCursor::Start);
        FindNext();
    });
    connect(find_field_, &QLineEdit::returnPressed, this, &ReceiveView::FindNext);
}

void ReceiveView::ShowContextMenu(const QPoint& at) {
    std::unique_ptr<QMenu> menu(field_->createStandardContextMenu());
    menu->setObjectName("receiveContextMenu");
    menu->addSeparator();
    menu->addAction(stamp_action_);
    menu->addAction(find_action_);
    menu->addSeparator();
    menu->addAction(log_action_);
    menu->addAction(log_sent_action_);
    menu->exec(field_->mapToGlobal(at));
}

void ReceiveView::SetTimeStamps(bool on) {
    time_stamps_ = on;
    const QSignalBlocker block(stamp_action_);
    stamp_action_->setChecked(on);
}

void ReceiveView::ShowFindBar() {
    find_bar_->show();
    find_field_->setFocus();
    find_field_->selectAll();
    Highlight();
    if (match_count_ > 0 && !field_->textCursor().hasSelection())
        FindNext();
}

// Every match of the find text gets a yellow background; the count says how many there are.
void ReceiveView::Highlight() {
    const QString wanted = find_field_->text();
    QList<QTextEdit::ExtraSelection> marks;
    if (!wanted.isEmpty() && find_bar_->isVisible()) {
        QTextCursor at(field_->document());
        while (!(at = field_->document()->find(wanted, at)).isNull()) {
            QTextEdit::ExtraSelection mark;
            mark.cursor = at;
            mark.format.setBackground(QColor(255, 230, 0));
            marks << mark;
        }
    }
    match_count_ = static_cast<int>(marks.size());
    find_count_->setText(wanted.isEmpty() ? QString()
                                          : QString::fromUtf8("%1 处").arg(match_count_));
    field_->setExtraSelections(marks);
}

// Selects the next match after the cursor (from the top after the last one) and shows it.
void ReceiveView::FindNext() {
    const QString wanted = find_field_->text();
    if (wanted.isEmpty())
        return;
    QTextCursor next = field_->document()->find(wanted, field_->textCursor());
    if (next.isNull())
        next = field_->document()->find(wanted, QTextCursor(field_->document()));
    if (next.isNull())
        return;
    field_->setTextCursor(next);
    field_->ensureCursorVisible();
}

void ReceiveView::OnLogToggled(bool on) {
    if (!on) {
        StopLog();
        return;
    }
    QFileDialog dialog(this, QString::fromUtf8("记录到文件"), QString(),
                       QStringLiteral("Text Files (*.txt);;All Files (*)"));
    dialog.setObjectName("logFileDialog");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);  // the log is appended to
    const bool chosen = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    if (!chosen || !StartLog(dialog.selectedFiles().front())) {
        if (chosen)
            widgets::ShowProgramMessage(this, QString::fromUtf8("文件打开失败!"));
        const QSignalBlocker block(log_action_);
        log_action_->setChecked(false);
    }
}

bool ReceiveView::StartLog(const QString& path) {
    StopLog();
    log_.setFileName(path);
    if (!log_.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    log_at_line_start_ = log_.size() == 0;
    const QSignalBlocker block(log_action_);
    log_action_->setChecked(true);
    log_action_->setToolTip(path);
    return true;
}

void ReceiveView::StopLog() {
    if (log_.isOpen())
        log_.close();
    const QSignalBlocker block(log_action_);
    log_action_->setChecked(false);
}

void ReceiveView::WriteLog(const std::string& utf8) {
    if (!log_.isOpen() || utf8.empty())
        return;
    const std::string gbk = text::Utf8ToGbk(utf8);
    log_.write(gbk.data(), static_cast<qint64>(gbk.size()));
    log_.flush();  // a log is read while it grows (tail -f)
    log_at_line_start_ = EndsLine(utf8);
}

void ReceiveView::LogSent(const uint8_t* bytes, uint32_t count) {
    if (!log_.isOpen() || !log_sent_ || count == 0)
        return;
    const std::string text = ReceiveTextRenderer::RenderAll(std::span(bytes, count), hex_);
    WriteLog(std::string(log_at_line_start_ ? "" : "\r\n") + "[发送] " + text +
             (EndsLine(text) ? "" : "\r\n"));
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
    std::string text = renderer_.Render(block, hex_);
    if (log_.isOpen()) {
        WriteLog((time_stamps_ && !text.empty()
                      ? std::string(log_at_line_start_ ? "" : "\r\n") + TimeStamp()
                      : std::string()) +
                 text);
    }
    if (time_stamps_ && !text.empty())
        text = (at_line_start_ ? std::string() : std::string("\n")) + TimeStamp() + text;
    if (!text.empty())
        at_line_start_ = EndsLine(text);
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
    if (find_bar_->isVisible())
        Highlight();
}

void ReceiveView::Clear() {
    flush_timer_->stop();
    pending_.clear();
    pending_length_ = 0;
    clear_pending_ = false;
    field_->ClearText();
    store_.Clear();
    renderer_.Reset();
    at_line_start_ = true;
    Highlight();
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
