// The monitor page against a real driver host, with a program's requests on the port.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

#include "application_under_test.h"
#include "driver_host.h"
#include "platform/comm/serial_stats.h"
#include "platform/text/gbk.h"
#include "porvane/monitor/driver_link.h"
#include "porvane/monitor/ui/monitor_page.h"
#include "porvane/serial/page_notify.h"
#include "porvane/shell/ui/main_dialog.h"
#include "porvane/shell/ui/status_strip.h"
#include "porvane/widgets/lamp.h"
#include "qt_test_support.h"

using porvane::monitor::ContentMode;
using porvane::monitor::MonitorPage;
using porvane::monitor::testing::ApplicationUnderTest;
using porvane::monitor::testing::DriverHost;
using porvane::testing::MessageCatcher;
using porvane::testing::WaitUntil;

class MonitorPageTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();

    void startStopAndTheLamp();
    void allInfoDecodesEveryRequestAndSetsTheFields();
    void dataOnlySplitsWrittenAndReadData();
    void hexDisplayAndTextUpToAZeroByte();
    void limitRuleReplacesTheLog();
    void saveWritesBothLogsAndFailsClearly();
    void statusStripAnswersThroughTheLink();
    void startFailures();
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

    std::unique_ptr<DriverHost> host_;
    std::unique_ptr<MonitorPage> page_;
};

void MonitorPageTest::init() {
    host_ = std::make_unique<DriverHost>();
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
    QCOMPARE(port->count(), 2);
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

void MonitorPageTest::allInfoDecodesEveryRequestAndSetsTheFields() {
    StartMonitoring();
    ApplicationUnderTest app(host_->runtime_dir(), 1);
    QVERIFY(app.connected());
    QCOMPARE(app.Open(), 0);
    QCOMPARE(app.SetBaud(9600), 0);
    QCOMPARE(app.SetLineControl(0, 2, 8), 0);
    QCOMPARE(app.SetHandflow(0x01 | 0x08, 0xC0 | 0x01, 100, 200), 0);
    QCOMPARE(app.SetDtr(), 0);
    QCOMPARE(app.Purge(0x0F), 0);
    QCOMPARE(app.Read(16), 0);
    QCOMPARE(app.Write("hello"), 0);
    QCOMPARE(app.Close(), 0);
    QVERIFY(WaitLower(QStringLiteral("Close Com OK.\r\n\r\n")));
    const QString expected = QString::fromUtf8(
        "Open Com OK\r\n"
        "设置波特率: 9600 bps\r\n"
        "设置线路状态寄存器(LSR): 8 DataBit ,EVEN Parity, 1 Stopbit\r\n"
        "设置流量控制: CTS Handshake, XON/XOFF Handshake Out, RTS Handshake, Xon Limit 100, "
        "Xoff Limit 200\r\n"
        "设置 DTR.\r\n"
        "清空数据(PurgeComm): 清空接收(RXCLEAR), 清空发送(TXCLEAR), 取消读命令(RXABORT), "
        "取消写命令(TXABORT), \r\n"
        "读串口 0 bytes: \r\n"
        "写串口 5 bytes: hello\r\n"
        "Close Com OK.\r\n\r\n");
    QCOMPARE(page_->lower_text(), expected);
    QCOMPARE(page_->lower_log()->toPlainText(), QString(expected).remove(QLatin1Char('\r')));
    QCOMPARE(Find<QLineEdit>("baudField")->text(), QStringLiteral("9600"));
    QCOMPARE(Find<QLineEdit>("dataBitsField")->text(), QStringLiteral("8"));
    QCOMPARE(Find<QLineEdit>("parityField")->text(), QStringLiteral("EVEN"));
    QCOMPARE(Find<QLineEdit>("stopBitsField")->text(), QStringLiteral("1"));
    QCOMPARE(Find<QLineEdit>("dtrField")->text(), QStringLiteral("Enable"));
    QCOMPARE(Find<QLineEdit>("rtsField")->text(), QStringLiteral("Toggle"));
    QCOMPARE(Find<QLineEdit>("xonLimitField")->text(), QStringLiteral("100"));
    QCOMPARE(Find<QLineEdit>("xoffLimitField")->text(), QStringLiteral("200"));
    QVERIFY(Find<QCheckBox>("ctsOutBox")->isChecked());
    QVERIFY(!Find<QCheckBox>("dsrOutBox")->isChecked());
    QVERIFY(Find<QCheckBox>("xonOutBox")->isChecked());
    QVERIFY(!Find<QCheckBox>("xonInBox")->isChecked());
    QVERIFY(!Find<QCheckBox>("ctsOutBox")->isEnabled());  // display only
    QVERIFY(page_->upper_log()->isHidden());
    // A get-type request changes no field.
    QCOMPARE(app.Open(), 0);
    QCOMPARE(app.Control(0x1B0050, {}, 4), 0);
    QVERIFY(WaitLower(QString::fromUtf8("查询波特率: 0 bps\r\n")));
    QCOMPARE(Find<QLineEdit>("baudField")->text(), QStringLiteral("9600"));
    QCOMPARE(app.Close(), 0);
}

void MonitorPageTest::dataOnlySplitsWrittenAndReadData() {
    Find<QComboBox>("contentCombo")->setCurrentIndex(1);
    QCOMPARE(page_->content_mode(), ContentMode::kDataOnly);
    QVERIFY(page_->upper_log()->isVisible());
    StartMonitoring();
    ApplicationUnderTest app(host_->runtime_dir(), 1);
    QCOMPARE(app.Open(), 0);
    QCOMPARE(app.SetBaud(19200), 0);
    QCOMPARE(app.Write("AT\r"), 0);
    QCOMPARE(app.Read(8), 0);
    QCOMPARE(app.Write("OK"), 0);
    QCOMPARE(app.Close(), 0);
    QVERIFY(WaitUntil([&] { return page_->upper_text().endsWith(QStringLiteral("OK")); }));
    QCOMPARE(page_->upper_text(), QStringLiteral("AT\rOK"));
    // Open, close, control and an empty read change nothing: no text, no field.
    QCOMPARE(page_->lower_text(), QString());
    QCOMPARE(Find<QLineEdit>("baudField")->text(), QString());
    // Back to everything: the upper pane hides, the next lines go to the lower log.
    Find<QComboBox>("contentCombo")->setCurrentIndex(0);
    QVERIFY(page_->upper_log()->isHidden());
    QCOMPARE(app.Open(), 0);
    QVERIFY(WaitLower(QStringLiteral("Open Com OK\r\n")));
    QCOMPARE(app.Close(), 0);
}

void MonitorPageTest::hexDisplayAndTextUpToAZeroByte() {
    StartMonitoring();
    ApplicationUnderTest app(host_->runtime_dir(), 1);
    QCOMPARE(app.Open(), 0);
    QVERIFY(WaitLower(QStringLiteral("Open Com OK\r\n")));
    QCOMPARE(app.Write(std::string("A\0B", 3)), 0);
    QVERIFY(WaitLower(QString::fromUtf8("写串口 3 bytes: A\r\n")));
    Find<QCheckBox>("monitorHexBox")->click();
    QCOMPARE(app.Write(std::string("A\0\xff", 3)), 0);
    QVERIFY(WaitLower(QString::fromUtf8("写串口 3 bytes: 41 00 ff \r\n")));
    // GBK text is shown as characters.
    Find<QCheckBox>("monitorHexBox")->click();
    QCOMPARE(app.Write(text::Utf8ToGbk("串口")), 0);
    QVERIFY(WaitLower(QString::fromUtf8("写串口 4 bytes: 串口\r\n")));
    QCOMPARE(app.Close(), 0);
}

void MonitorPageTest::limitRuleReplacesTheLog() {
    Find<QCheckBox>("monitorHexBox")->click();
    StartMonitoring();
    ApplicationUnderTest app(host_->runtime_dir(), 1);
    QCOMPARE(app.Open(), 0);
    const std::string block(4000, 'x');
    while (page_->lower_text().size() < MonitorPage::kLogLimit) {
        const qsizetype before = page_->lower_text().size();
        QCOMPARE(app.Write(block), 0);
        QVERIFY(WaitUntil([&] { return page_->lower_text().size() > before; }));
    }
    QVERIFY(page_->lower_text().size() >= MonitorPage::kLogLimit);
    QCOMPARE(app.Write("lost"), 0);
    const QString notice = QStringLiteral("------- Too more data, delete automaticly!! -----\r\n");
    QVERIFY(WaitUntil([&] { return page_->lower_text() == notice; }));
    // Afterwards the log grows again from the notice.
    QCOMPARE(app.Write("Z"), 0);
    QVERIFY(WaitLower(QString::fromUtf8("写串口 1 bytes: 5a \r\n")));
    QVERIFY(page_->lower_text().startsWith(notice));
    QCOMPARE(app.Close(), 0);
}

void MonitorPageTest::saveWritesBothLogsAndFailsClearly() {
    Find<QComboBox>("contentCombo")->setCurrentIndex(1);
    StartMonitoring();
    ApplicationUnderTest app(host_->runtime_dir(), 1);
    QCOMPARE(app.Open(), 0);
    QCOMPARE(app.Write(text::Utf8ToGbk("写入")), 0);
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
    MessageCatcher catcher;
    page_->SaveTo(dir.path() + "/no/such/folder/log.txt");
    QCOMPARE(catcher.messages, QStringList{QString::fromUtf8("文件打开失败!")});
    QTest::mouseClick(Find<QPushButton>("monitorClearButton"), Qt::LeftButton);
    QVERIFY(page_->upper_text().isEmpty() && page_->lower_text().isEmpty());
    QVERIFY(page_->upper_log()->toPlainText().isEmpty());
    QCOMPARE(app.Close(), 0);
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
    ApplicationUnderTest app(host_->runtime_dir(), 1);
    QCOMPARE(app.Open(), 0);
    QCOMPARE(app.SetBaud(115200), 0);
    QCOMPARE(app.SetLineControl(0, 0, 8), 0);
    QCOMPARE(app.SetHandflow(0x01, 0x40, 2048, 512), 0);
    QCOMPARE(
        app.Control(0x1B001C, {0, 0, 0, 0, 0, 0, 0, 0, 0xE8, 3, 0, 0, 0, 0, 0, 0, 0xE8, 3, 0, 0}),
        0);
    QCOMPARE(app.Control(0x1B0044, {0x09, 0, 0, 0}), 0);
    QCOMPARE(app.SetDtr(), 0);
    QCOMPARE(app.Purge(0x0F), 0);
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(app.Write("AT+CSQ\r\n"), 0);
        QCOMPARE(app.Read(64), 0);
    }
    QVERIFY(WaitUntil([&] { return page->lower_text().count(QString::fromUtf8("读串口")) == 6; }));
    QDir().mkpath(QStringLiteral(PORVANE_SCREENSHOT_DIR));
    QVERIFY(window.grab().save(QStringLiteral(PORVANE_SCREENSHOT_DIR "/monitor.png")));

    page->findChild<QComboBox*>("contentCombo")->setCurrentIndex(1);
    page->findChild<QCheckBox*>("monitorHexBox")->click();
    for (int i = 0; i < 4; ++i)
        QCOMPARE(app.Write("AT+CGMI\r\n"), 0);
    QVERIFY(WaitUntil([&] { return page->upper_text().count(QStringLiteral("0d 0a")) == 4; }));
    QVERIFY(window.grab().save(QStringLiteral(PORVANE_SCREENSHOT_DIR "/monitor-data.png")));
    QCOMPARE(app.Close(), 0);
}

QTEST_MAIN(MonitorPageTest)
#include "monitor_page_test.moc"
