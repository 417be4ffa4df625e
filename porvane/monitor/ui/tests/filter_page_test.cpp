// The filter page against a real driver host, filtering a real program under the attachment on a
// pseudo-terminal port.
#include <fcntl.h>
#include <termios.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include "platform/comm/kernel_termios.h"
#include "platform/comm/unique_fd.h"

#include "application_under_test.h"
#include "driver_host.h"
#include "platform/qt_testing/qt_test_support.h"
#include "porvane/monitor/driver_link.h"
#include "porvane/monitor/ui/filter_page.h"
#include "porvane/shell/ui/main_dialog.h"
#include "porvane/widgets/lamp.h"

using porvane::monitor::FilterPage;
using porvane::monitor::testing::ApplicationUnderTest;
using porvane::monitor::testing::DriverHost;
using qt_testing::MessageCatcher;
using qt_testing::WaitUntil;

class FilterPageTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();

    void descriptionsFollowTheActionTheByteAndTheValues_data();
    void descriptionsFollowTheActionTheByteAndTheValues();
    void startOnAPortNobodyHasOpenSaysSo();
    void startAfterTheProgramClosedItsPortSaysSo();
    void startFailures();
    void aHostThatGoesAwayStopsThePage();
    void sendCountRuleOnceAndPeriodic();
    void sendTimeRuleOfOneSecond();
    void aPeriodicTimeRowOfZeroSecondsFiresAtTheShortestPeriod();
    void receiveDelete();
    void forceChangeReachesTheProgramsPort();
    void eventListStaysWhereTheUserScrolledAndFillsTheWidth();
    void screenshot();

  private:
    template <class T>
    T* Find(const char* name) {
        return page_->findChild<T*>(QString::fromLatin1(name));
    }
    void Click(const char* name) { QTest::mouseClick(Find<QPushButton>(name), Qt::LeftButton); }
    std::unique_ptr<ApplicationUnderTest> Program() {
        return std::make_unique<ApplicationUnderTest>(host_->runtime_dir(),
                                                      host_->port(0).slave_path());
    }
    // The program opens its port at 9600 bps with two stop bits; the page starts filtering it.
    bool StartOnOpenPort(ApplicationUnderTest& app, FilterPage* page = nullptr);
    // The far end of the line: what the program wrote, read away so the line never fills.
    std::string FarEnd(size_t n) { return host_->port(0).ReadExactly(n, 30000); }
    QString Cell(int row, int column) { return page_->events()->item(row, column)->text(); }

    std::unique_ptr<DriverHost> host_;
    std::unique_ptr<FilterPage> page_;
};

void FilterPageTest::init() {
    host_ = std::make_unique<DriverHost>();
    QVERIFY(host_->serving());
    page_ = std::make_unique<FilterPage>();
    page_->resize(900, 600);
    page_->show();
}

void FilterPageTest::cleanup() {
    page_.reset();
    std::string errors;
    const bool clean = host_->Shutdown(errors);
    host_.reset();
    QVERIFY2(clean, errors.substr(0, 4000).c_str());
}

bool FilterPageTest::StartOnOpenPort(ApplicationUnderTest& app, FilterPage* page) {
    if (page == nullptr)
        page = page_.get();
    if (!app.Open() || !app.SetLine(9600, 8, 'N', 2)) {
        qWarning("the program did not open and set its port");
        return false;
    }
    if (!porvane::monitor::testing::WaitUntilTheHostSees(host_->runtime_dir(), 0, true)) {
        qWarning("the host never saw the program's open");
        return false;
    }
    MessageCatcher catcher;
    QTest::mouseClick(page->findChild<QPushButton*>("filterStartButton"), Qt::LeftButton);
    if (!catcher.messages.isEmpty())
        qWarning() << "Start said" << catcher.messages;
    return page->filtering();
}

void FilterPageTest::descriptionsFollowTheActionTheByteAndTheValues_data() {
    QTest::addColumn<int>("action");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("flip") << 0
                          << QStringList{"描述: 按开始后,第1000个字符的掩码位(0x01)将会取反.",
                                         "描述: 按开始10秒后,一个发送字符的掩码位(0x01)将会取反.",
                                         "描述: 描述: 按开始后,第1000个字符的掩码位(0x01)将会取反.",
                                         "描述: 在开始10秒后,一个接收字符的掩码位(0x01)将会取反."};
    QTest::newRow("replace") << 1
                             << QStringList{"描述: 按开始后,第1000个字符将被字符(0x01)替换.",
                                            "描述: 按开始10秒后,一个发送字符将被字符(0x01)替换.",
                                            "描述: 描述: 按开始后,第1000个字符将被字符(0x01)替换.",
                                            "描述: 在开始10秒后,一个接收字符将被字符(0x01)替换."};
    QTest::newRow("delete") << 2
                            << QStringList{"描述: 按开始后,第1000个字符将被删除.",
                                           "描述: 按开始10秒后,一个发送字符将被删除.",
                                           "描述: 描述: 按开始后,第1000个字符将被删除.",
                                           "描述: 在开始10秒后,一个接收字符将被删除."};
}

void FilterPageTest::descriptionsFollowTheActionTheByteAndTheValues() {
    QFETCH(int, action);
    QFETCH(QStringList, texts);
    static const char* const kLabels[] = {"sendCountDescription", "sendTimeDescription",
                                          "recvCountDescription", "recvTimeDescription"};
    Find<QComboBox>("actionCombo")->setCurrentIndex(action);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(Find<QLabel>(kLabels[i])->text(), texts[i]);
    static const char* const kByteLabels[] = {"误码掩码", "替换字符", "删除字符"};
    QCOMPARE(Find<QLabel>("byteLabel")->text(), QString::fromUtf8(kByteLabels[action]));
    QCOMPARE(Find<QLineEdit>("byteField")->isEnabled(), action != 2);
    QCOMPARE(Find<QLabel>("byteLabel")->isEnabled(), action != 2);
    // The byte (hexadecimal) refreshes all four rows; a row's value only its own.
    Find<QLineEdit>("byteField")->setText(QStringLiteral("aB"));
    Find<QLineEdit>("recvCountValue")->setText(QStringLiteral("-7"));
    const QString send_count = Find<QLabel>("sendCountDescription")->text();
    const QString recv_count = Find<QLabel>("recvCountDescription")->text();
    if (action == 2) {
        QCOMPARE(send_count, texts[0]);
        QCOMPARE(recv_count, QString::fromUtf8("描述: 描述: 按开始后,第-7个字符将被删除."));
    } else {
        QVERIFY(send_count.contains(QStringLiteral("(0xab)")));
        QVERIFY(send_count.contains(QStringLiteral("第1000个")));
        QVERIFY(recv_count.contains(QStringLiteral("第-7个")));
    }
}

void FilterPageTest::startOnAPortNobodyHasOpenSaysSo() {
    MessageCatcher catcher;
    Click("filterStartButton");
    QCOMPARE(catcher.messages, QStringList{QString::fromUtf8("要过滤的串口没有打开,请先打开")});
    QVERIFY(!page_->filtering());
    QVERIFY(!Find<porvane::widgets::Lamp>("filterLamp")->lit());
    QVERIFY(!Find<QPushButton>("forceButton")->isEnabled());
    // The link was closed again: another client can have the port.
    QVERIFY(porvane::monitor::DriverLink(host_->runtime_dir()).Open(0));
    // Rule buttons while stopped do nothing and say nothing.
    Click("sendCountStart");
    Find<QCheckBox>("recvCountPeriodic")->click();
    QVERIFY(catcher.messages.size() == 1);
}

void FilterPageTest::startAfterTheProgramClosedItsPortSaysSo() {
    auto app = Program();
    QVERIFY(StartOnOpenPort(*app));
    Click("filterStartButton");
    QVERIFY(!page_->filtering());
    QVERIFY(app->Close());
    QVERIFY(porvane::monitor::testing::WaitUntilTheHostSees(host_->runtime_dir(), 0, false));
    MessageCatcher catcher;
    Click("filterStartButton");
    QCOMPARE(catcher.messages, QStringList{QString::fromUtf8("要过滤的串口没有打开,请先打开")});
    QVERIFY(!page_->filtering());
    QCOMPARE(app->Exit(), 0);
}

void FilterPageTest::startFailures() {
    {
        porvane::monitor::DriverLink holder(host_->runtime_dir());
        QVERIFY(holder.Open(0));
        MessageCatcher catcher;
        Click("filterStartButton");
        QCOMPARE(catcher.messages, QStringList{QString::fromUtf8("不能开始过滤,驱动失败!!")});
        QVERIFY(!page_->filtering());
    }
    host_->SetInstalled(false);
    MessageCatcher catcher;
    Click("filterStartButton");
    QCOMPARE(catcher.messages,
             QStringList{QString::fromUtf8("没有安装监视/过滤驱动程序,请看'关于帮助'的说明.")});
    QVERIFY(!Find<QPushButton>("filterStartButton")->isEnabled());
}

void FilterPageTest::aHostThatGoesAwayStopsThePage() {
    auto app = Program();
    QVERIFY(StartOnOpenPort(*app));
    std::string errors;
    QVERIFY2(host_->Shutdown(errors), errors.c_str());
    QVERIFY(WaitUntil([&] { return !page_->filtering(); }));
    QCOMPARE(Find<QPushButton>("filterStartButton")->text(), QString::fromUtf8("开始过滤"));
    QCOMPARE(app->Exit(), 0);  // the program ran on without the host
}

void FilterPageTest::sendCountRuleOnceAndPeriodic() {
    auto app = Program();
    QVERIFY(StartOnOpenPort(*app));
    // The port's real settings read back into the lists (a pseudo-terminal keeps 8 data bits
    // and no parity whatever it is asked).
    QCOMPARE(Find<QComboBox>("forceBaudCombo")->currentText(), QStringLiteral("9600"));
    QCOMPARE(Find<QComboBox>("forceDataBitsCombo")->currentText(), QStringLiteral("8"));
    QCOMPARE(Find<QComboBox>("forceParityCombo")->currentText(), QStringLiteral("NO"));
    QCOMPARE(Find<QComboBox>("forceStopBitsCombo")->currentText(), QStringLiteral("2"));
    QVERIFY(Find<QPushButton>("forceButton")->isEnabled());
    Find<QComboBox>("actionCombo")->setCurrentIndex(1);
    Find<QLineEdit>("byteField")->setText(QStringLiteral("55"));
    Click("sendCountStart");
    // 2500 bytes: the 1000th, and only it, is replaced, as seen at the far end of the line.
    std::string sent;
    for (int i = 0; i < 5; ++i) {
        const std::string block(500, static_cast<char>('A' + i));
        QVERIFY(app->Write(block));
        sent += block;
    }
    std::string expected = sent;
    expected[999] = 0x55;
    QCOMPARE(FarEnd(sent.size()), expected);
    QVERIFY(WaitUntil([&] { return page_->events()->rowCount() >= 1; }));
    QCOMPARE(page_->events()->rowCount(), 1);
    QCOMPARE(Cell(0, 0), QString::fromUtf8("发送字节替换"));
    QCOMPARE(Cell(0, 2), QStringLiteral("0x42 --> 0x55"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d \\d+$"))
                .match(Cell(0, 1))
                .hasMatch());
    // Ticking "周期性" re-sends the rule: one event per 1000 bytes from now on.
    Find<QCheckBox>("sendCountPeriodic")->click();
    const std::string block(500, 'C');
    for (int i = 0; i < 6; ++i) {
        QVERIFY(app->Write(block));
        QCOMPARE(FarEnd(block.size()).size(), block.size());
    }
    QVERIFY(WaitUntil([&] { return page_->events()->rowCount() == 4; }));
    QVERIFY(app->Write(std::string(999, 'C')));
    QCOMPARE(FarEnd(999), std::string(999, 'C'));
    QVERIFY(app->Write("C"));
    QCOMPARE(FarEnd(1), std::string("\x55"));
    QVERIFY(WaitUntil([&] { return page_->events()->rowCount() == 5; }));
    QCOMPARE(Cell(4, 0), QString::fromUtf8("发送字节替换"));
    QCOMPARE(Cell(4, 2), QStringLiteral("0x43 --> 0x55"));
    QCOMPARE(app->Exit(), 0);
}

void FilterPageTest::sendTimeRuleOfOneSecond() {
    auto app = Program();
    QVERIFY(StartOnOpenPort(*app));
    Find<QComboBox>("actionCombo")->setCurrentIndex(0);
    Find<QLineEdit>("byteField")->setText(QStringLiteral("ff"));
    Find<QLineEdit>("sendTimeValue")->setText(QStringLiteral("1"));
    auto* timer = page_->findChild<QTimer*>("sendTimeTimer");
    QSignalSpy armed(timer, &QTimer::timeout);
    Click("sendTimeStart");
    QCOMPARE(timer->interval(), 1000);
    QVERIFY(armed.wait(10000));
    QVERIFY(!timer->isActive());  // not periodic: armed once
    // The next byte the program sends is flipped, and only that one.
    QVERIFY(app->Write("AB"));
    QCOMPARE(FarEnd(2), std::string("\xbe"
                                    "B"));
    QVERIFY(WaitUntil([&] { return page_->events()->rowCount() == 1; }));
    QCOMPARE(Cell(0, 0), QString::fromUtf8("发送时间误码"));
    QCOMPARE(Cell(0, 2), QStringLiteral("0x41 --> 0xbe"));
    QVERIFY(app->Write("CD"));
    QCOMPARE(FarEnd(2), std::string("CD"));
    QCOMPARE(app->Exit(), 0);
    QCOMPARE(page_->events()->rowCount(), 1);
}

void FilterPageTest::aPeriodicTimeRowOfZeroSecondsFiresAtTheShortestPeriod() {
    Find<QLineEdit>("recvTimeValue")->setText(QStringLiteral("0"));
    auto* timer = page_->findChild<QTimer*>("recvTimeTimer");
    QSignalSpy armed(timer, &QTimer::timeout);
    Find<QCheckBox>("recvTimePeriodic")->click();
    QCOMPARE(timer->interval(), 10);
    QVERIFY(armed.wait(10000));
    QVERIFY(timer->isActive());  // periodic: armed again every 10 ms
    Find<QCheckBox>("recvTimePeriodic")->click();
    QCOMPARE(timer->interval(), 10);
    QVERIFY(armed.wait(10000));
    QVERIFY(!timer->isActive());  // not periodic: armed once
}

void FilterPageTest::receiveDelete() {
    auto app = Program();
    QVERIFY(StartOnOpenPort(*app));
    Find<QComboBox>("actionCombo")->setCurrentIndex(2);
    Find<QLineEdit>("recvCountValue")->setText(QStringLiteral("3"));
    Click("recvCountStart");
    // The program reads what the line brings, less the third byte.
    host_->port(0).WriteAll("xyz!");
    QCOMPARE(app->Read(3), std::string("xy!"));
    QVERIFY(WaitUntil([&] { return page_->events()->rowCount() == 1; }));
    QCOMPARE(Cell(0, 0), QString::fromUtf8("接收字节删除"));
    QCOMPARE(Cell(0, 2), QString::fromUtf8("字符0x7a被删除"));
    host_->port(0).WriteAll("more");
    QCOMPARE(app->Read(4), std::string("more"));
    QCOMPARE(app->Exit(), 0);
}

void FilterPageTest::forceChangeReachesTheProgramsPort() {
    auto app = Program();
    QVERIFY(StartOnOpenPort(*app));
    Find<QComboBox>("forceBaudCombo")->setCurrentText(QStringLiteral("57600"));
    Find<QComboBox>("forceDataBitsCombo")->setCurrentIndex(0);
    Find<QComboBox>("forceParityCombo")->setCurrentIndex(0);
    Find<QComboBox>("forceStopBitsCombo")->setCurrentIndex(0);
    Click("forceButton");
    // The real port changed behind the program's back: seen from another descriptor and by the
    // program's own tcgetattr.
    const comm::UniqueFd other(::open(host_->port(0).slave_path().c_str(), O_RDWR | O_NOCTTY));
    QVERIFY(other.get() >= 0);
    comm::KernelTermios seen;
    QVERIFY(comm::GetKernelTermios(other.get(), seen));
    QCOMPARE(seen.ospeed, 57600u);
    QVERIFY(!(seen.cflag & comm::TermiosBits::kCstopb));
    QCOMPARE(app->Speed(), 57600u);
    // A standard rate is set by its code, which the program's tcgetattr understands; a rate
    // without one as a number.
    QCOMPARE(app->SpeedCode(), static_cast<uint32_t>(B57600));
    Find<QComboBox>("forceBaudCombo")->setCurrentText(QStringLiteral("14400"));
    Click("forceButton");
    QCOMPARE(app->Speed(), 14400u);
    QCOMPARE(app->SpeedCode(), comm::TermiosBits::kBother);
    Find<QComboBox>("forceBaudCombo")->setCurrentText(QStringLiteral("57600"));
    Click("forceButton");
    // Stopped, the button stays enabled and does nothing.
    Click("filterStartButton");
    QVERIFY(Find<QPushButton>("forceButton")->isEnabled());
    Find<QComboBox>("forceBaudCombo")->setCurrentText(QStringLiteral("1200"));
    Click("forceButton");
    QCOMPARE(app->Speed(), 57600u);
    QCOMPARE(app->Exit(), 0);
}

// Events arriving while the user reads earlier ones leave the list where it was scrolled; at the
// end of the list it follows the newest. The last column takes the window's width.
void FilterPageTest::eventListStaysWhereTheUserScrolledAndFillsTheWidth() {
    auto app = Program();
    QVERIFY(StartOnOpenPort(*app));
    Find<QComboBox>("actionCombo")->setCurrentIndex(1);
    Find<QLineEdit>("byteField")->setText(QStringLiteral("55"));
    Find<QLineEdit>("sendCountValue")->setText(QStringLiteral("1"));
    Find<QCheckBox>("sendCountPeriodic")->click();  // an event for every byte written
    auto* list = page_->events();
    auto write = [&](int n) {
        QVERIFY(app->Write(std::string(static_cast<size_t>(n), 'C')));
        QCOMPARE(FarEnd(static_cast<size_t>(n)).size(), static_cast<size_t>(n));
    };
    write(60);
    QVERIFY(WaitUntil([&] { return list->rowCount() == 60; }));
    QScrollBar* bar = list->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    bar->triggerAction(QAbstractSlider::SliderToMinimum);  // the user scrolls up to the top
    write(10);
    QVERIFY(WaitUntil([&] { return list->rowCount() == 70; }));
    QCoreApplication::processEvents();
    QCOMPARE(bar->value(), 0);
    bar->triggerAction(QAbstractSlider::SliderToMaximum);  // back at the end: follows again
    write(10);
    QVERIFY(WaitUntil([&] { return list->rowCount() == 80; }));
    QTRY_COMPARE(bar->value(), bar->maximum());

    page_->resize(1900, 1000);
    QTRY_COMPARE(list->columnViewportPosition(2) + list->columnWidth(2), list->viewport()->width());
    QCOMPARE(list->columnWidth(0), 100);
    QCOMPARE(list->columnWidth(1), 250);
    QCOMPARE(app->Exit(), 0);
}

void FilterPageTest::screenshot() {
    page_.reset();
    porvane::shell::MainDialog window;
    window.show();
    window.tabs()->setCurrentIndex(3);
    FilterPage* page = window.filter_page();
    auto app = Program();
    QVERIFY(StartOnOpenPort(*app, page));
    page->findChild<QComboBox*>("actionCombo")->setCurrentIndex(1);
    page->findChild<QLineEdit*>("byteField")->setText(QStringLiteral("55"));
    page->findChild<QLineEdit*>("sendCountValue")->setText(QStringLiteral("100"));
    page->findChild<QCheckBox*>("sendCountPeriodic")->click();
    for (int i = 0; i < 8; ++i) {
        const std::string block(100, static_cast<char>('A' + i));
        QVERIFY(app->Write(block));
        QCOMPARE(FarEnd(block.size()).back(), '\x55');
    }
    QVERIFY(WaitUntil([&] { return page->events()->rowCount() == 8; }));
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("filter.png")));
    QCOMPARE(app->Exit(), 0);
}

QTEST_MAIN(FilterPageTest)
#include "filter_page_test.moc"
