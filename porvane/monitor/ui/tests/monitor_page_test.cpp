// The monitor page against a real driver host, watching a real program under the attachment on a
// pseudo-terminal port.
#include <fcntl.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

#include "application_under_test.h"
#include "driver_host.h"
#include "platform/comm/kernel_termios.h"
#include "platform/comm/serial_stats.h"
#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/unique_fd.h"
#include "platform/qt_testing/qt_test_support.h"
#include "platform/text/gbk.h"
#include "porvane/capture/serial_capture_reader.h"
#include "porvane/monitor/driver_link.h"
#include "porvane/monitor/ui/monitor_page.h"
#include "porvane/serial/page_notify.h"
#include "porvane/shell/ui/main_dialog.h"
#include "porvane/shell/ui/status_strip.h"
#include "porvane/widgets/lamp.h"

using porvane::monitor::ContentMode;
using porvane::monitor::MonitorPage;
using porvane::monitor::testing::ApplicationUnderTest;
using porvane::monitor::testing::DriverHost;
using qt_testing::MessageCatcher;
using qt_testing::WaitUntil;

class MonitorPageTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();

    void startStopAndTheLamp();
    void eachListedPortIsTheHostsPortOfTheSameNumber();
    void aListedPortIsTheHostsPortAsPortsComeAndGo();
    void allInfoDecodesEveryRequestAndSetsTheFields();
    void dataOnlySplitsWrittenAndReadData();
    void hexDisplayAndTextUpToAZeroByte();
    void limitRuleReplacesTheLog();
    void saveWritesBothLogsAndFailsClearly();
    void stripCountsTheWatchedProgramsBytesFromZero();
    void statusStripAnswersThroughTheLink();
    void startFailures();
    void aHostThatGoesAwayStopsThePage();
    void splitRatioStaysWithinItsBounds();
    void screenshots();

  private:
    template <class T>
    T* Find(const char* name) {
        return page_->findChild<T*>(QString::fromLatin1(name));
    }
    void StartMonitoring() {
        QTest::mouseClick(Find<QPushButton>("monitorStartButton"), Qt::LeftButton);
        QVERIFY(page_->running());
    }
    bool WaitLower(const QString& tail) {
        return WaitUntil([&] { return page_->lower_text().endsWith(tail); });
    }
    std::unique_ptr<ApplicationUnderTest> Program() {
        return std::make_unique<ApplicationUnderTest>(host_->runtime_dir(),
                                                      host_->port(0).slave_path());
    }
    // The far end of the line: what the program wrote, read away so the line never fills.
    std::string FarEnd(size_t n) { return host_->port(0).ReadExactly(n, 30000); }

    std::unique_ptr<DriverHost> host_;
    std::unique_ptr<MonitorPage> page_;
};

void MonitorPageTest::init() {
    host_ = std::make_unique<DriverHost>();
    QVERIFY(host_->serving());
    page_ = std::make_unique<MonitorPage>();
    page_->resize(900, 600);
    page_->show();
}

void MonitorPageTest::cleanup() {
    page_.reset();
    std::string errors;
    const bool clean = host_->Shutdown(errors);
    host_.reset();
    QVERIFY2(clean, errors.substr(0, 4000).c_str());
}

void MonitorPageTest::startStopAndTheLamp() {
    auto* button = Find<QPushButton>("monitorStartButton");
    auto* lamp = Find<porvane::widgets::Lamp>("monitorLamp");
    auto* port = Find<QComboBox>("monitorPortCombo");
    QCOMPARE(port->count(), 3);
    QCOMPARE(button->text(), QString::fromUtf8("开始监视"));
    QVERIFY(!lamp->lit());
    StartMonitoring();
    QCOMPARE(button->text(), QString::fromUtf8("停止监视"));
    QVERIFY(lamp->lit());
    QVERIFY(!port->isEnabled());
    // The control device is held: nobody else can open it meanwhile.
    QVERIFY(!porvane::monitor::DriverLink(host_->runtime_dir()).Open(0));
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!page_->running());
    QCOMPARE(button->text(), QString::fromUtf8("开始监视"));
    QVERIFY(!lamp->lit());
    QVERIFY(port->isEnabled());
    QVERIFY(porvane::monitor::DriverLink(host_->runtime_dir()).Open(0));
}

void MonitorPageTest::eachListedPortIsTheHostsPortOfTheSameNumber() {
    // The map lists a USB port first and ttyS1 before ttyS0; the list shows ttyS0, ttyS1, then
    // the USB port.
    auto* port = Find<QComboBox>("monitorPortCombo");
    QCOMPARE(port->itemText(0), QString::fromStdString(host_->port(0).slave_path()));
    QCOMPARE(port->itemText(1), QString::fromStdString(host_->port(1).slave_path()));
    QCOMPARE(port->itemText(2), QString::fromStdString(host_->port(2).slave_path()));
    port->setCurrentIndex(1);
    StartMonitoring();
    ApplicationUnderTest other(host_->runtime_dir(), host_->port(0).slave_path());
    QVERIFY(other.Open());
    QVERIFY(other.Write("0"));
    ApplicationUnderTest second(host_->runtime_dir(), host_->port(1).slave_path());
    QVERIFY(second.Open());
    QVERIFY(second.Write("1"));
    QVERIFY(WaitLower(QString::fromUtf8("写串口 1 bytes: 1\r\n")));
    QCOMPARE(page_->lower_text(), QString::fromUtf8("Open Com OK\r\n写串口 1 bytes: 1\r\n"));
    QCOMPARE(second.Exit(), 0);
    QCOMPARE(other.Exit(), 0);
}

void MonitorPageTest::aListedPortIsTheHostsPortAsPortsComeAndGo() {
    // ttyS1 (the host's port 2) goes, another port comes (the host's port 4): the list holds
    // ttyS0, the USB port, then the new one, whose list position is no host number any more.
    comm::testing::PtyPair fresh;
    auto* port = Find<QComboBox>("monitorPortCombo");
    const std::string usb = "ttyUSB0=" + host_->port(2).slave_path() + "\n";
    const std::string s0 = "ttyS0=" + host_->port(0).slave_path() + "\n";
    host_->WriteMap(usb + s0);
    QVERIFY(host_->HostSaid("sievrad: port 2 gone: " + host_->port(1).slave_path() + "\n"));
    QVERIFY(WaitUntil([&] { return port->count() == 2; }));
    host_->WriteMap(usb + s0 + "ttyUSB1=" + fresh.slave_path() + "\n");
    QVERIFY(host_->HostSaid("sievrad: port 4 added: " + fresh.slave_path() + "\n"));
    QVERIFY(WaitUntil([&] { return port->count() == 3; }));
    QCOMPARE(port->itemText(2), QString::fromStdString(fresh.slave_path()));
    port->setCurrentIndex(2);
    StartMonitoring();
    ApplicationUnderTest usb_program(host_->runtime_dir(), host_->port(2).slave_path());
    QVERIFY(usb_program.Open());
    QVERIFY(usb_program.Write("u"));
    ApplicationUnderTest fresh_program(host_->runtime_dir(), fresh.slave_path());
    QVERIFY(fresh_program.Open());
    QVERIFY(fresh_program.Write("f"));
    QVERIFY(WaitLower(QString::fromUtf8("写串口 1 bytes: f\r\n")));
    QCOMPARE(page_->lower_text(), QString::fromUtf8("Open Com OK\r\n写串口 1 bytes: f\r\n"));
    QCOMPARE(fresh_program.Exit(), 0);
    QCOMPARE(usb_program.Exit(), 0);
}

void MonitorPageTest::allInfoDecodesEveryRequestAndSetsTheFields() {
    StartMonitoring();
    auto app = Program();
    QVERIFY(app->Open());
    QVERIFY(app->SetLine(9600, 7, 'E', 1, true, true));
    QVERIFY(app->SetDtr());
    QVERIFY(app->Purge());
    host_->port(0).WriteAll("ok");
    QCOMPARE(app->Read(2), std::string("ok"));
    QVERIFY(app->Write("hello"));
    QCOMPARE(FarEnd(5), std::string("hello"));
    QVERIFY(app->Close());
    QVERIFY(WaitLower(QStringLiteral("Close Com OK.\r\n\r\n")));
    // Python's tcsetattr reads the settings first, as its tcgetattr did: two rounds of queries.
    const char* const kQueries =
        "查询波特率: 38400 bps\r\n"
        "查询线路状态寄存器(LSR): 8 DataBit ,NO Parity, 1 Stopbit\r\n"
        "查询串口字符: End Char 0x04, Error Char 0x00, Break Char 0x00, Event Char 0x00, XON Char "
        "0x11, XOFF Char 0x13.\r\n"
        "查询流量控制: Xon Limit 0, Xoff Limit 0\r\n";
    const QString expected =
        QString::fromUtf8("Open Com OK\r\n") + QString::fromUtf8(kQueries) +
        QString::fromUtf8(kQueries) +
        QString::fromUtf8(
            "设置波特率: 9600 bps\r\n"
            "设置线路状态寄存器(LSR): 7 DataBit ,EVEN Parity, 1 Stopbit\r\n"
            "设置串口字符: End Char 0x04, Error Char 0x00, Break Char 0x00, Event Char 0x00, XON "
            "Char 0x11, XOFF Char 0x13.\r\n"
            "设置流量控制: CTS Handshake, XON/XOFF Handshake Out, RTS Handshake, Xon Limit 128, "
            "Xoff Limit 128\r\n"
            "设置超时(SetCommTimouts): ReadIntervalTimeouts 0ms, ReadTotalMultiplier 0ms, "
            "ReadTotalConstant 0ms, WriteTotalMultiplier 0ms, WriteTotalConstant 0ms\r\n"
            "设置 DTR.\r\n"
            "清空数据(PurgeComm): 清空接收(RXCLEAR), 清空发送(TXCLEAR), \r\n"
            "读串口 2 bytes: ok\r\n"
            "写串口 5 bytes: hello\r\n"
            "Close Com OK.\r\n\r\n");
    QCOMPARE(page_->lower_text(), expected);
    QCOMPARE(page_->lower_log()->toPlainText(), QString(expected).remove(QLatin1Char('\r')));
    QCOMPARE(Find<QLineEdit>("baudField")->text(), QStringLiteral("9600"));
    QCOMPARE(Find<QLineEdit>("dataBitsField")->text(), QStringLiteral("7"));
    QCOMPARE(Find<QLineEdit>("parityField")->text(), QStringLiteral("EVEN"));
    QCOMPARE(Find<QLineEdit>("stopBitsField")->text(), QStringLiteral("1"));
    QCOMPARE(Find<QLineEdit>("dtrField")->text(), QStringLiteral("Enable"));
    QCOMPARE(Find<QLineEdit>("rtsField")->text(), QStringLiteral("Handshake"));
    QCOMPARE(Find<QLineEdit>("xonLimitField")->text(), QStringLiteral("128"));
    QCOMPARE(Find<QLineEdit>("xoffLimitField")->text(), QStringLiteral("128"));
    QVERIFY(Find<QCheckBox>("ctsOutBox")->isChecked());
    QVERIFY(!Find<QCheckBox>("dsrOutBox")->isChecked());
    QVERIFY(Find<QCheckBox>("xonOutBox")->isChecked());
    QVERIFY(!Find<QCheckBox>("xonInBox")->isChecked());
    QVERIFY(!Find<QCheckBox>("ctsOutBox")->isEnabled());  // display only
    QVERIFY(page_->upper_log()->isHidden());
    // Get-type requests change no field: the port's speed changed outside the program reads
    // back as 57600 while the field keeps the 9600 the program set.
    {
        const comm::UniqueFd outside(
            ::open(host_->port(0).slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        comm::KernelTermios t;
        QVERIFY(comm::GetKernelTermios(outside.get(), t));
        t.cflag = (t.cflag & ~comm::TermiosBits::kCbaud) | comm::TermiosBits::kBother;
        t.ispeed = t.ospeed = 57600;
        QVERIFY(comm::SetKernelTermios(outside.get(), t));
    }
    QVERIFY(app->Open());
    QCOMPARE(app->Speed(), 57600u);
    QVERIFY(WaitUntil([&] {
        return page_->lower_text().contains(QString::fromUtf8("查询波特率: 57600 bps\r\n"));
    }));
    QCOMPARE(Find<QLineEdit>("baudField")->text(), QStringLiteral("9600"));
    QVERIFY(app->Close());
    QCOMPARE(app->Exit(), 0);
}

void MonitorPageTest::dataOnlySplitsWrittenAndReadData() {
    Find<QComboBox>("contentCombo")->setCurrentIndex(1);
    QCOMPARE(page_->content_mode(), ContentMode::kDataOnly);
    QVERIFY(page_->upper_log()->isVisible());
    StartMonitoring();
    auto app = Program();
    QVERIFY(app->Open());
    QVERIFY(app->SetLine(19200));
    QVERIFY(app->Write("AT\r"));
    QCOMPARE(FarEnd(3), std::string("AT\r"));
    host_->port(0).WriteAll("OK\r\n");
    QCOMPARE(app->Read(4), std::string("OK\r\n"));
    QVERIFY(app->Write("ATI"));
    QCOMPARE(FarEnd(3), std::string("ATI"));
    QVERIFY(app->Close());
    QVERIFY(WaitUntil([&] { return page_->lower_text().endsWith(QStringLiteral("OK\r\n")); }));
    QVERIFY(WaitUntil([&] { return page_->upper_text().endsWith(QStringLiteral("ATI")); }));
    // Written data above, read data below; open, close and the line settings show nothing.
    QCOMPARE(page_->upper_text(), QStringLiteral("AT\rATI"));
    QCOMPARE(page_->lower_text(), QStringLiteral("OK\r\n"));
    QCOMPARE(Find<QLineEdit>("baudField")->text(), QString());
    // Back to everything: the upper pane hides, the next lines go to the lower log.
    Find<QComboBox>("contentCombo")->setCurrentIndex(0);
    QVERIFY(page_->upper_log()->isHidden());
    QVERIFY(app->Open());
    QVERIFY(WaitLower(QStringLiteral("Open Com OK\r\n")));
    QCOMPARE(app->Exit(), 0);
    QVERIFY(WaitLower(QStringLiteral("Close Com OK.\r\n\r\n")));
}

void MonitorPageTest::hexDisplayAndTextUpToAZeroByte() {
    StartMonitoring();
    auto app = Program();
    QVERIFY(app->Open());
    QVERIFY(WaitLower(QStringLiteral("Open Com OK\r\n")));
    QVERIFY(app->Write(std::string("A\0B", 3)));
    QVERIFY(WaitLower(QString::fromUtf8("写串口 3 bytes: A\r\n")));
    Find<QCheckBox>("monitorHexBox")->click();
    QVERIFY(app->Write(std::string("A\0\xff", 3)));
    QVERIFY(WaitLower(QString::fromUtf8("写串口 3 bytes: 41 00 ff \r\n")));
    // GBK text is shown as characters.
    Find<QCheckBox>("monitorHexBox")->click();
    QVERIFY(app->Write(text::Utf8ToGbk("串口")));
    QVERIFY(WaitLower(QString::fromUtf8("写串口 4 bytes: 串口\r\n")));
    QCOMPARE(FarEnd(10).size(), size_t{10});
    QCOMPARE(app->Exit(), 0);
}

void MonitorPageTest::limitRuleReplacesTheLog() {
    Find<QCheckBox>("monitorHexBox")->click();
    StartMonitoring();
    auto app = Program();
    QVERIFY(app->Open());
    const std::string block(4000, 'x');
    while (page_->lower_text().size() < MonitorPage::kLogLimit) {
        const qsizetype before = page_->lower_text().size();
        QVERIFY(app->Write(block));
        QCOMPARE(FarEnd(block.size()), block);
        QVERIFY(WaitUntil([&] { return page_->lower_text().size() > before; }));
    }
    QVERIFY(page_->lower_text().size() >= MonitorPage::kLogLimit);
    QVERIFY(app->Write("lost"));
    const QString notice = QStringLiteral("------- Too more data, delete automaticly!! -----\r\n");
    QVERIFY(WaitUntil([&] { return page_->lower_text() == notice; }));
    // Afterwards the log grows again from the notice.
    QVERIFY(app->Write("Z"));
    QVERIFY(WaitLower(QString::fromUtf8("写串口 1 bytes: 5a \r\n")));
    QVERIFY(page_->lower_text().startsWith(notice));
    QCOMPARE(FarEnd(5), std::string("lostZ"));
    QCOMPARE(app->Exit(), 0);
}

void MonitorPageTest::saveWritesBothLogsAndFailsClearly() {
    Find<QComboBox>("contentCombo")->setCurrentIndex(1);
    StartMonitoring();
    auto app = Program();
    QVERIFY(app->Open());
    QVERIFY(app->Write(text::Utf8ToGbk("写入")));
    QVERIFY(WaitUntil([&] { return !page_->upper_text().isEmpty(); }));
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.txt";
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old contents that must go away entirely");
    }
    page_->SaveTo(path);
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray::fromStdString(text::Utf8ToGbk("写入")));
    // The second file type: the calls as a capture, the open, the write and its bytes.
    page_->SaveCaptureTo(dir.path() + "/calls.pcapng");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
        std::fopen(QFile::encodeName(dir.path() + "/calls.pcapng").constData(), "rb"), std::fclose);
    QVERIFY(in);
    porvane::capture::SerialCaptureReader reader(in.get());
    std::vector<porvane::capture::SerialCall> calls;
    for (porvane::capture::SerialCall call;
         reader.Next(call) == porvane::capture::SerialCaptureReader::Result::kCall;)
        calls.push_back(call);
    QVERIFY2(reader.fault().empty(), reader.fault().c_str());
    QVERIFY(calls.size() >= 2);
    QVERIFY(std::any_of(calls.begin(), calls.end(), [](const porvane::capture::SerialCall& c) {
        return c.kind == sievra::kKindCreate;
    }));
    QCOMPARE(calls.back().kind, sievra::kKindWrite);
    QCOMPARE(calls.back().port, host_->port(0).slave_path());
    QCOMPARE(std::string(calls.back().data.begin(), calls.back().data.end()),
             text::Utf8ToGbk("写入"));
    MessageCatcher catcher;
    page_->SaveTo(dir.path() + "/no/such/folder/log.txt");
    page_->SaveCaptureTo(dir.path() + "/no/such/folder/calls.pcapng");
    page_->SaveCaptureTo(QStringLiteral("/dev/full"));
    QCOMPARE(catcher.messages, QStringList(3, QString::fromUtf8("文件打开失败!")));
    QTest::mouseClick(Find<QPushButton>("monitorClearButton"), Qt::LeftButton);
    QVERIFY(page_->upper_text().isEmpty() && page_->lower_text().isEmpty());
    QVERIFY(page_->upper_log()->toPlainText().isEmpty());
    QCOMPARE(page_->calls().size(), size_t{0});
    QCOMPARE(app->Exit(), 0);
}

// TX and RX count what the watched program wrote and read, each run on its own; "重新计数" brings
// them to 0 and they stay there until the program moves bytes again.
void MonitorPageTest::stripCountsTheWatchedProgramsBytesFromZero() {
    auto* tx = Find<QLabel>("txLabel");
    auto* rx = Find<QLabel>("rxLabel");
    QSignalSpy ticks(page_->findChild<QTimer*>("statusTimer"), &QTimer::timeout);
    const std::string written(36, 'w');
    const std::string answer(48, 'r');
    auto run = [&] {
        auto app = Program();
        QVERIFY(app->Open());
        QVERIFY(app->Write(written));
        QCOMPARE(FarEnd(written.size()), written);
        host_->port(0).WriteAll(answer);
        QCOMPARE(app->Read(answer.size()), answer);
        QCOMPARE(app->Exit(), 0);
    };
    for (int round = 0; round < 2; ++round) {
        StartMonitoring();
        QTRY_COMPARE_WITH_TIMEOUT(ticks.size() > 0 && tx->text() == QStringLiteral("TX: 0"), true,
                                  30000);
        run();
        QTRY_COMPARE_WITH_TIMEOUT(tx->text(), QStringLiteral("TX: 36"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(rx->text(), QStringLiteral("RX: 48"), 30000);
        QTest::mouseClick(Find<QPushButton>("resetCountButton"), Qt::LeftButton);
        QCOMPARE(tx->text(), QStringLiteral("TX: 0"));
        for (int i = 0; i < 2; ++i)
            QVERIFY(ticks.wait(30000));
        QCOMPARE(tx->text(), QStringLiteral("TX: 0"));
        QCOMPARE(rx->text(), QStringLiteral("RX: 0"));
        QTest::mouseClick(Find<QPushButton>("monitorStartButton"), Qt::LeftButton);
        QVERIFY(!page_->running());
        ticks.clear();
    }
}

void MonitorPageTest::statusStripAnswersThroughTheLink() {
    // Stopped: the control byte is 0 and the statistics are left as the asker passed them.
    uint8_t control = 0xFF;
    page_->PageNotify(porvane::serial::PN_GET_MODEM_CONTROL, &control);
    QCOMPARE(control, uint8_t{0});
    comm::SerialStats stats;
    stats.ReceivedCount = 77;
    page_->PageNotify(porvane::serial::PN_GET_STATISTICS, &stats);
    QCOMPARE(stats.ReceivedCount, 77u);
    StartMonitoring();
    // Running: both come from the port's driver below the filter (a port nobody has open
    // answers zeros).
    control = 0xFF;
    page_->PageNotify(porvane::serial::PN_GET_MODEM_CONTROL, &control);
    QCOMPARE(control, uint8_t{0});
    page_->PageNotify(porvane::serial::PN_GET_STATISTICS, &stats);
    QCOMPARE(stats.ReceivedCount, 0u);
    // The modem status reaches the strip's lamps.
    uint32_t status = 0x10 | 0x80;
    page_->PageNotify(porvane::serial::PN_MODEM_STATUS, &status);
    QVERIFY(page_->findChild<porvane::widgets::Lamp*>("ctsLamp")->lit());
    QVERIFY(page_->findChild<porvane::widgets::Lamp*>("cdLamp")->lit());
    QVERIFY(!page_->findChild<porvane::widgets::Lamp*>("dsrLamp")->lit());
    // The page's modem timer polls the port's modem status while monitoring.
    auto* timer = page_->findChild<QTimer*>("modemTimer");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 100);
    page_->status_strip()->SetModemControl(0x03);
    QVERIFY(page_->findChild<porvane::widgets::Lamp*>("dtrLamp")->lit());
    // A port nobody has open reports every line low.
    QVERIFY(WaitUntil([&] {
        return !page_->findChild<porvane::widgets::Lamp*>("ctsLamp")->lit() &&
               !page_->findChild<porvane::widgets::Lamp*>("dtrLamp")->lit() &&
               !page_->findChild<porvane::widgets::Lamp*>("rtsLamp")->lit();
    }));
    QTest::mouseClick(Find<QPushButton>("monitorStartButton"), Qt::LeftButton);
    QVERIFY(!timer->isActive());
}

void MonitorPageTest::startFailures() {
    {
        // The control device is held by someone else.
        porvane::monitor::DriverLink holder(host_->runtime_dir());
        QVERIFY(holder.Open(0));
        MessageCatcher catcher;
        QTest::mouseClick(Find<QPushButton>("monitorStartButton"), Qt::LeftButton);
        QVERIFY(!page_->running());
        QCOMPARE(catcher.messages, QStringList{QString::fromUtf8("不能开始监视,驱动失败!!")});
        QVERIFY(Find<QPushButton>("monitorStartButton")->isEnabled());
    }
    host_->SetInstalled(false);
    MessageCatcher catcher;
    QTest::mouseClick(Find<QPushButton>("monitorStartButton"), Qt::LeftButton);
    QCOMPARE(catcher.messages,
             QStringList{QString::fromUtf8("没有安装监视/过滤驱动程序,请看'关于帮助'的说明.")});
    QVERIFY(!page_->running());
    QVERIFY(!Find<QPushButton>("monitorStartButton")->isEnabled());
}

void MonitorPageTest::aHostThatGoesAwayStopsThePage() {
    StartMonitoring();
    std::string errors;
    QVERIFY2(host_->Shutdown(errors), errors.c_str());
    QVERIFY(WaitUntil([&] { return !page_->running(); }));
    QCOMPARE(Find<QPushButton>("monitorStartButton")->text(), QString::fromUtf8("开始监视"));
    QVERIFY(!Find<porvane::widgets::Lamp>("monitorLamp")->lit());
    QVERIFY(Find<QComboBox>("monitorPortCombo")->isEnabled());
}

void MonitorPageTest::splitRatioStaysWithinItsBounds() {
    QCOMPARE(page_->split_ratio(), 0.5);
    page_->DragSplitTo(-50);  // dragging works unseen in 全部信息 too
    QCOMPARE(page_->split_ratio(), 0.02);
    Find<QComboBox>("contentCombo")->setCurrentIndex(1);
    page_->DragSplitTo(100000);
    QCOMPARE(page_->split_ratio(), 0.98);
    auto* panes = Find<QWidget>("monitorPanes");
    page_->DragSplitTo(panes->height() / 4);
    QVERIFY(qAbs(page_->split_ratio() - 0.25) < 0.01);
    QVERIFY(qAbs(page_->upper_log()->height() - panes->height() / 4) <= 8);
    // A larger page keeps the ratio.
    page_->resize(900, 800);
    QVERIFY(
        WaitUntil([&] { return qAbs(page_->upper_log()->height() * 4 - panes->height()) <= 32; }));
}

void MonitorPageTest::screenshots() {
    page_.reset();
    porvane::shell::MainDialog window;
    window.show();
    window.tabs()->setCurrentIndex(2);
    MonitorPage* page = window.monitor_page();
    QTest::mouseClick(page->findChild<QPushButton*>("monitorStartButton"), Qt::LeftButton);
    QVERIFY(page->running());
    // A program talking to a modem: it sets the line, raises DTR, clears the queues, then asks
    // and reads the answers.
    auto app = Program();
    QVERIFY(app->Open());
    QVERIFY(app->SetLine(115200, 8, 'N', 1, true));
    QVERIFY(app->SetDtr());
    QVERIFY(app->Purge());
    const std::string answer = "+CSQ: 21,0\r\nOK\r\n";
    for (int i = 0; i < 4; ++i) {
        QVERIFY(app->Write("AT+CSQ\r\n"));
        QCOMPARE(FarEnd(8), std::string("AT+CSQ\r\n"));
        host_->port(0).WriteAll(answer);
        QCOMPARE(app->Read(answer.size()), answer);
    }
    QVERIFY(WaitUntil([&] { return page->lower_text().count(QString::fromUtf8("读串口")) >= 4; }));
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("monitor.png")));

    page->findChild<QComboBox*>("contentCombo")->setCurrentIndex(1);
    page->findChild<QCheckBox*>("monitorHexBox")->click();
    const std::string maker = "Modem 1\r\nOK\r\n";
    for (int i = 0; i < 4; ++i) {
        QVERIFY(app->Write("AT+CGMI\r\n"));
        QCOMPARE(FarEnd(9), std::string("AT+CGMI\r\n"));
        host_->port(0).WriteAll(maker);
        QCOMPARE(app->Read(maker.size()), maker);
    }
    QVERIFY(WaitUntil([&] { return page->upper_text().count(QStringLiteral("0d 0a")) == 4; }));
    QVERIFY(WaitUntil([&] { return page->lower_text().count(QStringLiteral("4f 4b")) == 4; }));
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("monitor-data.png")));
    QCOMPARE(app->Exit(), 0);
}

QTEST_MAIN(MonitorPageTest)
#include "monitor_page_test.moc"
