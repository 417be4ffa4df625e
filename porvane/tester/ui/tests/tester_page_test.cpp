// The tester page driven through its real widgets, headless, over a virtual loop-back port.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QtTest>
#include <fstream>

#include <signal.h>

#include "platform/comm/testing/child_process.h"
#include "platform/qt_testing/qt_test_support.h"
#include "platform/text/gbk.h"
#include "porvane/serial/page_notify.h"
#include "porvane/tester/ui/statistics_panel.h"
#include "porvane/tester/ui/tester_page.h"
#include "porvane/tester/ui/tester_panel.h"
#include "porvane/widgets/lamp.h"

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using qt_testing::MessageCatcher;
using qt_testing::WaitUntil;

class TesterPageTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void patternEditAndEnablingRules();
    void saveWithoutATestSaysSo();
    void reportFiguresAgreeAndALoopBackNeverReceivesMore();
    void loopBackTestRunsCleanAfterTheFirstSecond();
    void vanishedPortStopsTheTest();

  private:
    template <class T>
    T* Find(const char* name) {
        return page_->findChild<T*>(QString::fromLatin1(name));
    }
    bool Lit(const char* name) { return Find<porvane::widgets::Lamp>(name)->lit(); }

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<ChildProcess> vport_;
    std::string link_;
    std::unique_ptr<porvane::tester::TesterPage> page_;
};

void TesterPageTest::initTestCase() {
    dir_ = std::make_unique<TempDir>();
    link_ = dir_->path() + "/loop";
    vport_ = std::make_unique<ChildProcess>("vport", std::vector<std::string>{"loop", link_});
    QVERIFY(comm::testing::WaitForPath(link_));
    const std::string map = dir_->path() + "/map";
    std::ofstream(map) << "ttyS0=" << link_ << "\n";
    qputenv("PORVANE_DEVICE_MAP", QByteArray::fromStdString(map));
}

void TesterPageTest::init() {
    page_ = std::make_unique<porvane::tester::TesterPage>();
    page_->resize(1000, 700);
    page_->show();
}

void TesterPageTest::cleanup() {
    page_.reset();
}

void TesterPageTest::patternEditAndEnablingRules() {
    auto* panel = page_->tester_panel();
    auto* edit = Find<QLineEdit>("userPatternField");
    QVERIFY(!edit->isEnabled());
    QVERIFY(!Find<QPushButton>("singleErrorButton")->isEnabled());
    QVERIFY(!Find<QPushButton>("startTestButton")->isEnabled());
    QCOMPARE(panel->settings().user_pattern, 0xAAAAu);
    Find<QComboBox>("patternCombo")->setCurrentIndex(3);
    QVERIFY(edit->isEnabled());
    edit->setText("1021");
    QCOMPARE(edit->text(), QStringLiteral("1001"));
    QCOMPARE(panel->settings().user_pattern, 0x9000u);
    edit->setText("1");
    QCOMPARE(panel->settings().user_pattern, 0x8000u);
    edit->setText("");
    QCOMPARE(panel->settings().user_pattern, 0u);
    Find<QComboBox>("insertCombo")->setCurrentIndex(3);
    QVERIFY(Find<QPushButton>("singleErrorButton")->isEnabled());
}

void TesterPageTest::saveWithoutATestSaysSo() {
    MessageCatcher catcher;
    const std::string path = dir_->path() + "/none.txt";
    page_->PageNotify(porvane::serial::PN_SAVE_REPORT, const_cast<char*>(path.c_str()));
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }));
    QCOMPARE(catcher.messages.first(), QString::fromUtf8("没有测试结果,不用保存!!"));
    QVERIFY(!QFile::exists(QString::fromStdString(path)));
}

// A report's summary, its event rows and its hardware figures come from the same seconds; bytes
// on their way when the test starts are not counted as received.
void TesterPageTest::reportFiguresAgreeAndALoopBackNeverReceivesMore() {
    Find<QComboBox>("insertCombo")->setCurrentIndex(2);  // 1/1000: every second has errors
    QTest::mouseClick(Find<QPushButton>("testerOpenButton"), Qt::LeftButton);
    QVERIFY(page_->tester_panel()->open());
    QVERIFY(WaitUntil([&] { return page_->tester_panel()->bytes_received() > 30000; }, 60000));
    // The loop-back stalls, so that the line holds a backlog when the test starts.
    vport_->Signal(SIGSTOP);
    QVERIFY(comm::testing::WaitUntilStopped(vport_->pid()));
    auto* panel = page_->tester_panel();
    QVERIFY(WaitUntil([&] { return panel->bytes_sent() > panel->bytes_received() + 8000; }));
    QTest::mouseClick(Find<QPushButton>("startTestButton"), Qt::LeftButton);
    vport_->Signal(SIGCONT);
    auto* stats = page_->statistics_panel();
    QVERIFY(WaitUntil([&] { return stats->statistics().seconds() >= 4; }, 60000));
    QTest::mouseClick(Find<QPushButton>("startTestButton"), Qt::LeftButton);
    const std::string path = dir_->path() + "/figures.txt";
    page_->PageNotify(porvane::serial::PN_SAVE_REPORT, const_cast<char*>(path.c_str()));
    QTest::mouseClick(Find<QPushButton>("testerOpenButton"), Qt::LeftButton);
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString report = QString::fromStdString(text::GbkToUtf8(file.readAll().toStdString()));
    auto figure = [&](const char* label) {
        const QRegularExpression line(QString::fromUtf8(label) + QStringLiteral(": (\\d+)"));
        return line.match(report).captured(1).toLongLong();
    };
    long long row_seconds = 0;
    long long row_errors = 0;
    const QRegularExpression row(QString::fromUtf8("误码  [^\r]*?(\\d+)s,  (\\d+), "));
    for (auto m = row.globalMatch(report); m.hasNext();) {
        const QRegularExpressionMatch one = m.next();
        row_seconds += one.captured(1).toLongLong();
        row_errors += one.captured(2).toLongLong();
    }
    QVERIFY2(row_seconds > 0, qPrintable(report));
    QCOMPARE(figure("误码秒"), row_seconds);
    QCOMPARE(figure("误码数"), row_errors);
    QVERIFY2(figure("接收字节数") <= figure("发送字节数"), qPrintable(report));
    QVERIFY(figure("接收字节数") > 0);
}

void TesterPageTest::loopBackTestRunsCleanAfterTheFirstSecond() {
    QTest::mouseClick(Find<QPushButton>("testerOpenButton"), Qt::LeftButton);
    QVERIFY(page_->tester_panel()->open());
    QVERIFY(Lit("testerPortLamp"));
    QVERIFY(!page_->findChild<QComboBox*>("portCombo")->isEnabled());
    QTest::mouseClick(Find<QPushButton>("startTestButton"), Qt::LeftButton);
    QVERIFY(page_->tester_panel()->testing());
    QVERIFY(!Find<QPushButton>("testerOpenButton")->isEnabled());
    QCOMPARE(Find<QPushButton>("startTestButton")->text(), QString::fromUtf8("停止测试"));
    auto* stats = page_->statistics_panel();
    QVERIFY(WaitUntil([&] { return stats->statistics().seconds() >= 4; }, 60000));
    QVERIFY(!Lit("lostSyncLamp"));
    QVERIFY(!Lit("testNoSignalLamp"));
    QVERIFY(!Lit("bitErrorLamp"));
    QVERIFY(Find<QLabel>("totalBitsLabel")->text() != QString::fromUtf8("总比特: 0b"));
    // Only the first second after opening lost synchronisation. The second timer runs from the
    // page's start, not the test's, so the first tick may come at once and find no signal yet.
    auto* list = stats->event_list();
    for (int i = 1; i < list->topLevelItemCount(); ++i) {
        QVERIFY(list->topLevelItem(i)->text(0) != QString::fromUtf8("无信号"));
    }
    QVERIFY(qt_testing::SaveScreenshot(*page_, QStringLiteral("tester.png")));
    QTest::mouseClick(Find<QPushButton>("startTestButton"), Qt::LeftButton);
    QVERIFY(!page_->tester_panel()->testing());
    const std::string path = dir_->path() + "/report.txt";
    page_->PageNotify(porvane::serial::PN_SAVE_REPORT, const_cast<char*>(path.c_str()));
    QFile report(QString::fromStdString(path));
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QByteArray bytes = report.readAll();
    QVERIFY(bytes.startsWith("--------- "));
    QVERIFY(bytes.contains("\r\n"));
    QVERIFY(!bytes.endsWith("\n"));
    QTest::mouseClick(Find<QPushButton>("testerOpenButton"), Qt::LeftButton);
    QVERIFY(!page_->tester_panel()->open());
}

void TesterPageTest::vanishedPortStopsTheTest() {
    const std::string doomed_link = dir_->path() + "/doomed";
    ChildProcess doomed("vport", {"loop", doomed_link});
    QVERIFY(comm::testing::WaitForPath(doomed_link));
    const std::string map = dir_->path() + "/map";
    std::ofstream(map, std::ios::trunc) << "ttyS0=" << doomed_link << "\n";
    auto restore =
        qScopeGuard([&] { std::ofstream(map, std::ios::trunc) << "ttyS0=" << link_ << "\n"; });
    init();  // a page whose port list names the doomed port
    MessageCatcher catcher;
    QTest::mouseClick(Find<QPushButton>("testerOpenButton"), Qt::LeftButton);
    QVERIFY(page_->tester_panel()->open());
    QTest::mouseClick(Find<QPushButton>("startTestButton"), Qt::LeftButton);
    QVERIFY(page_->tester_panel()->testing());
    QVERIFY(::kill(doomed.pid(), SIGKILL) == 0);
    doomed.Wait();
    QVERIFY(WaitUntil([&] { return !catcher.messages.isEmpty(); }, 60000));
    QCOMPARE(catcher.messages.first(), QString::fromUtf8("串口已断开"));
    QVERIFY(!page_->tester_panel()->testing());
    QVERIFY(!page_->tester_panel()->open());
    QVERIFY(!Lit("testerPortLamp"));
    QCOMPARE(Find<QPushButton>("startTestButton")->text(), QString::fromUtf8("开始测试"));
    QVERIFY(Find<QPushButton>("testerOpenButton")->isEnabled());
    QCOMPARE(catcher.messages.size(), 1);
}

QTEST_MAIN(TesterPageTest)
#include "tester_page_test.moc"
