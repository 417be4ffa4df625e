#include "porvane/terminal/ui/send_panel.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStackedWidget>
#include <QTimer>
#include <memory>

#include "platform/text/gbk.h"
#include "porvane/serial/page_notify.h"
#include "porvane/terminal/file_chunking.h"
#include "porvane/terminal/hex_text_parser.h"
#include "porvane/terminal/ui/receive_panel.h"
#include "porvane/terminal/ui/text_progress_bar.h"
#include "porvane/widgets/page_base.h"

namespace porvane::terminal {

SendPanel::SendPanel(serial::PageWindow& page, QWidget* parent) : QWidget(parent), page_(page) {
    send_ = new QPushButton(QString::fromUtf8("发送"));
    send_->setObjectName("sendButton");
    hex_ = new QCheckBox(QString::fromUtf8("16进制"));
    hex_->setObjectName("sendHexCheck");
    periodic_ = new QCheckBox(QString::fromUtf8("周期发送"));
    periodic_->setObjectName("periodCheck");
    period_ = new QLineEdit(QStringLiteral("1000"));
    period_->setObjectName("periodField");
    period_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), period_));
    period_->setMaximumWidth(60);
    auto* choose = new QPushButton(QString::fromUtf8("选择文件"));
    choose->setObjectName("chooseSendFileButton");
    send_file_ = new QPushButton(QString::fromUtf8("发送文件"));
    send_file_->setObjectName("sendFileButton");
    file_ = new QLineEdit(QString::fromUtf8(kNoFileSelected));
    file_->setObjectName("sendFileField");
    file_->setReadOnly(true);
    progress_ = new TextProgressBar;
    progress_->setObjectName("progressBar");
    file_or_progress_ = new QStackedWidget;  // the bar lies exactly over the file field
    file_or_progress_->addWidget(file_);
    file_or_progress_->addWidget(progress_);
    file_or_progress_->setFixedHeight(file_->sizeHint().height());
    text_ = new QPlainTextEdit;
    text_->setObjectName("sendText");
    text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    timer_ = new QTimer(this);

    auto* box = new QGroupBox;
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->addWidget(send_, 0, 0);
    grid->addWidget(hex_, 0, 1);
    auto* period_row = new QHBoxLayout;
    period_row->addWidget(periodic_);
    period_row->addWidget(period_);
    period_row->addWidget(new QLabel(QStringLiteral("MS")));
    grid->addLayout(period_row, 1, 0, 1, 2);
    grid->addWidget(choose, 2, 0);
    grid->addWidget(send_file_, 2, 1);
    grid->addWidget(file_or_progress_, 3, 0, 1, 2);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(box);
    layout->addWidget(text_, 1);
    // The band is as high as its controls need and keeps that height at every window size: the
    // send text takes the band's height, and what the window gains goes to the receive view.
    text_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    enter_actions_ = new QActionGroup(this);
    const std::pair<const char*, const char*> enter_entries[] = {
        {"enterNewLineAction", "换行 (不发送)"},
        {"enterSendCrAction", "发送, 加 CR"},
        {"enterSendLfAction", "发送, 加 LF"},
        {"enterSendCrLfAction", "发送, 加 CR LF"}};
    for (int i = 0; i < 4; ++i) {
        QAction* action = enter_actions_->addAction(QString::fromUtf8(enter_entries[i].second));
        action->setObjectName(enter_entries[i].first);
        action->setCheckable(true);
        action->setChecked(i == 0);
        connect(action, &QAction::triggered, this,
                [this, i] { enter_ = static_cast<EnterKey>(i); });
    }
    text_->setContextMenuPolicy(Qt::CustomContextMenu);
    text_->installEventFilter(this);

    send_->setEnabled(false);
    send_file_->setEnabled(false);
    connect(text_, &QWidget::customContextMenuRequested, this, &SendPanel::ShowContextMenu);
    connect(send_, &QPushButton::clicked, this, &SendPanel::SendText);
    connect(periodic_, &QCheckBox::clicked, this, &SendPanel::OnPeriodic);
    connect(timer_, &QTimer::timeout, this, &SendPanel::SendText);
    connect(choose, &QPushButton::clicked, this, &SendPanel::OnChooseFile);
    connect(send_file_, &QPushButton::clicked, this, &SendPanel::OnSendFile);

    FileSender::Callbacks callbacks;
    callbacks.send_chunk = [this](const uint8_t* bytes, uint32_t count) {
        serial::DataBlock block{bytes, count};
        page_.PageNotify(serial::PN_SEND_DATA, &block);
    };
    callbacks.started = [this](uint64_t length) {
        QMetaObject::invokeMethod(
            this, [this, length] { OnTransferStarted(length); }, Qt::QueuedConnection);
    };
    callbacks.progress = [this](uint64_t offset) {
        QMetaObject::invokeMethod(
            this, [this, offset] { OnTransferProgress(offset); }, Qt::QueuedConnection);
    };
    callbacks.finished = [this] {
        QMetaObject::invokeMethod(
            this, [this] { OnTransferFinished(); }, Qt::QueuedConnection);
    };
    callbacks.open_failed = [this] {
        QMetaObject::invokeMethod(
            this, [this] { widgets::ShowProgramMessage(this, QString::fromUtf8(kFileOpenFailed)); },
            Qt::QueuedConnection);
    };
    callbacks.pump = [this] { page_.PumpNotifications(); };
    sender_ = std::make_unique<FileSender>(std::move(callbacks));
}

SendPanel::~SendPanel() {
    Shutdown();
}

void SendPanel::Shutdown() {
    sender_.reset();
}

void SendPanel::SetPortState(uint32_t open_flag) {
    open_flag_ = open_flag;
    send_->setEnabled(open_flag_ == 1 && !transferring_);
    send_file_->setEnabled(open_flag_ == 1);
    if (sender_)
        sender_->SetPortOpen(open_flag_ == 1);
}

void SendPanel::SendEmpty() {
    if (sender_)
        sender_->ChunkDone();
}

void SendPanel::SendText() {
    Send(EnterKey::kNewLine);
}

void SendPanel::Send(EnterKey line_end) {
    QString text = text_->toPlainText();
    if (text.isEmpty()) {
        return;
    }
    history_.Add(text.toStdString());
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const QByteArray utf8 = text.toUtf8();
    std::string bytes =
        text::Utf8ToGbk(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    if (hex_->isChecked()) {
        data = ParseHexText(bytes);
    }
    AppendLineEnd(line_end, data);
    serial::DataBlock block{data.data(), static_cast<uint32_t>(data.size())};
    page_.PageNotify(serial::PN_SEND_DATA, &block);
}

// Enter in the send box sends the text with the chosen line end and empties the box, as a
// command line does; Shift+Enter always starts a new line.
bool SendPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == text_ && event->type() == QEvent::KeyPress && enter_ != EnterKey::kNewLine) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            !(key->modifiers() & Qt::ShiftModifier)) {
            if (send_->isEnabled() && !text_->toPlainText().isEmpty()) {
                Send(enter_);
                text_->clear();
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SendPanel::ShowContextMenu(const QPoint& at) {
    std::unique_ptr<QMenu> menu(text_->createStandardContextMenu());
    menu->setObjectName("sendContextMenu");
    menu->addSeparator();
    QMenu* enter = menu->addMenu(QString::fromUtf8("回车键"));
    enter->addActions(enter_actions_->actions());
    QMenu* sent = menu->addMenu(QString::fromUtf8("发送历史"));
    sent->setEnabled(!history_.entries().empty());
    int n = 0;
    for (const std::string& entry : history_.entries()) {
        const QString text = QString::fromStdString(entry);
        QString shown = text;
        shown.replace(QLatin1Char('\n'), QStringLiteral(" ⏎ "));
        QAction* pick = sent->addAction(shown.left(60));
        pick->setObjectName(QStringLiteral("historyAction%1").arg(n++));
        connect(pick, &QAction::triggered, this, [this, text] { text_->setPlainText(text); });
    }
    menu->exec(text_->mapToGlobal(at));
}

void SendPanel::OnPeriodic(bool checked) {
    bool reset = false;
    const uint32_t period = ReadSendPeriod(period_->text().toStdString().c_str(), &reset);
    if (reset) {
        period_->setText(QStringLiteral("1000"));
    }
    if (checked) {
        timer_->start(static_cast<int>(std::min<uint32_t>(period, 0x7FFFFFFF)));
    } else {
        timer_->stop();
    }
}

void SendPanel::OnChooseFile() {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Send File"), QString(),
                                                      QStringLiteral("All Files (*)"));
    if (!path.isEmpty()) {
        file_->setText(path);
    }
}

void SendPanel::OnSendFile() {
    if (open_flag_ == 0 || !sender_) {
        return;
    }
    if (transferring_) {
        sender_->Stop();
        send_file_->setText(QString::fromUtf8("发送文件"));
        return;
    }
    const QString path = file_->text();
    if (path == QString::fromUtf8(kNoFileSelected)) {
        return;
    }
    sender_->Start(path.toStdString());  // refused while the last transfer finishes its chunk
}

void SendPanel::OnTransferStarted(uint64_t length) {
    transferring_ = true;
    send_->setEnabled(false);
    send_file_->setText(QString::fromUtf8("停止发送"));
    // The bar works in int: long files are shown in kilobytes.
    const int shift = length > 0x7FFFFFFF ? 10 : 0;
    progress_->setProperty("shift", shift);
    progress_->SetRange(0, static_cast<int>(length >> shift));
    progress_->SetPos(0);
    file_or_progress_->setCurrentWidget(progress_);
}

void SendPanel::OnTransferProgress(uint64_t offset) {
    progress_->SetPos(static_cast<int>(offset >> progress_->property("shift").toInt()));
}

void SendPanel::OnTransferFinished() {
    transferring_ = false;
    file_or_progress_->setCurrentWidget(file_);
    send_->setEnabled(open_flag_ == 1);
    send_file_->setText(QString::fromUtf8("发送文件"));
}

}  // namespace porvane::terminal
