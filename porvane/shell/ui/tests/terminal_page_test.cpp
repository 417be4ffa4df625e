// The terminal page driven through its real widgets, headless, over a virtual loop-back port.
#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/serial_device.h"
#include "platform/comm/testing/child_process.h"
#include "platform/qt_testing/qt_test_support.h"
#include "porvane/serial/page_notify.h"
#include "porvane/serial/serial_channel.h"
#include "porvane/serial/ui/port_settings_panel.h"
#include "porvane/shell/ui/help_launcher.h"
#include "porvane/shell/ui/line_chart.h"
#include "porvane/shell/ui/main_dialog.h"
#include "porvane/shell/ui/status_strip.h"
#include "porvane/shell/ui/terminal_page.h"
#include "porvane/terminal/receive_text.h"
#include "porvane/terminal/ui/receive_field.h"
#include "porvane/terminal/ui/receive_panel.h"
#include "porvane/terminal/ui/receive_view.h"
#include "porvane/terminal/ui/send_panel.h"
#include "porvane/terminal/ui/text_progress_bar.h"
#include "porvane/widgets/lamp.h"

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using qt_testing::MessageCatcher;
using qt_testing::WaitUntil;

// Counts the show and hide events of the widget it filters.
class ShowHideCounter : public QObject {
  public:
    int shows = 0;
    int hides = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show)
            ++shows;
        else if (event->type() == QEvent::Hide)
            ++hides;
        return false;
    }
};

// The rows a text field shows, block by block, each laid out at the field's width.
QStringList ShownRows(QPlainTextEdit* field) {
    QStringList rows;
    for (QTextBlock b = field->document()->begin(); b.isValid(); b = b.next()) {
        field->document()->documentLayout()->blockBoundingRect(b);
        const QTextLayout* layout = b.layout();
        for (int i = 0; i < layout->lineCount(); ++i)
            rows << b.text().mid(layout->lineAt(i).textStart(), layout->lineAt(i).textLength());
    }
    return rows;
}

// The rows of text as one paragraph at the same width, font and wrapping as the field's.
QStringList RowsOfOneLine(QPlainTextEdit* field, const QString& text) {
    const QTextBlock first = field->document()->firstBlock();
    field->document()->documentLayout()->blockBoundingRect(first);
    const qreal width = first.layout()->lineAt(0).width();
    QTextLayout layout(text, field->document()->defaultFont());
    layout.setTextOption(field->document()->defaultTextOption());
    QStringList rows;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        rows << text.mid(line.textStart(), line.textLength());
    }
    layout.endLayout();
    return rows;
}

class TerminalPageTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();

    void openCloseAndLamp();
    void busyPortShowsTheMessage();
    void typedTextComesBackFromThePlug();
    void hexSendExamples_data();
    void hexSendExamples();
    void periodicSending();
    void fileArrivesWhole_data();
    void fileArrivesWhole();
    void stopDuringTransfer();
    void closingThePortEndsATransfer();
    void vanishedPortClosesThePageAndEndsATransfer();
    void portListFollowsTheMapAndKeepsTheSelection();
    void aVirtualPortBackOnItsPathIsOfferedAgain();
    void aVanishedPortReopensWithOneClickWhenItComesBack();
    void aRemotePortWhoseServerWentAwayReopensWithOneClick();
    void zeroByteShowsTextUpToItAndHexShowsAll();
    void limitRuleAtTheMillionthCharacter();
    void aLongHexStreamShowsAsOneWrappedLine();
    void saveWritesTheHexText();
    void saveToAnImpossiblePathSaysSo();
    void statusStripCountsAndResets();
    void advancedDialogOpensOnDefaultsAgain();
    void nullStrippingAndRtsToggleReachThePort();
    void changingBaudWhileOpenReachesThePort();
    void lineChartStepsAndClamps();
    void mainWindowTabsMinimumSizeAndScreenshot();
    void theSendBandKeepsItsHeightAndTheViewTakesTheRest();

  private:
    QWidget* Find(const char* name) {
        return page_->findChild<QWidget*>(QString::fromLatin1(name));
    }
    template <class T>
    T* Find(const char* name) {
        return page_->findChild<T*>(QString::fromLatin1(name));
    }
    void Click(const char* name) {
        if (auto* box = Find<QCheckBox>(name)) {
            box->click();  // a click on the box itself, wherever its label ends
        } else {
            QTest::mouseClick(Find(name), Qt::LeftButton);
        }
    }
    void OpenPort();
    // Replaces the device map whole, as an editor does, so the page's watcher sees one change.
    void WriteMap(const std::string& text);
    QStringList Listed();
    void SendText(const QString& text, bool hex);
    QByteArray Stored();
    bool WaitStored(int n, int timeout_ms = 10000);

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<ChildProcess> vport_;
    QString link_;
    std::unique_ptr<porvane::shell::TerminalPage> page_;
};

void TerminalPageTest::initTestCase() {
    dir_ = std::make_unique<TempDir>();
    link_ = QString::fromStdString(dir_->path() + "/loop");
    vport_ = std::make_unique<ChildProcess>("vport",
                                            std::vector<std::string>{"loop", link_.toStdString()});
    QVERIFY(comm::testing::WaitForPath(link_.toStdString()));
    const std::string map = dir_->path() + "/map";
    std::ofstream(map) << "ttyS0=" << link_.toStdString() << "\n";
    qputenv("PORVANE_DEVICE_MAP", QByteArray::fromStdString(map));
}

void TerminalPageTest::init() {
    page_ = std::make_unique<porvane::shell::TerminalPage>();
    page_->resize(900, 600);
    page_->show();
}

void TerminalPageTest::cleanup() {
    page_.reset();
}

void TerminalPageTest::OpenPort() {
    Click("openButton");
    QCOMPARE(Find<QPushButton>("openButton")->text(), QString::fromUtf8("关闭串口"));
}

void TerminalPageTest::WriteMap(const std::string& text) {
    const std::string map = dir_->path() + "/map";
    std::ofstream(map + ".new", std::ios::trunc) << text;
    QCOMPARE(std::rename((map + ".new").c_str(), map.c_str()), 0);
}

QStringList TerminalPageTest::Listed() {
    auto* combo = Find<QComboBox>("portCombo");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

void TerminalPageTest::SendText(const QString& text, bool hex) {
    Find<QPlainTextEdit>("sendText")->setPlainText(text);
    Find<QCheckBox>("sendHexCheck")->setChecked(hex);
    Click("sendButton");
}

QByteArray TerminalPageTest::Stored() {
    auto bytes = page_->receive_view()->store().bytes();
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

bool TerminalPageTest::WaitStored(int n, int timeout_ms) {
    return WaitUntil([&] { return Stored().size() >= n; }, timeout_ms);
}

void TerminalPageTest::openCloseAndLamp() {
    auto* lamp = Find<porvane::widgets::Lamp>("portLamp");
    QVERIFY(!lamp->lit());
    QVERIFY(!Find<QPushButton>("sendButton")->isEnabled());
    OpenPort();
    QVERIFY(lamp->lit());
    QVERIFY(!Find<QComboBox>("portCombo")->isEnabled());
    QVERIFY(Find<QPushButton>("sendButton")->isEnabled());
    QVERIFY(Find<QPushButton>("sendFileButton")->isEnabled());
    QVERIFY(page_->receive_panel()->channel().IsOpen());
    Click("openButton");
    QCOMPARE(Find<QPushButton>("openButton")->text(), QString::fromUtf8("打开串口"));
    QVERIFY(Find<QComboBox>("portCombo")->isEnabled());
    QVERIFY(!Find<QPushButton>("sendButton")->isEnabled());
    QVERIFY(!page_->receive_panel()->channel().IsOpen());
    QVERIFY(!lamp->lit());
}

void TerminalPageTest::busyPortShowsTheMessage() {
    comm::OpenResult held = comm::OpenSerialDevice(link_.toStdString());
    QVERIFY(held.device != nullptr);
    MessageCatcher catcher;
    Click("openButton");
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }));
    QCOMPARE(catcher.messages.first(), QString::fromUtf8("串口被占用!!"));
    QCOMPARE(Find<QPushButton>("openButton")->text(), QString::fromUtf8("打开串口"));
    held.device.reset();

    // Held by another program: the message names it as the command line does.
    const std::string empty;
    ChildProcess holder("/usr/bin/python3",
                        {"-c",
                         "import os, fcntl, sys\n"
                         "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                         "fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
                         "print('held', flush=True)\n"
                         "sys.stdin.read()\n",
                         link_.toStdString()},
                        &empty);
    QVERIFY(holder.ReadOutputUntil("held").find("held") != std::string::npos);
    catcher.messages.clear();
    Click("openButton");
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }));
    QCOMPARE(catcher.messages.first(),
             QString::fromUtf8("串口被占用!! (%1: in use by process %2 (python3))")
                 .arg(link_)
                 .arg(holder.pid()));
    QVERIFY(!page_->receive_panel()->open());
}

void TerminalPageTest::typedTextComesBackFromThePlug() {
    OpenPort();
    SendText(QString::fromUtf8("hello 串口\nline2"), false);
    const QByteArray expected = QByteArray("hello \xB4\xAE\xBF\xDA\r\nline2");
    QVERIFY(WaitStored(expected.size()));
    QCOMPARE(Stored(), expected);
    QVERIFY(WaitUntil(
        [&] { return page_->receive_view()->Text() == QString::fromUtf8("hello 串口\r\nline2"); }));
}

void TerminalPageTest::hexSendExamples_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("G1") << "G1" << QByteArray("\x01", 1);
    QTest::newRow("1 2 3") << "1 2 3" << QByteArray("\x01\x02\x03", 3);
    QTest::newRow("0x1F") << "0x1F" << QByteArray("\x00\x1F", 2);
    QTest::newRow("12345") << "12345" << QByteArray("\x45", 1);
    QTest::newRow("nine F") << "FFFFFFFFF" << QByteArray("\xFF", 1);
    QTest::newRow("01 02 0A ff") << "01 02 0A ff" << QByteArray("\x01\x02\x0A\xFF", 4);
}

void TerminalPageTest::hexSendExamples() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    OpenPort();
    SendText(text, true);
    QVERIFY(WaitStored(bytes.size()));
    QTest::qWait(50);
    QCOMPARE(Stored(), bytes);
}

void TerminalPageTest::periodicSending() {
    OpenPort();
    Find<QPlainTextEdit>("sendText")->setPlainText("ab");
    Find<QLineEdit>("periodField")->setText("");
    Click("periodCheck");
    QCOMPARE(Find<QLineEdit>("periodField")->text(), QStringLiteral("1000"));
    Click("periodCheck");  // off
    Find<QLineEdit>("periodField")->setText("50");
    Click("periodCheck");  // on, every 50 ms
    QVERIFY(WaitStored(8, 30000));
    Click("periodCheck");
    QVERIFY(Stored().startsWith("abababab"));
}

void TerminalPageTest::fileArrivesWhole_data() {
    QTest::addColumn<int>("size");
    QTest::newRow("5,000 bytes") << 5000;
    QTest::newRow("50,000 bytes") << 50000;
    QTest::newRow("1,000,000 bytes") << 1000000;
}

void TerminalPageTest::fileArrivesWhole() {
    QFETCH(int, size);
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 31) ^ (i >> 8));
    const QString path = QString::fromStdString(dir_->path()) + "/send.bin";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.close();
    OpenPort();
    Find<QLineEdit>("sendFileField")->setText(path);
    auto* progress = Find<porvane::terminal::TextProgressBar>("progressBar");
    ShowHideCounter bar;
    progress->installEventFilter(&bar);
    Click("sendFileButton");
    // However quickly the transfer ends, the bar's showing and hiding are events that are seen.
    QVERIFY(
        WaitUntil([&] { return bar.hides >= 1 && !page_->send_panel()->transferring(); }, 120000));
    QCOMPARE(bar.shows, 1);
    QCOMPARE(bar.hides, 1);
    QVERIFY(!progress->isVisible());
    QVERIFY(Find("sendFileField")->isVisible());
    QCOMPARE(Find<QPushButton>("sendFileButton")->text(), QString::fromUtf8("发送文件"));
    QVERIFY(WaitStored(size, 30000));
    QCOMPARE(Stored().size(), size);
    QVERIFY(Stored() == data);
}

void TerminalPageTest::stopDuringTransfer() {
    const QString path = QString::fromStdString(dir_->path()) + "/big.bin";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(1000000, 'z'));
    file.close();
    OpenPort();
    Find<QLineEdit>("sendFileField")->setText(path);
    Click("sendFileButton");
    QVERIFY(WaitUntil([&] { return page_->send_panel()->transferring(); }));
    QCOMPARE(Find<QPushButton>("sendFileButton")->text(), QString::fromUtf8("停止发送"));
    QVERIFY(!Find<QPushButton>("sendButton")->isEnabled());
    Click("sendFileButton");
    QVERIFY(WaitUntil([&] { return !page_->send_panel()->transferring(); }));
    QCOMPARE(Find<QPushButton>("sendFileButton")->text(), QString::fromUtf8("发送文件"));
    QVERIFY(Find<QPushButton>("sendButton")->isEnabled());
    QVERIFY(Find("sendFileField")->isVisible());
    QTest::qWait(100);
    QVERIFY(Stored().size() < 1000000);
}

void TerminalPageTest::closingThePortEndsATransfer() {
    const QString path = QString::fromStdString(dir_->path()) + "/big2.bin";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(1000000, 'y'));
    file.close();
    OpenPort();
    Find<QLineEdit>("sendFileField")->setText(path);
    Click("sendFileButton");
    QVERIFY(WaitUntil([&] { return page_->send_panel()->transferring(); }));
    Click("openButton");  // close
    QVERIFY(WaitUntil([&] { return !page_->send_panel()->transferring(); }));
    QVERIFY(!Find<QPushButton>("sendFileButton")->isEnabled());
}

void TerminalPageTest::vanishedPortClosesThePageAndEndsATransfer() {
    // A port of its own whose process is killed under the open page, as an adapter is pulled.
    const std::string doomed_link = dir_->path() + "/doomed";
    ChildProcess doomed("vport", {"loop", doomed_link});
    QVERIFY(comm::testing::WaitForPath(doomed_link));
    const std::string map = dir_->path() + "/map";
    std::ofstream(map, std::ios::trunc) << "ttyS0=" << doomed_link << "\n";
    auto restore = qScopeGuard(
        [&] { std::ofstream(map, std::ios::trunc) << "ttyS0=" << link_.toStdString() << "\n"; });
    init();  // a page whose port list names the doomed port
    const QString path = QString::fromStdString(dir_->path()) + "/big3.bin";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4000000, 'v'));
    file.close();
    MessageCatcher catcher;
    OpenPort();
    Find<QLineEdit>("sendFileField")->setText(path);
    Click("sendFileButton");
    QVERIFY(WaitUntil([&] { return page_->send_panel()->transferring(); }));
    QVERIFY(::kill(doomed.pid(), SIGKILL) == 0);
    doomed.Wait();
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }, 60000));
    QCOMPARE(catcher.messages.first(), QString::fromUtf8("串口已断开"));
    QCOMPARE(Find<QPushButton>("openButton")->text(), QString::fromUtf8("打开串口"));
    QVERIFY(!page_->receive_panel()->channel().IsOpen());
    QVERIFY(WaitUntil([&] { return !page_->send_panel()->transferring(); }, 60000));
    QCOMPARE(Find<QPushButton>("sendFileButton")->text(), QString::fromUtf8("发送文件"));
    QVERIFY(!Find<QPushButton>("sendButton")->isEnabled());
    // Said once: the bytes the device took are what the page knows of, nothing more is reported.
    QCOMPARE(catcher.messages.size(), 1);
    QVERIFY(page_->receive_panel()->channel().bytes_written_total() <= 4000000u);
}

void TerminalPageTest::portListFollowsTheMapAndKeepsTheSelection() {
    const std::string loop = link_.toStdString();
    const QString x = QString::fromStdString(dir_->path() + "/x");
    const QString y = QString::fromStdString(dir_->path() + "/y");
    auto restore = qScopeGuard([&] { WriteMap("ttyS0=" + loop + "\n"); });
    auto* combo = Find<QComboBox>("portCombo");
    WriteMap("ttyUSB0=" + y.toStdString() + "\nttyS0=" + loop + "\nttyS1=" + x.toStdString() +
             "\n");
    QVERIFY(WaitUntil([&] { return combo->count() == 3; }));
    QCOMPARE(Listed(), (QStringList{link_, x, y}));  // discovery order, not map order
    QCOMPARE(combo->currentText(), link_);
    combo->setCurrentIndex(2);
    WriteMap("ttyS0=" + loop + "\nttyUSB0=" + y.toStdString() + "\n");
    QVERIFY(WaitUntil([&] { return combo->count() == 2; }));
    QCOMPARE(combo->currentText(), y);
    WriteMap("ttyS0=" + loop + "\nlab1=rfc2217://127.0.0.1:7000\n");
    QVERIFY(WaitUntil([&] { return Listed() == QStringList{link_, "lab1"}; }));
    QCOMPARE(combo->currentText(), link_);
    // What is known of the port shows on pointing at it: a pseudo-terminal has its device, a port
    // on another machine its address.
    const QString tip = combo->itemData(0, Qt::ToolTipRole).toString();
    QVERIFY2(tip.startsWith(QString::fromUtf8("设备: /dev/pts/")), qPrintable(tip));
    QCOMPARE(combo->itemData(1, Qt::ToolTipRole).toString(),
             QString::fromUtf8("设备: rfc2217://127.0.0.1:7000"));
    // The page opens what the list shows.
    OpenPort();
    SendText("ok", false);
    QVERIFY(WaitStored(2));
}

// A virtual port that vanishes and comes back on the same path, the device map unchanged.
void TerminalPageTest::aVirtualPortBackOnItsPathIsOfferedAgain() {
    const std::string path = dir_->path() + "/vp";
    auto first = std::make_unique<ChildProcess>("vport", std::vector<std::string>{"loop", path});
    QVERIFY(comm::testing::WaitForPath(path));
    auto restore = qScopeGuard([&] { WriteMap("ttyS0=" + link_.toStdString() + "\n"); });
    WriteMap("ttyS0=" + path + "\n");
    init();
    auto* status = Find<QLabel>("reconnectStatus");
    MessageCatcher catcher;
    OpenPort();
    QVERIFY(::kill(first->pid(), SIGKILL) == 0);
    first->Wait();
    // The killed port's link is left behind, to a pseudo-terminal number that any other program
    // may be given next (a test running beside this one): gone with the port, as a device is.
    std::filesystem::remove(path);
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }));
    QCOMPARE(status->text(), QString::fromUtf8("串口已断开, 等待重新连接"));
    ChildProcess second("vport", {"loop", path});
    QVERIFY(comm::testing::WaitForPath(path));
    QVERIFY(WaitUntil([&] { return !page_->receive_panel()->awaiting_return(); }));
    QCOMPARE(status->text(), QString::fromUtf8("适配器已重新连接"));
    Click("openButton");
    QVERIFY(page_->receive_panel()->open());
    SendText("again", false);
    QVERIFY(WaitStored(5));
    QCOMPARE(Stored(), QByteArray("again"));
    QCOMPARE(catcher.messages.size(), 1);
}

void TerminalPageTest::aVanishedPortReopensWithOneClickWhenItComesBack() {
    const std::string loop = link_.toStdString();
    const std::string adapter = dir_->path() + "/adapter";
    auto first = std::make_unique<ChildProcess>("vport", std::vector<std::string>{"loop", adapter});
    QVERIFY(comm::testing::WaitForPath(adapter));
    const std::string both = "ttyS0=" + loop + "\nttyUSB0=" + adapter + "\n";
    auto restore = qScopeGuard([&] { WriteMap("ttyS0=" + loop + "\n"); });
    WriteMap(both);
    init();  // a page whose list holds the adapter
    auto* combo = Find<QComboBox>("portCombo");
    auto* status = Find<QLabel>("reconnectStatus");
    const QString name = QString::fromStdString(adapter);
    combo->setCurrentIndex(combo->findText(name));
    Find<QComboBox>("baudCombo")->setCurrentIndex(4);
    const QString baud = Find<QComboBox>("baudCombo")->currentText();
    MessageCatcher catcher;
    OpenPort();

    // Pulled: the port closes with the message, the entry leaves the list.
    QVERIFY(::kill(first->pid(), SIGKILL) == 0);
    first->Wait();
    // The killed port's link is left behind, to a pseudo-terminal number that any other program
    // may be given next (a test running beside this one): gone with the port, as a device is.
    std::filesystem::remove(adapter);
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }));
    QCOMPARE(catcher.messages.first(), QString::fromUtf8("串口已断开"));
    QCOMPARE(status->text(), QString::fromUtf8("串口已断开, 等待重新连接"));
    WriteMap("ttyS0=" + loop + "\n");
    QVERIFY(WaitUntil([&] { return combo->count() == 1; }));
    QCOMPARE(combo->currentText(), link_);

    // Another port that arrives is not the adapter.
    const std::string stranger = dir_->path() + "/stranger";
    WriteMap("ttyS0=" + loop + "\nttyUSB1=" + stranger + "\n");
    QVERIFY(WaitUntil([&] { return combo->count() == 2; }));
    QCOMPARE(combo->currentText(), link_);
    QVERIFY(page_->receive_panel()->awaiting_return());

    // Plugged in again: selected, said, and one click opens it with the settings kept.
    ChildProcess second("vport", {"loop", adapter});
    QVERIFY(comm::testing::WaitForPath(adapter));
    WriteMap(both);
    QVERIFY(WaitUntil([&] { return !page_->receive_panel()->awaiting_return(); }));
    QCOMPARE(combo->currentText(), name);
    QCOMPARE(status->text(), QString::fromUtf8("适配器已重新连接"));
    Click("openButton");
    QCOMPARE(Find<QPushButton>("openButton")->text(), QString::fromUtf8("关闭串口"));
    QCOMPARE(Find<QComboBox>("baudCombo")->currentText(), baud);
    QCOMPARE(page_->receive_panel()->channel().settings().dcb.BaudRate, baud.toUInt());
    QVERIFY(status->text().isEmpty());
    SendText("back", false);
    QVERIFY(WaitStored(4));
    QCOMPARE(Stored(), QByteArray("back"));
    QCOMPARE(catcher.messages.size(), 1);
}

void TerminalPageTest::zeroByteShowsTextUpToItAndHexShowsAll() {
    OpenPort();
    SendText("41 00 42", true);
    QVERIFY(WaitStored(3));
    auto* view = page_->receive_view();
    QVERIFY(WaitUntil([&] { return view->Text() == "A"; }));
    Click("redisplayButton");
    QCOMPARE(view->Text(), QStringLiteral("A"));
    Click("hexCheck");
    QCOMPARE(view->Text(), QStringLiteral("A"));  // only later data and a redisplay see the change
    Click("redisplayButton");
    QCOMPARE(view->Text(), QStringLiteral("41 00 42 "));
    Click("clearButton");
    Click("redisplayButton");
    QCOMPARE(view->Text(), QString());
}

void TerminalPageTest::limitRuleAtTheMillionthCharacter() {
    auto* view = page_->receive_view();
    std::vector<uint8_t> big(999'999, 'a');
    view->ShowReceived(big.data(), static_cast<uint32_t>(big.size()));
    view->Flush();
    QCOMPARE(view->TextLength(), size_t{999'999});
    const uint8_t b = 'b';
    view->ShowReceived(&b, 1);  // 999,999 shown: still appended
    view->Flush();
    QCOMPARE(view->TextLength(), size_t{1'000'000});
    const uint8_t c = 'c';
    view->ShowReceived(&c, 1);  // 1,000,000 shown: the notice replaces the view
    QCOMPARE(view->Text(), QString::fromUtf8(porvane::terminal::kOverflowNotice));
    QCOMPARE(view->store().size(), size_t{1});  // the byte of the reset starts the new store
    view->ShowReceived(&c, 1);
    QCOMPARE(view->Text(), QString::fromUtf8(porvane::terminal::kOverflowNotice) + "c");
}

// Hex text has no line breaks: 20,000 bytes show as one line wrapped at the view's width, after
// "重新显示" and at another width too, and copy without a break.
void TerminalPageTest::aLongHexStreamShowsAsOneWrappedLine() {
    OpenPort();
    Click("hexCheck");
    QString typed;
    QString hex;
    for (int i = 0; i < 20000; ++i) {
        const QString group =
            QStringLiteral("%1 ").arg((i * 37 + i / 256) & 0xFF, 2, 16, QLatin1Char('0'));
        typed += group;
        hex += group;
    }
    SendText(typed, true);
    QVERIFY(WaitStored(20000));
    auto* view = page_->receive_view();
    auto* field = view->field();
    QCOMPARE(view->Text(), hex);
    QVERIFY(WaitUntil([&] { return field->PiecesSettled(); }));
    QVERIFY(field->document()->blockCount() > 10);  // held in pieces all the same
    QCOMPARE(ShownRows(field), RowsOfOneLine(field, hex));
    QVERIFY(qt_testing::SaveScreenshot(*page_, QStringLiteral("terminal-hex.png")));
    Click("redisplayButton");
    QVERIFY(WaitUntil([&] { return field->PiecesSettled(); }));
    QCOMPARE(ShownRows(field), RowsOfOneLine(field, hex));
    page_->resize(700, 600);
    QVERIFY(WaitUntil([&] { return field->PiecesSettled(); }));
    QCOMPARE(ShownRows(field), RowsOfOneLine(field, hex));
    QVERIFY(qt_testing::SaveScreenshot(*page_, QStringLiteral("terminal-hex-narrow.png")));
    QCOMPARE(view->Text(), hex);
    field->selectAll();
    field->copy();
    QCOMPARE(QApplication::clipboard()->text(), hex);
}

void TerminalPageTest::saveWritesTheHexText() {
    OpenPort();
    Click("hexCheck");
    SendText("41 00 42", true);
    QVERIFY(WaitStored(3));
    const QString path = QString::fromStdString(dir_->path()) + "/saved.txt";
    Find<QLineEdit>("fileField")->setText(path);
    Click("saveButton");
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("41 00 42 "));
}

void TerminalPageTest::saveToAnImpossiblePathSaysSo() {
    MessageCatcher catcher;
    Find<QLineEdit>("fileField")->setText("/no/such/folder/file.txt");
    Click("saveButton");
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }));
    QCOMPARE(catcher.messages.first(), QString::fromUtf8("文件打开失败!"));
    Find<QLineEdit>("fileField")->setText(QString::fromUtf8("No file selected!"));
    Click("saveButton");  // nothing chosen: silently nothing
    QTest::qWait(30);
    QCOMPARE(catcher.messages.size(), 1);
}

void TerminalPageTest::statusStripCountsAndResets() {
    auto* strip = page_->status_strip();
    // The test ticks the strip itself; its own timer would take the counts in between.
    auto* strip_timer = page_->findChild<QTimer*>("statusTimer");
    QVERIFY(strip_timer != nullptr);
    strip_timer->stop();
    auto* no_signal = Find<porvane::widgets::Lamp>("noSignalLamp");
    strip->Tick();
    QVERIFY(no_signal->lit());  // nothing received in that second
    OpenPort();
    strip->Tick();
    SendText("0123456789", false);
    QVERIFY(WaitStored(10));
    strip->Tick();
    QVERIFY(!no_signal->lit());
    QCOMPARE(Find<QLabel>("txLabel")->text(), QStringLiteral("TX: 10"));
    QCOMPARE(Find<QLabel>("rxLabel")->text(), QStringLiteral("RX: 10"));
    Click("resetCountButton");
    QCOMPARE(Find<QLabel>("txLabel")->text(), QStringLiteral("TX: 0"));
    QCOMPARE(Find<QLabel>("rxLabel")->text(), QStringLiteral("RX: 0"));
    SendText("abc", false);
    QVERIFY(WaitStored(13));
    strip->Tick();
    QCOMPARE(Find<QLabel>("rxLabel")->text(), QStringLiteral("RX: 3"));
    Click("openButton");  // closed: the counters restart, nothing bogus is added
    strip->Tick();
    OpenPort();
    strip->Tick();
    QCOMPARE(Find<QLabel>("rxLabel")->text(), QStringLiteral("RX: 3"));
}

void TerminalPageTest::advancedDialogOpensOnDefaultsAgain() {
    auto& model = page_->settings_panel()->model();
    QTimer::singleShot(50, [] {
        auto* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog);
        auto* xon = dialog->findChild<QLineEdit*>("xonLimitField");
        xon->setText("99");
        dialog->findChild<QComboBox*>("flowControlCombo")->setCurrentIndex(3);
        QTest::mouseClick(dialog->findChild<QPushButton*>("okButton"), Qt::LeftButton);
    });
    Click("advancedButton");
    QCOMPARE(model.record().dcb.XonLim, 99);
    QCOMPARE(model.record().dcb.fOutX, 1u);
    QString shown;
    QTimer::singleShot(50, [&shown] {
        auto* dialog = QApplication::activeModalWidget();
        shown = dialog->findChild<QLineEdit*>("xonLimitField")->text();
        QTest::mouseClick(dialog->findChild<QPushButton*>("okButton"), Qt::LeftButton);
    });
    Click("advancedButton");
    QCOMPARE(shown, QStringLiteral("512"));
    QCOMPARE(model.record().dcb.XonLim, 512);
    QCOMPARE(model.record().dcb.fOutX, 0u);
}

void TerminalPageTest::nullStrippingAndRtsToggleReachThePort() {
    QString limit_tip;
    QTimer::singleShot(50, [&limit_tip] {
        auto* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog);
        dialog->findChild<QCheckBox*>("nullStrippingCheck")->setChecked(true);
        dialog->findChild<QComboBox*>("rtsCombo")->setCurrentIndex(3);  // "Toggle"
        limit_tip = dialog->findChild<QLineEdit*>("xonLimitField")->toolTip();
        QTest::mouseClick(dialog->findChild<QPushButton*>("okButton"), Qt::LeftButton);
    });
    Click("advancedButton");
    // Where Linux has nothing to carry a setting out with, the dialog says so.
    QVERIFY2(limit_tip.contains(QLatin1String("does not act")), qPrintable(limit_tip));
    MessageCatcher catcher;
    OpenPort();
    // The loop-back port is a pseudo-terminal, whose driver has no RS-485 mode.
    QCOMPARE(catcher.messages,
             QStringList{QString::fromUtf8(porvane::serial::kMessageNoRtsToggle)});
    SendText("41 00 42", true);
    QVERIFY(WaitStored(2));
    QCOMPARE(Stored(), QByteArray("AB"));
}

void TerminalPageTest::changingBaudWhileOpenReachesThePort() {
    auto tty_speed = [this] {
        // A plain descriptor (no lock) reads the terminal's settings beside the page's own.
        const int fd = ::open(link_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        comm::KernelTermios t;
        comm::GetKernelTermios(fd, t);
        ::close(fd);
        return t.ospeed;
    };
    Find<QComboBox>("baudCombo")->setCurrentIndex(8);  // 19200 while closed: the record only
    QCOMPARE(page_->settings_panel()->model().record().dcb.BaudRate, 19200u);
    OpenPort();
    QCOMPARE(tty_speed(), 19200u);
    Find<QComboBox>("baudCombo")->setCurrentIndex(13);  // 128000 while open: at once
    QCOMPARE(tty_speed(), 128000u);
}

void TerminalPageTest::lineChartStepsAndClamps() {
    porvane::shell::LineChart chart;
    chart.resize(64, 32);
    chart.show();
    QVERIFY(chart.picture().isNull());
    chart.Step();  // nothing before a picture exists
    chart.AddSeries(0x00FF00, 100, 0);
    QCOMPARE(chart.SetValue(1, 5), 0u);
    const QImage before = chart.picture();
    chart.Step();  // the curve rests at its minimum: row h, below the picture
    chart.Step();
    const QImage after = chart.picture();
    // Shifted by 8 pixels: column 0 now shows what column 8 showed.
    for (int y = 0; y < after.height(); ++y)
        QCOMPARE(after.pixel(0, y), before.pixel(8, y));
    // Exactly one vertical grid line in the two new strips.
    const int w = after.width();
    const int h = after.height();
    int full_columns = 0;
    for (int x = w - 8; x < w; ++x) {
        int green = 0;
        for (int y = 0; y < h; ++y)
            green += after.pixel(x, y) == qRgb(0, 128, 0);
        if (green == h)
            ++full_columns;
    }
    QCOMPARE(full_columns, 1);
    chart.SetValue(0, 1000);  // clamped to the maximum
    chart.SetValue(0, 1000);
    chart.Step();
    QCOMPARE(chart.picture().pixel(w - 1, 0), qRgb(0, 255, 0));  // the curve at its maximum: row 0
}

void TerminalPageTest::mainWindowTabsMinimumSizeAndScreenshot() {
    page_.reset();
    porvane::shell::MainDialog window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* tabs = window.tabs();
    const QStringList expected = {
        QString::fromUtf8("串口调试 (Debuger)"), QString::fromUtf8("串口测试 (Testor)"),
        QString::fromUtf8("串口监视 (Monitor)"), QString::fromUtf8("串口过滤 (Filter)"),
        QString::fromUtf8("关于帮助 (Helper)")};
    for (int i = 0; i < 5; ++i)
        QCOMPARE(tabs->tabText(i), expected[i]);
    QVERIFY(window.windowTitle().contains("1.1 For Linux"));
    const QSize first = window.size();
    window.resize(first.width() / 2, first.height() / 2);
    QCOMPARE(window.size(), window.minimumSize());  // never smaller than what shows all

    auto* page = window.terminal_page();
    QTest::mouseClick(page->findChild<QPushButton*>("openButton"), Qt::LeftButton);
    QVERIFY(page->receive_panel()->open());
    tabs->setCurrentIndex(4);
    tabs->setCurrentIndex(0);
    QVERIFY(page->receive_panel()->open());  // switching tabs never closes the port
    window.resize(first.width() + 200, first.height() + 100);
    QTest::qWait(50);
    auto* exit = page->findChild<QPushButton*>("exitButton");
    QVERIFY(exit->mapTo(page, QPoint(exit->width(), 0)).x() >= page->width() - 10);
    page->findChild<QPlainTextEdit*>("sendText")->setPlainText(QString::fromUtf8("你好, Porvane!"));
    QTest::mouseClick(page->findChild<QPushButton*>("sendButton"), Qt::LeftButton);
    QVERIFY(WaitUntil([&] { return !page->receive_view()->Text().isEmpty(); }));
    page->status_strip()->Tick();
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("terminal.png")));
    int about_seen = 0;
    QTimer::singleShot(50, [&] {
        if (auto* box = QApplication::activeModalWidget()) {
            ++about_seen;
            QTest::mouseClick(box->findChild<QPushButton*>("aboutOk"), Qt::LeftButton);
        }
    });
    window.findChild<QAction*>("aboutAction")->trigger();
    QCOMPARE(about_seen, 1);
}

void TerminalPageTest::theSendBandKeepsItsHeightAndTheViewTakesTheRest() {
    page_.reset();
    porvane::shell::MainDialog window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* page = window.terminal_page();
    auto* band = page->findChild<porvane::terminal::SendPanel*>();
    auto* view = page->receive_view();
    const int band_height = band->height();
    const int view_height = view->height();
    const int page_height = page->height();
    QVERIFY(band_height > 0);
    window.resize(1400, 900);
    QVERIFY(WaitUntil([&] { return page->height() > page_height; }));
    QCOMPARE(band->height(), band_height);
    QCOMPARE(view->height() - view_height, page->height() - page_height);
    // The band still lies right above the status strip.
    QCOMPARE(band->geometry().bottom() + 1, page->status_strip()->geometry().top());
}

// A port on another machine stays listed while its server is away: the page says the
// connection dropped and one click on the open button connects again.
void TerminalPageTest::aRemotePortWhoseServerWentAwayReopensWithOneClick() {
    const std::string loop = link_.toStdString();
    const std::string served = dir_->path() + "/served";
    ChildProcess plug("vport", {"loop", served});
    QVERIFY(comm::testing::WaitForPath(served));
    auto serve = std::make_unique<ChildProcess>(
        "porvane-cli", std::vector<std::string>{"serve", served, "--listen", "127.0.0.1:0"});
    const std::string said = serve->ReadOutputUntil("\n");
    const size_t at = said.find("127.0.0.1:");
    QVERIFY2(at != std::string::npos, said.c_str());
    const std::string address = said.substr(at, said.find_first_of(" ,\n", at) - at);
    auto restore = qScopeGuard([&] { WriteMap("ttyS0=" + loop + "\n"); });
    WriteMap("ttyS0=" + loop + "\nlab1=rfc2217://" + address + "\n");
    init();  // a page whose list holds the remote port
    auto* combo = Find<QComboBox>("portCombo");
    combo->setCurrentIndex(combo->findText("lab1"));
    QCOMPARE(combo->currentText(), QString("lab1"));
    MessageCatcher catcher;
    OpenPort();

    serve->Signal(SIGKILL);
    serve->Wait();
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }));
    QCOMPARE(catcher.messages.first(), QString::fromUtf8("串口已断开"));
    auto* status = Find<QLabel>("reconnectStatus");
    QCOMPARE(status->text(), QString::fromUtf8("网络串口已断开"));
    QVERIFY(!page_->receive_panel()->awaiting_return());

    ChildProcess again("porvane-cli", {"serve", served, "--listen", address});
    QVERIFY(again.ReadOutputUntil("\n").find("serving") != std::string::npos);
    Click("openButton");
    QCOMPARE(Find<QPushButton>("openButton")->text(), QString::fromUtf8("关闭串口"));
    QVERIFY(status->text().isEmpty());
    SendText("back", false);
    QVERIFY(WaitStored(4));
    QCOMPARE(Stored(), QByteArray("back"));
}

QTEST_MAIN(TerminalPageTest)
#include "terminal_page_test.moc"
