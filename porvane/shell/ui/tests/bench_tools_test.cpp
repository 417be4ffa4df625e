// The terminal page's bench tools, used as a person does (context menus, keys, typing) in the
// program's window over a virtual loop-back port: time stamps, the Enter key and history of the
// send box, search, the log file, the modem line switches and a typed baud rate.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/testing/child_process.h"
#include "platform/qt_testing/qt_test_support.h"
#include "platform/text/gbk.h"
#include "porvane/shell/ui/main_dialog.h"
#include "porvane/shell/ui/terminal_page.h"
#include "porvane/terminal/ui/receive_panel.h"
#include "porvane/terminal/ui/receive_view.h"

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using qt_testing::WaitUntil;

class BenchToolsTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void timeStampsOnReceivedBurstsInTextAndHex();
    void searchHighlightsEveryMatch();
    void logFileTakesEverythingReceivedAndMarksWhatWasSent();
    void enterSendsTheTextWithTheChosenLineEnd_data();
    void enterSendsTheTextWithTheChosenLineEnd();
    void sendHistoryOffersTheTextsSentBefore();
    void modemLineSwitchesAndBreak();
    void aTypedBaudRateReachesThePort();

  private:
    template <class T>
    T* Find(const char* name) {
        return page_->findChild<T*>(QString::fromLatin1(name));
    }
    // Opens field's context menu with the mouse and picks the entry named action; with shot, a
    // picture of the open menu is saved under that name.
    void Pick(QWidget* field, const char* action, const QString& shot = {});
    void Send(const QString& text) {
        Find<QPlainTextEdit>("sendText")->setPlainText(text);
        QTest::mouseClick(Find<QPushButton>("sendButton"), Qt::LeftButton);
    }
    QString Shown() { return page_->receive_view()->Text(); }
    QByteArray Stored() {
        const auto bytes = page_->receive_view()->store().bytes();
        return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                          static_cast<qsizetype>(bytes.size()));
    }

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<ChildProcess> vport_;
    std::unique_ptr<porvane::shell::MainDialog> window_;
    porvane::shell::TerminalPage* page_ = nullptr;
};

void BenchToolsTest::initTestCase() {
    dir_ = std::make_unique<TempDir>();
    const std::string link = dir_->path() + "/loop";
    vport_ = std::make_unique<ChildProcess>("vport", std::vector<std::string>{"loop", link});
    QVERIFY(comm::testing::WaitForPath(link));
    const std::string map = dir_->path() + "/map";
    std::ofstream(map) << "ttyS0=" << link << "\n";
    qputenv("PORVANE_DEVICE_MAP", QByteArray::fromStdString(map));
}

void BenchToolsTest::init() {
    window_ = std::make_unique<porvane::shell::MainDialog>();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    page_ = window_->terminal_page();
    QTest::mouseClick(Find<QPushButton>("openButton"), Qt::LeftButton);
    QVERIFY(page_->receive_panel()->open());
}

void BenchToolsTest::cleanup() {
    window_.reset();
}

void BenchToolsTest::Pick(QWidget* field, const char* action, const QString& shot) {
    bool picked = false;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr)
            return;
        if (!shot.isEmpty())
            qt_testing::SaveScreenshot(*menu, shot);
        // The entry may sit in a submenu ("回车键", "发送历史").
        QList<QAction*> entries = menu->actions();
        for (int i = 0; i < entries.size(); ++i) {
            QAction* a = entries[i];
            if (a->menu() != nullptr)
                entries << a->menu()->actions();
            if (a->objectName() == QLatin1String(action) && a->isEnabled()) {
                menu->close();
                a->trigger();
                picked = true;
                return;
            }
        }
        menu->close();
    });
    auto* area = qobject_cast<QAbstractScrollArea*>(field);
    QWidget* target = area != nullptr ? area->viewport() : field;
    const QPoint at = target->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, target->mapToGlobal(at));
    QApplication::sendEvent(target, &event);
    QVERIFY2(picked, action);
}

void BenchToolsTest::timeStampsOnReceivedBurstsInTextAndHex() {
    auto* field = Find<QPlainTextEdit>("viewText");
    Pick(field, "timeStampAction", QStringLiteral("bench-receive-menu.png"));
    QVERIFY(page_->receive_view()->time_stamps());
    Send(QStringLiteral("hello"));
    QVERIFY(WaitUntil([&] { return Shown().endsWith(QStringLiteral("hello")); }));
    Send(QStringLiteral("world"));
    QVERIFY(WaitUntil([&] { return Shown().endsWith(QStringLiteral("world")); }));
    QTest::mouseClick(Find<QCheckBox>("hexCheck"), Qt::LeftButton, {}, QPoint(4, 4));
    Send(QStringLiteral("AB"));
    QVERIFY(WaitUntil([&] { return Shown().endsWith(QStringLiteral("41 42 ")); }));
    const QString stamp = QStringLiteral("\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] ");
    const QRegularExpression expected(QLatin1Char('^') + stamp + QStringLiteral("hello\r\n") +
                                      stamp + QStringLiteral("world\r\n") + stamp +
                                      QStringLiteral("41 42 $"));
    QVERIFY2(expected.match(Shown()).hasMatch(),
             qPrintable(Shown().toUtf8().toPercentEncoding(" []:.")));
    // Off again: arrivals continue the line without a stamp.
    Pick(field, "timeStampAction");
    Send(QStringLiteral("C"));
    QVERIFY(WaitUntil([&] { return Shown().endsWith(QStringLiteral("41 42 43 ")); }));
    QVERIFY(qt_testing::SaveScreenshot(*window_, QStringLiteral("bench-time-stamps.png")));
}

void BenchToolsTest::searchHighlightsEveryMatch() {
    Send(QStringLiteral("OK\nERROR 3\nOK\nERROR 7\nOK"));
    QVERIFY(WaitUntil([&] { return Shown().endsWith(QStringLiteral("ERROR 7\r\nOK")); }));
    auto* field = Find<QPlainTextEdit>("viewText");
    auto* bar = Find<QWidget>("findBar");
    QVERIFY(!bar->isVisible());
    QTest::keyClick(Find<QPlainTextEdit>("sendText"), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(bar->isVisible());
    auto* find = Find<QLineEdit>("findField");
    QVERIFY(find->hasFocus());
    QTest::keyClicks(find, QStringLiteral("ERROR"));
    QCOMPARE(page_->receive_view()->match_count(), 2);
    QCOMPARE(Find<QLabel>("findCount")->text(), QString::fromUtf8("2 处"));
    QCOMPARE(field->extraSelections().size(), 2);
    QCOMPARE(field->textCursor().selectedText(), QStringLiteral("ERROR"));
    const int first = field->textCursor().position();
    QTest::keyClick(find, Qt::Key_Return);
    QVERIFY(field->textCursor().position() > first);
    // Matches that arrive later are marked too.
    Send(QStringLiteral("\nERROR 9"));
    QVERIFY(WaitUntil([&] { return page_->receive_view()->match_count() == 3; }));
    // The count shows whole at the first size and at 800 × 600: its ink, with a pixel of
    // antialiasing either side, lies inside the label, and the label inside the view.
    auto* count = Find<QLabel>("findCount");
    for (const QSize size : {window_->size(), QSize(800, 600)}) {
        window_->resize(size);
        QApplication::processEvents();
        const QRect ink = count->fontMetrics().tightBoundingRect(count->text());
        const int left = count->contentsRect().left() + ink.left() - 1;
        const int right = count->contentsRect().left() + ink.right() + 1;
        const QRect in_view(count->mapTo(page_->receive_view(), QPoint()), count->size());
        QVERIFY2(
            left >= 0 && right < count->width() && page_->receive_view()->rect().contains(in_view),
            qPrintable(QStringLiteral("%1x%2: ink %3..%4 in a label %5 wide at %6 of %7")
                           .arg(size.width())
                           .arg(size.height())
                           .arg(left)
                           .arg(right)
                           .arg(count->width())
                           .arg(in_view.right())
                           .arg(page_->receive_view()->width())));
        QVERIFY(qt_testing::SaveScreenshot(
            *window_,
            QStringLiteral("bench-search-%1x%2.png").arg(size.width()).arg(size.height())));
    }
    QTest::keyClick(find, Qt::Key_Escape);
    QVERIFY(!bar->isVisible());
    QVERIFY(field->extraSelections().isEmpty());
}

void BenchToolsTest::logFileTakesEverythingReceivedAndMarksWhatWasSent() {
    const QString path = QString::fromStdString(dir_->path()) + "/bench.log";
    auto* field = Find<QPlainTextEdit>("viewText");
    // Answers the file dialog when it opens, as a user types the name and presses save.
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            answer.stop();
            dialog->selectFile(path);
            static_cast<QDialog*>(dialog)->accept();  // as the dialog's save button does
        }
    });
    answer.start(10);
    Pick(field, "logAction");
    QVERIFY(page_->receive_view()->logging());
    Pick(field, "logSentAction");
    Send(QString::fromUtf8("ping 你好"));
    QVERIFY(WaitUntil([&] { return Shown() == QString::fromUtf8("ping 你好"); }));
    // Stopped display: not shown, still logged.
    QTest::mouseClick(Find<QPushButton>("stopButton"), Qt::LeftButton);
    Send(QStringLiteral("pong"));
    QFile log(path);
    auto logged = [&] {
        if (!log.open(QIODevice::ReadOnly))
            return QString();
        const std::string bytes = log.readAll().toStdString();
        log.close();
        return QString::fromStdString(text::GbkToUtf8(bytes));
    };
    const QString expected =
        QString::fromUtf8("[发送] ping 你好\r\nping 你好\r\n[发送] pong\r\npong");
    QVERIFY2(WaitUntil([&] { return logged() == expected; }), qPrintable(logged()));
    QCOMPARE(Shown(), QString::fromUtf8("ping 你好"));
    // Unticked: the log ends.
    Pick(field, "logAction");
    QVERIFY(!page_->receive_view()->logging());
    Send(QStringLiteral("late"));
    QVERIFY(WaitUntil([&] { return page_->receive_view()->store().size() >= 17; }));
    QCOMPARE(logged(), expected);
}

void BenchToolsTest::enterSendsTheTextWithTheChosenLineEnd_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("CR") << "enterSendCrAction" << QByteArray("AT\r");
    QTest::newRow("LF") << "enterSendLfAction" << QByteArray("AT\n");
    QTest::newRow("CR LF") << "enterSendCrLfAction" << QByteArray("AT\r\n");
}

void BenchToolsTest::enterSendsTheTextWithTheChosenLineEnd() {
    QFETCH(QString, action);
    QFETCH(QByteArray, sent);
    auto* box = Find<QPlainTextEdit>("sendText");
    box->setFocus();
    // As the box always did: Enter starts a new line and sends nothing.
    QTest::keyClicks(box, QStringLiteral("AT"));
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(box->toPlainText(), QStringLiteral("AT\n"));
    box->clear();
    Pick(box, action.toLatin1().constData(), QStringLiteral("bench-send-menu.png"));
    QTest::keyClicks(box, QStringLiteral("AT"));
    QTest::keyClick(box, Qt::Key_Return);
    QVERIFY(WaitUntil([&] { return Stored().size() >= sent.size(); }));
    QCOMPARE(Stored(), sent);
    QVERIFY(box->toPlainText().isEmpty());
    // Shift+Enter still starts a new line.
    QTest::keyClicks(box, QStringLiteral("a"));
    QTest::keyClick(box, Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(box->toPlainText(), QStringLiteral("a\n"));
}

void BenchToolsTest::sendHistoryOffersTheTextsSentBefore() {
    auto* box = Find<QPlainTextEdit>("sendText");
    for (const char* text : {"ATI", "AT+CSQ", "ATI"})
        Send(QString::fromLatin1(text));
    QVERIFY(WaitUntil([&] { return Stored().size() == 12; }));
    box->clear();
    Pick(box, "historyAction1");  // the latest first, each once: ATI, AT+CSQ
    QCOMPARE(box->toPlainText(), QStringLiteral("AT+CSQ"));
    QTest::mouseClick(Find<QPushButton>("sendButton"), Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return Stored().endsWith("AT+CSQ"); }));
}

// A pseudo-terminal has no modem lines: the DTR and RTS switches say so instead of pretending.
// A break goes out for 250 ms and the line works on after it.
void BenchToolsTest::modemLineSwitchesAndBreak() {
    auto* brk = Find<QPushButton>("breakButton");
    for (const char* name : {"dtrSwitch", "rtsSwitch"}) {
        auto* line = Find<QCheckBox>(name);
        QVERIFY(!line->isEnabled());
        QCOMPARE(line->toolTip(), QString::fromUtf8("这个串口没有握手线"));
    }
    QVERIFY(brk->isEnabled());
    QVERIFY(qt_testing::SaveScreenshot(*window_, QStringLiteral("bench-lines.png")));
    QTest::mouseClick(brk, Qt::LeftButton);
    QVERIFY(!brk->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(brk->isEnabled(), 30000);
    Send(QStringLiteral("after"));
    QVERIFY(WaitUntil([&] { return Stored() == "after"; }));
    QTest::mouseClick(Find<QPushButton>("openButton"), Qt::LeftButton);
    QVERIFY(!brk->isEnabled());
    QVERIFY(!Find<QCheckBox>("dtrSwitch")->isEnabled());
}

// A rate typed into the baud box beside the list's: taken on Enter, at once while open and at
// the next open while closed.
void BenchToolsTest::aTypedBaudRateReachesThePort() {
    auto tty_speed = [this] {
        // A plain descriptor (no lock) reads the terminal's settings beside the page's own.
        const std::string path = dir_->path() + "/loop";
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        comm::KernelTermios t;
        comm::GetKernelTermios(fd, t);
        ::close(fd);
        return t.ospeed;
    };
    auto* baud = Find<QComboBox>("baudCombo");
    auto type = [&](const QString& text) {
        baud->lineEdit()->setFocus();  // as a click into the box gives it
        baud->lineEdit()->selectAll();
        QTest::keyClicks(baud->lineEdit(), text);
        QTest::keyClick(baud->lineEdit(), Qt::Key_Return);
    };
    type(QStringLiteral("921600"));
    QCOMPARE(tty_speed(), 921600u);
    QCOMPARE(baud->currentText(), QStringLiteral("921600"));
    QVERIFY(qt_testing::SaveScreenshot(*window_, QStringLiteral("bench-baud.png")));
    type(QStringLiteral("115200"));  // a list entry typed is the list's choice
    QCOMPARE(baud->currentIndex(), baud->findText(QStringLiteral("115200")));
    QCOMPARE(tty_speed(), 115200u);
    // Letters are refused as they are typed and no list entry completes what was typed; a rate
    // out of range is said to be, and the port keeps its rate.
    qt_testing::MessageCatcher catcher;
    const std::pair<const char*, const char*> refused[] = {
        {"9x", "9"}, {"12ab", "12"}, {"5000000", "5000000"}};
    for (const auto& [typed, number] : refused) {
        type(QString::fromLatin1(typed));
        QVERIFY2(WaitUntil([&] { return catcher.messages.size() == 1; }, 10000), typed);
        QVERIFY2(catcher.messages.takeFirst().contains(QString::fromLatin1(number)), typed);
        QCOMPARE(tty_speed(), 115200u);
        QCOMPARE(baud->currentText(), QStringLiteral("115200"));
    }
    QTest::mouseClick(Find<QPushButton>("openButton"), Qt::LeftButton);
    type(QStringLiteral("230400"));
    QTest::mouseClick(Find<QPushButton>("openButton"), Qt::LeftButton);
    QVERIFY(page_->receive_panel()->open());
    QCOMPARE(tty_speed(), 230400u);
    Send(QStringLiteral("fast"));
    QVERIFY(WaitUntil([&] { return Stored() == "fast"; }));
}

QTEST_MAIN(BenchToolsTest)
#include "bench_tools_test.moc"
