#include "brevant/ui/brevant_window.h"

#include <QAction>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

#include "brevant/command_port.h"
#include "brevant/row_frame.h"
#include "brevant/ui/cell_delegate.h"
#include "brevant/ui/grid_column.h"
#include "brevant/ui/one_row_wheel.h"
#include "brevant/ui/settings_dialog.h"

namespace brevant {
namespace {

// Widths in twips, by GridColumn; [0] is the row header.
const int kTwips[kGridColumns + 1] = {400, 500, 6000, 600, 5000, 600, 600, 800, 6300, 1000};
const QColor kEvenRow(0xC7, 0xED, 0xCC);   // COLORREF 0xCCEDC7
const QColor kSendText(0xFA, 0x06, 0x17);  // COLORREF 0x1706FA

// A 32 × 32 picture for a toolbar button or a selection mark, drawn rather than loaded.
QIcon DrawnIcon(const QColor& fill, const QString& letter) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(fill);
    p.setPen(fill.darker(150));
    p.drawRoundedRect(2, 2, 28, 28, 5, 5);
    p.setPen(Qt::white);
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(14);
    p.setFont(font);
    p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, letter);
    return QIcon(pixmap);
}

QIcon SelectionIcon(bool selected) {
    QPixmap pixmap(14, 14);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setPen(QColor(80, 80, 80));
    p.setBrush(Qt::white);
    p.drawRect(1, 1, 11, 11);
    if (selected) {
        p.setPen(QPen(QColor(0, 128, 0), 2));
        p.drawLine(3, 7, 6, 10);
        p.drawLine(6, 10, 11, 3);
    }
    return QIcon(pixmap);
}

}  // namespace

BrevantWindow::BrevantWindow(QWidget* parent)
    : QMainWindow(parent),
      ini_(ConfigIniPath()),
      port_(std::make_unique<EventPort>()),
      bridge_([this] {
          QMetaObject::invokeMethod(
              this, [this] { bridge_.Pump(); }, Qt::QueuedConnection);
      }) {
    setWindowTitle(QStringLiteral("Brevant"));
    grid_ = new QTableWidget(kGridRows, kGridColumns);
    grid_->setObjectName("commandGrid");
    monitor_ = new QPlainTextEdit;
    monitor_->setObjectName("monitorBox");
    send_all_ = new QPushButton(DrawnIcon(QColor(0, 120, 60), QStringLiteral(">>")),
                                QString::fromUtf8("全部发送"));
    send_all_->setObjectName("sendAllButton");
    auto* exit = new QPushButton(QString::fromUtf8("退  出"));
    exit->setObjectName("exitButton");
    send_all_timer_ = new QTimer(this);

    auto* central = new QWidget;
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(send_all_);
    buttons->addStretch();
    buttons->addWidget(exit);
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(grid_, 3);
    layout->addWidget(monitor_, 1);
    layout->addLayout(buttons);
    setCentralWidget(central);

    for (int i = 0; i < 12; ++i) {
        status_[i] = new QLabel;
        status_[i]->setMinimumWidth(i == 11 ? 200 : 70);
        statusBar()->addWidget(status_[i], i == 11 ? 1 : 0);
    }
    ReloadSettings();
    OpenPort();
    BuildMenusAndToolbar();
    ShowOnlineState();  // the port may have failed to open
    BuildGrid();
    RefreshStatusBar();
    resize(1000, 640);

    connect(send_all_, &QPushButton::clicked, this, &BrevantWindow::StartSendAll);
    connect(exit, &QPushButton::clicked, this, &QWidget::close);
    connect(send_all_timer_, &QTimer::timeout, this, &BrevantWindow::OnSendAllTick);
}

BrevantWindow::~BrevantWindow() {
    // The port's thread may wait on this window: end it while the window is whole.
    port_.reset();
}

void BrevantWindow::BuildGrid() {
    QStringList headers = {QString::fromUtf8("选择"),    QString::fromUtf8("命令注释"),
                           QString::fromUtf8("开始"),    QString::fromUtf8("数据区(Hex)"),
                           QString::fromUtf8("校验"),    QString::fromUtf8("结束"),
                           QString::fromUtf8("发送"),    QString::fromUtf8("返回数据(Hex)"),
                           QString::fromUtf8("时间(ms)")};
    grid_->setHorizontalHeaderLabels(headers);
    const double pixels_per_twip = logicalDpiX() / 1440.0;
    grid_->verticalHeader()->setFixedWidth(static_cast<int>(kTwips[0] * pixels_per_twip) + 8);
    FitColumns();
    grid_->installEventFilter(this);
    grid_->setItemDelegate(new CellDelegate(grid_));
    grid_->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::AnyKeyPressed |
                           QAbstractItemView::EditKeyPressed | QAbstractItemView::DoubleClicked);
    grid_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    grid_->viewport()->installEventFilter(new OneRowWheel(grid_));
    QFont send_font = font();
    send_font.setPointSize(11);
    send_font.setBold(true);
    for (int r = 1; r <= kGridRows; ++r) {
        for (int c = kSelectColumn; c <= kGridColumns; ++c) {
            auto* item = new QTableWidgetItem;
            Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
            if (IsEditableColumn(c))
                flags |= Qt::ItemIsEditable;
            item->setFlags(flags);
            if (r % 2 == 0)
                item->setBackground(kEvenRow);
            grid_->setItem(TableRow(r), TableColumn(c), item);
        }
        Item(r, kSelectColumn)->setIcon(SelectionIcon(false));
        SetCell(r, kStartColumn, QStringLiteral("0x20"));
        SetCell(r, kEndColumn, QStringLiteral("0x03"));
        QTableWidgetItem* send = Item(r, kSendColumn);
        send->setText(QString::fromUtf8("发送"));
        send->setForeground(kSendText);
        send->setFont(send_font);
        send->setTextAlignment(Qt::AlignCenter);
        Item(r, kDataColumn)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    connect(grid_, &QTableWidget::cellClicked, this, [this](int table_row, int table_column) {
        const int row = table_row + 1;
        const int column = table_column + 1;
        if (column == kSelectColumn) {
            current_row_ = row;
            ToggleSelection(row);
        } else if (column == kSendColumn) {
            current_row_ = row;
            SendRow(row);
        } else if (IsEditableColumn(column)) {
            grid_->editItem(Item(row, column));
        }
    });
}

// The columns at their twip widths when the grid has the room; otherwise the three text columns
// (comment, data, reply) give way in proportion, so that every column, the reply and the time
// included, shows without scrolling sideways.
void BrevantWindow::FitColumns() {
    const double pixels_per_twip = logicalDpiX() / 1440.0;
    auto is_text = [](int c) {
        return c == kCommentColumn || c == kDataColumn || c == kReplyColumn;
    };
    int fixed = 0;
    int text = 0;
    for (int c = kSelectColumn; c <= kGridColumns; ++c)
        (is_text(c) ? text : fixed) += static_cast<int>(kTwips[c] * pixels_per_twip);
    // Taken from the grid's own width with its vertical scroll bar counted in (200 rows always
    // need one), not from the viewport, which the scroll bar narrows later.
    const int viewport = grid_->width() - 2 * grid_->frameWidth() -
                         grid_->verticalHeader()->width() -
                         grid_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, grid_);
    const int room = viewport - fixed;
    const double scale = std::clamp(static_cast<double>(room) / text, 0.0, 1.0);
    constexpr int kNarrowestText = 60;
    for (int c = kSelectColumn; c <= kGridColumns; ++c) {
        const int width = static_cast<int>(kTwips[c] * pixels_per_twip);
        grid_->setColumnWidth(
            TableColumn(c),
            is_text(c) ? std::max(kNarrowestText, static_cast<int>(width * scale)) : width);
    }
}

bool BrevantWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == grid_ && event->type() == QEvent::Resize)
        FitColumns();
    return QMainWindow::eventFilter(watched, event);
}

void BrevantWindow::BuildMenusAndToolbar() {
    auto action = [this](const QString& name, const char* text, const char* tip,
                         const QColor& colour, const QString& letter, auto slot) {
        auto* a = new QAction(DrawnIcon(colour, letter), QString::fromUtf8(text), this);
        a->setObjectName(name);
        a->setToolTip(QString::fromUtf8(tip));
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    QAction* open_file = action("openFileAction", "打开文件", "打开文件", QColor(40, 90, 160), "O",
                                [this] { OnOpenFile(); });
    QAction* save_file = action("saveFileAction", "保存文件", "保存文件", QColor(40, 90, 160), "S",
                                [this] { OnSaveFile(); });
    QAction* quit = action("quitAction", "退出系统", "退出系统", QColor(150, 30, 30), "X", [this] {
        port_->Shutdown();
        close();
    });
    QAction* settings = action("settingsAction", "设置参数", "串口设置参数", QColor(90, 90, 90),
                               "P", [this] { OnSettings(); });
    QAction* about =
        action("aboutAction", "关于", "关于...", QColor(90, 90, 90), "?", [this] { ShowAbout(); });
    online_ = action("onlineAction", "联机", "打开/关闭端口", QColor(0, 140, 0), "On",
                     [this] { TogglePort(); });
    QAction* monitor = action("monitorAction", "监视窗口", "监视窗口", QColor(120, 60, 140), "M",
                              [this] { monitor_->setVisible(!monitor_->isVisible()); });
    QAction* clear_monitor = action("clearMonitorAction", "清空监视", "清空监视",
                                    QColor(200, 120, 0), "CM", [this] { ClearMonitor(); });
    QAction* clear_results = action("clearResultsAction", "清空结果", "清空结果",
                                    QColor(200, 120, 0), "CR", [this] { ClearResults(); });
    QAction* clear_commands = action("clearCommandsAction", "清空命令", "清空命令",
                                     QColor(200, 120, 0), "CC", [this] { ClearCommands(); });

    QMenu* file = menuBar()->addMenu(QString::fromUtf8("文件"));
    file->addAction(open_file);
    file->addAction(save_file);
    file->addAction(quit);
    menuBar()->addMenu(QString::fromUtf8("设置参数"))->addAction(settings);
    QMenu* help = menuBar()->addMenu(QString::fromUtf8("帮助"));
    help->addAction(about);
    QAction* about_brevant = help->addAction(QString::fromUtf8("关于 Brevant(&A)..."));
    connect(about_brevant, &QAction::triggered, this, [this] { ShowAbout(); });

    QToolBar* bar = addToolBar(QStringLiteral("commands"));
    bar->setObjectName("toolbar");
    bar->setIconSize(QSize(32, 32));
    for (QAction* a : {online_, settings})
        bar->addAction(a);
    bar->addSeparator();
    for (QAction* a : {open_file, save_file})
        bar->addAction(a);
    bar->addSeparator();
    for (QAction* a : {clear_commands, clear_results, clear_monitor})
        bar->addAction(a);
    bar->addSeparator();
    bar->addAction(monitor);
    bar->addSeparator();
    for (QAction* a : {about, quit})
        bar->addAction(a);
}

void BrevantWindow::ReloadSettings() {
    settings_ = ReadSettings(ini_);
    reply_.set_answer_handshake(settings_.answer_handshake);
}

void BrevantWindow::OpenPort() {
    ReloadSettings();
    port_open_ = OpenCommandPort(*port_, this, settings_);
    if (!port_open_) {
        Message(QString::fromUtf8(kPortNotFoundMessage));
    }
}

void BrevantWindow::TogglePort() {
    if (port_open_) {
        port_->Shutdown();
        port_open_ = false;
    } else {
        OpenPort();
    }
    ShowOnlineState();
    RefreshStatusBar();
}

void BrevantWindow::ShowOnlineState() {
    if (online_ != nullptr) {
        online_->setIcon(DrawnIcon(port_open_ ? QColor(0, 140, 0) : QColor(120, 120, 120),
                                   port_open_ ? QStringLiteral("On") : QStringLiteral("Off")));
        online_->setProperty("online", port_open_);
    }
}

void BrevantWindow::RefreshStatusBar() {
    const QString texts[12] = {
        QString::fromUtf8("端口号"),   QStringLiteral("COM%1").arg(settings_.port),
        QString::fromUtf8("波特率"),   QString::number(settings_.baud),
        QString::fromUtf8("发送格式"), settings_.send_format == 1 ? "ASC" : "HEX",
        QString::fromUtf8("接收格式"), settings_.receive_format == 1 ? "ASC" : "HEX",
        QString::fromUtf8("串口超时"), QString::number(settings_.timeout_ms),
        QString::fromUtf8("状态"),     QString::fromUtf8(port_open_ ? "打开" : "关闭")};
    for (int i = 0; i < 12; ++i)
        status_[i]->setText(texts[i]);
}

QString BrevantWindow::StatusText() const {
    QStringList parts;
    for (QLabel* label : status_)
        parts << label->text();
    return parts.join(' ');
}

QTableWidgetItem* BrevantWindow::Item(int row, int column) const {
    return grid_->item(TableRow(row), TableColumn(column));
}

QString BrevantWindow::Cell(int row, int column) const {
    return Item(row, column)->text();
}

void BrevantWindow::SetCell(int row, int column, const QString& text) {
    Item(row, column)->setText(text);
}

void BrevantWindow::Message(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Brevant"), text, QMessageBox::Ok, this);
    box.exec();
}

void BrevantWindow::ShowErrorBox(const std::string& text) {
    bridge_.Call([&] {
        QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kErrorBoxCaption),
                        QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    });
}

void BrevantWindow::OnPortMessage(uint32_t message, uint32_t wparam, uint32_t) {
    bridge_.Call([&] {
        if (message == PortMsgRxChar) {
            OnReceivedByte(static_cast<uint8_t>(wparam));
        } else if (message == PortMsgRxFlag) {
            OnBurstEnd();
        }
    });
}

void BrevantWindow::SendRow(int row) {
    current_row_ = row;
    monitor_decoder_.Reset();
    SetCell(row, kCheckColumn, {});
    SetCell(row, kReplyColumn, {});
    if (!port_open_) {
        Message(QString::fromUtf8("串口没有打开或被占用，请打开串口"));
        return;
    }
    const RowFrame frame =
        BuildRowFrame(Cell(row, kDataColumn).toStdString(), settings_.send_format);
    for (const std::string& warning : frame.warnings)
        Message(QString::fromStdString(warning));
    SetCell(row, kCheckColumn, QStringLiteral("0x") + QString::fromStdString(frame.check_text));
    if (!port_->Write(frame.wire.data(), frame.wire.size())) {
        Message(QString::fromUtf8("数据太长: 一帧最多 %1 字节").arg(kCommandWriteBufferSize));
        return;
    }
    reply_.Start(ReplyCollector::Clock::now());
}

void BrevantWindow::OnReceivedByte(uint8_t byte) {
    const std::string piece = ReceivedByteText(byte, settings_.receive_format);
    const QString text = QString::fromStdString(
        settings_.receive_format == 0 ? piece : monitor_decoder_.Feed(piece));
    monitor_->moveCursor(QTextCursor::End);
    monitor_->insertPlainText(text);
    monitor_->ensureCursorVisible();
    monitor_burst_ += text;
    if (reply_.Take(byte)) {
        const uint8_t go = 0x06;
        port_->Write(&go, 1);
    }
}

// The row shows the whole reply since the send, however many bursts it came in; the monitor
// gets a line per recording.
void BrevantWindow::OnBurstEnd() {
    if (!port_open_ || !reply_.EndBurst(ReplyCollector::Clock::now()))
        return;
    const std::string reply = reply_.Text(settings_.receive_format);
    SetCell(current_row_, kReplyColumn,
            QString::fromStdString(settings_.receive_format == 0 ? reply
                                                                 : text::GbkDecoder().Feed(reply)));
    Item(current_row_, kReplyColumn)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const auto elapsed = reply_.elapsed();
    SetCell(current_row_, kTimeColumn, elapsed ? QString::number(elapsed->count()) : QString());
    if (!monitor_burst_.isEmpty())
        monitor_text_ += monitor_burst_ + QStringLiteral("\r\n");
    monitor_burst_.clear();
    monitor_->setPlainText(monitor_text_);
    monitor_->moveCursor(QTextCursor::End);
    reply_pending_ = false;
}

void BrevantWindow::ShowSelection(int row, bool selected) {
    Item(row, kSelectColumn)->setIcon(SelectionIcon(selected));
}

void BrevantWindow::ToggleSelection(int row) {
    ShowSelection(row, selection_.Toggle(row));
}

void BrevantWindow::StartSendAll() {
    selection_.StartSendAll();
    send_all_timer_->start(10);
}

bool BrevantWindow::SendAllRunning() const {
    return send_all_timer_->isActive();
}

void BrevantWindow::OnSendAllTick() {
    if (std::optional<int> row = selection_.NextToSend(reply_pending_)) {
        current_row_ = *row;
        reply_pending_ = true;
        SendRow(*row);
        send_all_timer_->start(reply_wait_ms_);
        return;
    }
    send_all_timer_->stop();
    for (int r = 1; r <= kGridRows; ++r)
        ShowSelection(r, false);
}

void BrevantWindow::ClearColumns(std::initializer_list<int> columns) {
    for (int r = 1; r <= kGridRows; ++r) {
        for (int c : columns)
            SetCell(r, c, {});
        ShowSelection(r, false);
    }
    selection_.Clear();
}

void BrevantWindow::ClearResults() {
    ClearColumns({kCheckColumn, kReplyColumn, kTimeColumn, kSelectColumn});
}

void BrevantWindow::ClearCommands() {
    ClearColumns({kCommentColumn, kDataColumn, kCheckColumn, kReplyColumn, kTimeColumn});
}

void BrevantWindow::ClearMonitor() {
    monitor_->clear();
    monitor_text_.clear();
}

QString BrevantWindow::MonitorText() const {
    return monitor_->toPlainText();
}

CommandRows BrevantWindow::GridCommands() const {
    CommandRows rows;
    for (int r = 1; r <= kGridRows; ++r) {
        rows.comment[r] = Cell(r, kCommentColumn).toStdString();
        rows.data[r] = Cell(r, kDataColumn).toStdString();
    }
    return rows;
}

bool BrevantWindow::SaveCommandsTo(const QString& path) {
    const CommandRows rows = GridCommands();
    return SaveCommandFile(CommandFileSavePath(path.toStdString()), rows, file_encoding_);
}

bool BrevantWindow::LoadCommandsFrom(const QString& path) {
    // Rows beyond the file keep what the grid holds.
    CommandRows rows = GridCommands();
    if (!LoadCommandFile(path.toStdString(), rows, &file_encoding_)) {
        Message(QString::fromUtf8("无法读取命令文件: ") + path);
        return false;
    }
    for (int r = 1; r <= kGridRows; ++r) {
        SetCell(r, kCommentColumn, QString::fromStdString(rows.comment[r]));
        SetCell(r, kDataColumn, QString::fromStdString(rows.data[r]));
    }
    return true;
}

void BrevantWindow::OnOpenFile() {
    const QString path = QFileDialog::getOpenFileName(
        this, QString(), QString(), QString::fromUtf8("命令文件 (*.INI *.ini);;所有文件(*)"));
    if (!path.isEmpty())
        LoadCommandsFrom(path);
}

void BrevantWindow::OnSaveFile() {
    const QString path = QFileDialog::getSaveFileName(
        this, QString(), QString(), QString::fromUtf8("命令文件 (*.INI *.ini);;所有文件(*)"));
    if (!path.isEmpty() && !SaveCommandsTo(path))
        Message(QString::fromUtf8("无法保存命令文件: ") + path);
}

void BrevantWindow::OnSettings() {
    SettingsDialog dialog(ini_, this);
    dialog.setObjectName("settingsDialog");
    if (dialog.exec() == QDialog::Accepted) {
        ReloadSettings();  // an open port keeps its settings until it is reopened
        RefreshStatusBar();
    }
}

void BrevantWindow::ShowAbout() {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8("关于 Brevant"),
                    QString::fromUtf8("Brevant 1.0 版\n2026"), QMessageBox::NoButton, this);
    box.setObjectName("aboutBox");
    box.addButton(QString::fromUtf8("确定"), QMessageBox::AcceptRole);
    box.exec();
}

}  // namespace brevant
