// The command assistant's window driven headless against the reader simulator on a virtual port.
#include <poll.h>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QWheelEvent>
#include <QtTest>
#include <fstream>

#include "brevant/ui/brevant_window.h"
#include "brevant/ui/grid_column.h"
#include "platform/comm/testing/child_process.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/qt_testing/qt_test_support.h"

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using qt_testing::MessageCatcher;
using qt_testing::WaitUntil;

class BrevantWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void cleanupTestCase();
    void theReplyAndTimeShowAtTheFirstSizeAndSendDoesNotScroll();
    void theRowRecordsTheWholeReplyTimedToItsLastBurst_data();
    void theRowRecordsTheWholeReplyTimedToItsLastBurst();
    void sendingARowRecordsTheReplyAndTime();
    void sendAllAnswersTheSelectedRowsAndClearsTheMarks();
    void aLateReplyEndsTheSendAll();
    void closedPortAndWarnings();
    void commandFilesAndSettingsThroughTheWindow();
    void chineseCommandFilesAndRepliesStayChinese();
    void onlineButtonFollowsThePortFromTheStart();
    void gridColumnsEditScrollAndClearAsNamed();

  private:
    // The monitor's text without its line breaks: the replies one after another.
    static QString Unbroken(QString text) {
        text.remove(QLatin1Char('\r'));
        text.remove(QLatin1Char('\n'));
        return text;
    }
    // True when the last byte shown has been followed by the end of its burst.
    static bool BurstsEnded(const QString& monitor) { return monitor.endsWith(QLatin1Char('\n')); }
    static bool Readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    void ClickCell(brevant::BrevantWindow& w, int row, int column) {
        QTableWidget* grid = w.grid();
        QTableWidgetItem* item = grid->item(row - 1, column - 1);
        grid->scrollToItem(item);
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualItemRect(item).center());
    }
    std::unique_ptr<ChildProcess> StartReader(const std::string& name,
                                              std::vector<std::string> faults) {
        const std::string link = dir_->path() + "/" + name;
        faults.insert(faults.begin(), link);
        auto sim = std::make_unique<ChildProcess>("quor-sim", faults);
        if (!comm::testing::WaitForPath(link))
            return nullptr;
        return sim;
    }
    void WriteConfig(int port, int receive_format = 0) {
        std::ofstream(dir_->path() + "/brevant/Config.INI", std::ios::binary)
            << "[PARAM]\r\nCOM=" << port
            << "\r\nBAND=115200\r\nPARITY=N\r\nDATABITS=8\r\nSTOPBITS=1\r\nSENDTYPE="
               "0\r\nREVICETYPE="
            << receive_format << "\r\nMS=1000\r\n";
    }

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<ChildProcess> reader_;
    std::unique_ptr<ChildProcess> slow_reader_;
};

void BrevantWindowTest::initTestCase() {
    dir_ = std::make_unique<TempDir>();
    QDir().mkpath(QString::fromStdString(dir_->path() + "/brevant"));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_->path()));
    reader_ = StartReader("reader", {});
    slow_reader_ = StartReader("slow", {"--no-ack"});  // no reply within 300 ms, nor ever
    QVERIFY(reader_ && slow_reader_);
    qputenv("COM5", QByteArray::fromStdString(dir_->path() + "/reader"));
    qputenv("COM6", QByteArray::fromStdString(dir_->path() + "/slow"));
}

void BrevantWindowTest::cleanupTestCase() {
    reader_.reset();
    slow_reader_.reset();
}

// At the window's first size every column shows whole, the reply and the time included, and a
// click on "发送" leaves the grid where it is.
void BrevantWindowTest::theReplyAndTimeShowAtTheFirstSizeAndSendDoesNotScroll() {
    WriteConfig(5);
    brevant::BrevantWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTableWidget* grid = w.grid();
    for (int column : {brevant::kReplyColumn, brevant::kTimeColumn}) {
        const int c = brevant::TableColumn(column);
        QVERIFY2(
            grid->columnViewportPosition(c) + grid->columnWidth(c) <= grid->viewport()->width(),
            qPrintable(QStringLiteral("column %1 at %2 + %3, viewport %4")
                           .arg(column)
                           .arg(grid->columnViewportPosition(c))
                           .arg(grid->columnWidth(c))
                           .arg(grid->viewport()->width())));
    }
    w.SetCell(1, brevant::kDataColumn, "00 41 01 52");
    QTableWidgetItem* send = grid->item(0, brevant::TableColumn(brevant::kSendColumn));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualItemRect(send).center());
    QVERIFY(WaitUntil([&] { return !w.Cell(1, brevant::kTimeColumn).isEmpty(); }, 30000));
    QCOMPARE(grid->horizontalScrollBar()->value(), 0);
    QVERIFY(qt_testing::SaveScreenshot(w, QStringLiteral("brevant-first-size.png")));
    // Smaller and larger windows show every column too.
    for (const QSize size : {QSize(800, 600), QSize(1920, 1080)}) {
        w.resize(size);
        QTRY_VERIFY(grid->columnViewportPosition(brevant::TableColumn(brevant::kTimeColumn)) +
                        grid->columnWidth(brevant::TableColumn(brevant::kTimeColumn)) <=
                    grid->viewport()->width());
        QVERIFY(qt_testing::SaveScreenshot(
            w, QStringLiteral("brevant-%1x%2.png").arg(size.width()).arg(size.height())));
    }
}

// The reader (the test, on a pty) acknowledges the frame with 06 in a burst of its own and
// announces its reply with 20 after a while. The row records the whole reply from the 06 on,
// timed to its last burst; with "应答读卡器握手" ticked in the settings the announcement is
// answered and the reply frame (request's status 00, the card type 04 00) joins it.
void BrevantWindowTest::theRowRecordsTheWholeReplyTimedToItsLastBurst_data() {
    QTest::addColumn<bool>("answer");
    QTest::addColumn<QString>("reply");
    QTest::newRow("not answered") << false << QStringLiteral("06 20 ");
    QTest::newRow("answered") << true << QStringLiteral("06 20 00 00 02 04 00 F9 03 ");
}

void BrevantWindowTest::theRowRecordsTheWholeReplyTimedToItsLastBurst() {
    QFETCH(bool, answer);
    QFETCH(QString, reply);
    WriteConfig(8);
    comm::testing::PtyPair pty;
    qputenv("COM8", QByteArray::fromStdString(pty.slave_path()));
    brevant::BrevantWindow w;
    w.show();
    QVERIFY(w.port_open());
    if (answer) {
        QTimer::singleShot(50, [] {
            auto* dialog = QApplication::activeModalWidget();
            QVERIFY(dialog);
            auto* box = dialog->findChild<QCheckBox*>("answerHandshakeBox");
            QVERIFY(box && !box->isChecked());
            box->click();
            QTest::mouseClick(dialog->findChild<QPushButton*>("saveSettingsButton"),
                              Qt::LeftButton);
        });
        w.findChild<QAction*>("settingsAction")->trigger();
        std::string value;
        QVERIFY(w.ini().Read("PARAM", "HANDSHAKE", value));
        QCOMPARE(value, std::string("1"));
    }
    w.SetCell(1, brevant::kDataColumn, "00 41 01 52");
    ClickCell(w, 1, brevant::kSendColumn);
    QCOMPARE(pty.ReadExactly(7), std::string("\x20\x00\x41\x01\x52\xED\x03", 7));
    QElapsedTimer since_frame;
    since_frame.start();
    pty.WriteAll("\x06");
    QVERIFY(WaitUntil(
        [&] { return BurstsEnded(w.MonitorText()) && Unbroken(w.MonitorText()) == "06 "; }, 30000));
    QTest::qWait(100);  // the reader's work: the last burst's time tells itself from the first's
    const qint64 least_ms = since_frame.elapsed();
    pty.WriteAll("\x20");
    if (answer) {
        // The window's 06 is written once the window has taken the 20: wait for it with the
        // window's events running.
        QVERIFY(WaitUntil([&] { return Readable(pty.master()); }, 30000));
        QCOMPARE(pty.ReadExactly(1), std::string("\x06"));
        pty.WriteAll(std::string("\x00\x00\x02", 3));
        pty.WriteAll(std::string("\x04\x00\xF9\x03", 4));
    }
    QVERIFY2(WaitUntil([&] { return w.Cell(1, brevant::kReplyColumn) == reply; }, 30000),
             qPrintable(w.Cell(1, brevant::kReplyColumn)));
    QCOMPARE(Unbroken(w.MonitorText()), reply);
    bool ok = false;
    const int ms = w.Cell(1, brevant::kTimeColumn).toInt(&ok);
    QVERIFY2(ok && ms >= least_ms, qPrintable(QStringLiteral("%1 ms, at least %2 ms")
                                                  .arg(w.Cell(1, brevant::kTimeColumn))
                                                  .arg(least_ms)));
}

void BrevantWindowTest::sendingARowRecordsTheReplyAndTime() {
    WriteConfig(5);
    brevant::BrevantWindow w;
    w.show();
    QVERIFY(w.port_open());
    QVERIFY(w.StatusText().contains("COM5"));
    QVERIFY(w.StatusText().contains(QString::fromUtf8("打开")));
    w.SetCell(1, 2, "request");
    w.SetCell(1, 4, "00 41 01 52");
    ClickCell(w, 1, 7);
    // The acknowledgement and the announcement may come in one burst or in two, as the machine
    // schedules the reader: the monitor holds both either way, and a line ends at a burst's end.
    QVERIFY(WaitUntil(
        [&] { return BurstsEnded(w.MonitorText()) && Unbroken(w.MonitorText()) == "06 20 "; },
        30000));
    QCOMPARE(w.Cell(1, 5), QStringLiteral("0xed"));
    QVERIFY(!w.Cell(1, 8).isEmpty());
    bool ok = false;
    const int ms = w.Cell(1, 9).toInt(&ok);
    QVERIFY(ok && ms >= 0);
}

void BrevantWindowTest::sendAllAnswersTheSelectedRowsAndClearsTheMarks() {
    WriteConfig(5);
    brevant::BrevantWindow w;
    w.show();
    QVERIFY(w.port_open());
    for (int row : {3, 5, 7})
        w.SetCell(row, 4, "00 41 01 52");
    w.SetCell(4, 4, "00 45 00");  // not selected: not sent
    for (int row : {7, 3, 5})
        ClickCell(w, row, 1);
    QVERIFY(w.IsSelected(3) && w.IsSelected(5) && w.IsSelected(7));
    ClickCell(w, 5, 1);  // a click on a selected row deselects it
    QVERIFY(!w.IsSelected(5));
    ClickCell(w, 5, 1);
    w.set_reply_wait_ms(3000);  // a reply slowed by a busy machine must not end the run
    QTest::mouseClick(w.findChild<QPushButton*>("sendAllButton"), Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return !w.SendAllRunning(); }, 60000));
    for (int row : {3, 5, 7}) {
        QVERIFY2(!w.Cell(row, 9).isEmpty(), qPrintable(QString::number(row)));
        QVERIFY(!w.IsSelected(row));
    }
    QVERIFY(w.Cell(4, 5).isEmpty());
    QVERIFY(WaitUntil(
        [&] {
            return BurstsEnded(w.MonitorText()) &&
                   Unbroken(w.MonitorText()) == "06 20 06 20 06 20 ";
        },
        30000));
    for (int row : {8, 9}) {
        w.SetCell(row, 2, row == 8 ? "halt" : "request");
        w.SetCell(row, 4, row == 8 ? "00 45 00" : "00 41 01 52");
        ClickCell(w, row, 7);
        QVERIFY(WaitUntil([&] { return !w.Cell(row, 9).isEmpty(); }, 30000));
    }
    w.resize(1700, 640);
    w.grid()->scrollToTop();
    w.grid()->horizontalScrollBar()->setValue(0);
    QTest::qWait(20);
    QVERIFY(qt_testing::SaveScreenshot(w, QStringLiteral("brevant.png")));
}

void BrevantWindowTest::aLateReplyEndsTheSendAll() {
    WriteConfig(6);
    brevant::BrevantWindow w;
    w.show();
    QVERIFY(w.port_open());
    w.SetCell(3, 4, "00 41 01 52");
    w.SetCell(5, 4, "00 41 01 52");
    w.ToggleSelection(5);
    w.ToggleSelection(3);
    w.StartSendAll();
    QVERIFY(WaitUntil([&] { return !w.SendAllRunning(); }, 30000));
    QCOMPARE(w.Cell(3, 5), QStringLiteral("0xed"));  // sent
    QVERIFY(w.Cell(5, 5).isEmpty());                 // never sent
    QVERIFY(!w.IsSelected(5));
}

void BrevantWindowTest::closedPortAndWarnings() {
    WriteConfig(5);
    brevant::BrevantWindow w;
    w.show();
    MessageCatcher catcher;
    w.SetCell(2, 4, "0041015");
    w.SendRow(2);
    QVERIFY(WaitUntil([&] { return catcher.messages.size() >= 1; }));
    QCOMPARE(catcher.messages.first(), QString::fromUtf8("请输入正确规格的数据-Err2"));
    QCOMPARE(w.Cell(2, 5), QStringLiteral("0xbf"));
    w.TogglePort();
    QVERIFY(!w.port_open());
    QVERIFY(w.StatusText().contains(QString::fromUtf8("关闭")));
    w.SendRow(2);
    QVERIFY(WaitUntil([&] { return catcher.messages.size() >= 2; }));
    QCOMPARE(catcher.messages.last(), QString::fromUtf8("串口没有打开或被占用，请打开串口"));
    w.TogglePort();
    QVERIFY(w.port_open());
}

void BrevantWindowTest::commandFilesAndSettingsThroughTheWindow() {
    WriteConfig(5);
    brevant::BrevantWindow w;
    w.show();
    w.SetCell(3, 2, "request");
    w.SetCell(3, 4, "00 41 01 52");
    w.SetCell(7, 2, "halt");
    w.SetCell(7, 4, "00 45 00");
    const QString base = QString::fromStdString(dir_->path()) + "/cmds";
    QVERIFY(w.SaveCommandsTo(base));
    w.ClearCommands();
    QVERIFY(w.Cell(3, 4).isEmpty());
    QVERIFY(w.LoadCommandsFrom(base + ".ini"));
    QCOMPARE(w.Cell(1, 2), QStringLiteral("request"));
    QCOMPARE(w.Cell(2, 4), QStringLiteral("00 45 00"));
    QCOMPARE(w.Cell(3, 2), QStringLiteral("  "));
    MessageCatcher catcher;
    QVERIFY(!w.LoadCommandsFrom("/no/such/file.ini"));
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }));

    QTimer::singleShot(50, [] {
        auto* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog);
        dialog->findChild<QComboBox*>("sendFormatList")->setCurrentIndex(1);
        dialog->findChild<QComboBox*>("portList")->setCurrentIndex(11);
        QTest::mouseClick(dialog->findChild<QPushButton*>("saveSettingsButton"), Qt::LeftButton);
    });
    w.findChild<QAction*>("settingsAction")->trigger();
    QVERIFY(w.StatusText().contains("ASC"));
    QVERIFY(w.StatusText().contains("COM12"));
    std::string value;
    QVERIFY(w.ini().Read("PARAM", "COM", value));
    QCOMPARE(QString::fromStdString(value), QStringLiteral("12"));
}

void BrevantWindowTest::chineseCommandFilesAndRepliesStayChinese() {
    // "读卡" as the comment of a GBK command file: loaded as Chinese, saved back as GBK.
    const std::string path = dir_->path() + "/gbk.ini";
    const std::string gbk =
        "/*****************/\r\n\xB6\xC1\xBF\xA8\r\n00 41 01 52\r\n/*****************/\r\n  \r\n";
    std::ofstream(path, std::ios::binary) << gbk;
    WriteConfig(7, 1);  // replies shown as text
    comm::testing::PtyPair pty;
    qputenv("COM7", QByteArray::fromStdString(pty.slave_path()));
    brevant::BrevantWindow w;
    w.show();
    QVERIFY(w.port_open());
    QVERIFY(w.LoadCommandsFrom(QString::fromStdString(path)));
    QCOMPARE(w.Cell(1, 2), QString::fromUtf8("读卡"));
    QVERIFY(w.SaveCommandsTo(QString::fromStdString(path)));
    std::ifstream saved(path, std::ios::binary);
    QCOMPARE(std::string(std::istreambuf_iterator<char>(saved), {}), gbk);

    // A GBK reply ("你好") whose first character is split across two writes.
    w.SendRow(1);
    QVERIFY(!pty.ReadExactly(7).empty());
    pty.WriteAll("\xC4");
    pty.WriteAll("\xE3\xBA\xC3");
    // The reply's cell is filled at the end of the burst, after the monitor has shown each byte.
    QVERIFY(WaitUntil([&] { return w.Cell(1, 8) == QString::fromUtf8("你好"); }, 30000));
    QCOMPARE(Unbroken(w.MonitorText()), QString::fromUtf8("你好"));
}

void BrevantWindowTest::onlineButtonFollowsThePortFromTheStart() {
    WriteConfig(13);
    qputenv("COM13", "/no/such/port");
    MessageCatcher catcher;
    brevant::BrevantWindow w;
    w.show();
    QVERIFY(!w.port_open());
    auto icon = [&] {
        return w.findChild<QAction*>("onlineAction")->icon().pixmap(32, 32).toImage();
    };
    const QImage offline = icon();
    WriteConfig(5);
    w.TogglePort();
    QVERIFY(w.port_open());
    const QImage online = icon();
    QVERIFY(online != offline);  // the icon at start was the off-line one
    w.TogglePort();
    QVERIFY(!w.port_open());
    QCOMPARE(icon(), offline);
}

// Each named column holds what its header says, edits as its kind allows, and the clearing
// actions empty the columns they name.
void BrevantWindowTest::gridColumnsEditScrollAndClearAsNamed() {
    using namespace brevant;
    WriteConfig(5);
    BrevantWindow w;
    w.show();
    QTableWidget* grid = w.grid();
    QCOMPARE(grid->columnCount(), kGridColumns);
    QCOMPARE(grid->horizontalHeaderItem(TableColumn(kReplyColumn))->text(),
             QString::fromUtf8("返回数据(Hex)"));
    QCOMPARE(w.Cell(2, kStartColumn), QStringLiteral("0x20"));
    QCOMPARE(w.Cell(2, kEndColumn), QStringLiteral("0x03"));
    QCOMPARE(w.Cell(2, kSendColumn), QString::fromUtf8("发送"));
    for (int c = kSelectColumn; c <= kGridColumns; ++c) {
        const bool editable = grid->item(TableRow(1), TableColumn(c))->flags() & Qt::ItemIsEditable;
        QCOMPARE(editable, c == kCommentColumn || c == kDataColumn || c == kReplyColumn);
    }

    // The data column's editor upper-cases what is typed; the reply's only shows it.
    auto editor = [&](int column) {
        return std::unique_ptr<QWidget>(grid->itemDelegate()->createEditor(
            grid->viewport(), {}, grid->model()->index(0, TableColumn(column))));
    };
    std::unique_ptr<QWidget> data = editor(kDataColumn);
    auto* data_edit = qobject_cast<QLineEdit*>(data.get());
    QVERIFY(data_edit && !data_edit->isReadOnly());
    QTest::keyClicks(data_edit, "0a ff");
    QCOMPARE(data_edit->text(), QStringLiteral("0A FF"));
    std::unique_ptr<QWidget> reply = editor(kReplyColumn);
    auto* reply_edit = qobject_cast<QLineEdit*>(reply.get());
    QVERIFY(reply_edit && reply_edit->isReadOnly());

    // The wheel moves the grid by one row each way.
    QScrollBar* bar = grid->verticalScrollBar();
    bar->setValue(0);
    auto wheel = [&](int delta) {
        QWheelEvent event(QPointF(10, 10), grid->viewport()->mapToGlobal(QPointF(10, 10)), QPoint(),
                          QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(grid->viewport(), &event);
    };
    wheel(-120);
    QCOMPARE(bar->value(), 1);
    wheel(-120);
    QCOMPARE(bar->value(), 2);
    wheel(120);
    QCOMPARE(bar->value(), 1);

    // "清空结果" empties the results and keeps the commands.
    w.SetCell(4, kCommentColumn, "request");
    w.SetCell(4, kDataColumn, "00 41 01 52");
    w.SetCell(4, kCheckColumn, "0xed");
    w.SetCell(4, kReplyColumn, "00 02 04 00");
    w.SetCell(4, kTimeColumn, "12");
    w.ToggleSelection(4);
    w.ClearResults();
    QVERIFY(w.Cell(4, kCheckColumn).isEmpty());
    QVERIFY(w.Cell(4, kReplyColumn).isEmpty());
    QVERIFY(w.Cell(4, kTimeColumn).isEmpty());
    QVERIFY(!w.IsSelected(4));
    QCOMPARE(w.Cell(4, kCommentColumn), QStringLiteral("request"));
    QCOMPARE(w.Cell(4, kDataColumn), QStringLiteral("00 41 01 52"));
}

QTEST_MAIN(BrevantWindowTest)
#include "brevant_window_test.moc"
