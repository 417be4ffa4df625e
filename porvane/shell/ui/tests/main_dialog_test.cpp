// The workbench window as it opens: each tab holds its page, every control is whole at the first
// size and above (default and large font), and the tester tab runs a line test over a virtual
// loop-back port.
#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBrowser>
#include <QtTest>
#include <fstream>

#include "platform/comm/testing/child_process.h"
#include "platform/qt_testing/qt_test_support.h"
#include "porvane/shell/ui/help_window.h"
#include "porvane/shell/ui/helper_page.h"
#include "porvane/shell/ui/main_dialog.h"
#include "porvane/shell/ui/terminal_page.h"
#include "porvane/tester/ui/statistics_panel.h"
#include "porvane/tester/ui/tester_page.h"
#include "porvane/tester/ui/tester_panel.h"

using comm::testing::ChildProcess;
using comm::testing::TempDir;
using qt_testing::WaitUntil;

namespace {

const char* const kTabNames[] = {"terminal", "tester", "monitor", "filter", "helper"};

// A control whose inside is its own business (scroll areas, combo boxes, ...): its children are
// not checked, only its place among its siblings.
bool IsControl(const QWidget* w) {
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QComboBox*>(w) ||
           qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractScrollArea*>(w) ||
           qobject_cast<const QAbstractSpinBox*>(w) || qobject_cast<const QLabel*>(w) ||
           qobject_cast<const QTabBar*>(w) || qobject_cast<const QProgressBar*>(w) ||
           qobject_cast<const QMenuBar*>(w);
}

QString Describe(const QWidget* w) {
    return QStringLiteral("%1 \"%2\" %3,%4 %5x%6")
        .arg(QString::fromLatin1(w->metaObject()->className()), w->objectName())
        .arg(w->x())
        .arg(w->y())
        .arg(w->width())
        .arg(w->height());
}

// Collects every overlap of visible siblings, every child that its parent cuts off and every
// control smaller than it can be, from parent down.
void FindLayoutFaults(const QWidget* parent, QStringList& faults) {
    QList<const QWidget*> shown;
    for (const QObject* o : parent->children()) {
        const auto* w = qobject_cast<const QWidget*>(o);
        if (w == nullptr || !w->isVisible() || w->isWindow())
            continue;
        shown << w;
    }
    for (int i = 0; i < shown.size(); ++i) {
        const QWidget* w = shown[i];
        if (!parent->rect().contains(w->geometry()))
            faults << QStringLiteral("clipped by %1: %2").arg(Describe(parent), Describe(w));
        const QSize least = w->minimumSizeHint();
        if ((qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QComboBox*>(w)) &&
            (w->width() < least.width() || w->height() < least.height()))
            faults << QStringLiteral("squeezed: %1").arg(Describe(w));
        // A label shows its whole text (a number cut short reads as another number).
        const auto* label = qobject_cast<const QLabel*>(w);
        if (label != nullptr && !label->wordWrap() && !label->text().isEmpty() &&
            label->fontMetrics().horizontalAdvance(label->text()) > label->contentsRect().width())
            faults << QStringLiteral("cut text: %1").arg(Describe(w));
        for (int j = i + 1; j < shown.size(); ++j) {
            if (w->geometry().intersects(shown[j]->geometry()))
                faults << QStringLiteral("overlap: %1 / %2").arg(Describe(w), Describe(shown[j]));
        }
        if (!IsControl(w))
            FindLayoutFaults(w, faults);
    }
}

// Every tab at the window's current size; returns the faults found, tab by tab.
QStringList TabLayoutFaults(porvane::shell::MainDialog& window, const QString& when) {
    QStringList faults;
    for (int i = 0; i < window.tabs()->count(); ++i) {
        window.tabs()->setCurrentIndex(i);
        QApplication::processEvents();
        QStringList found;
        FindLayoutFaults(&window, found);
        for (const QString& f : found)
            faults << QStringLiteral("%1, tab %2: %3").arg(when, kTabNames[i], f);
    }
    window.tabs()->setCurrentIndex(0);
    return faults;
}

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void everyPortListHoldsTheBuiltInPortsThenTheAdapters();
    void eachTabHoldsItsPage();
    void everyControlIsWholeAtTheFirstSizeAndAbove_data();
    void everyControlIsWholeAtTheFirstSizeAndAbove();
    void everythingIsWholeAt800x600AndAtTheSmallestSize();
    void lineTestFromTheSecondTabOverALoopBack();
    void aScrollBarsHandleStandsOutFromItsGroove();
    void f1ShowsTheManualInTheProgramsOwnWindow();
    void helpWithoutADisplayPrintsTheUsage();

  private:
    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<ChildProcess> vport_;
};

void MainDialogTest::initTestCase() {
    dir_ = std::make_unique<TempDir>();
    const std::string link = dir_->path() + "/loop";
    vport_ = std::make_unique<ChildProcess>("vport", std::vector<std::string>{"loop", link});
    QVERIFY(comm::testing::WaitForPath(link));
    const std::string map = dir_->path() + "/map";
    std::ofstream(map) << "ttyS0=" << link << "\n";
    qputenv("PORVANE_DEVICE_MAP", QByteArray::fromStdString(map));
}

// A machine with a built-in port and two adapters: each page's list offers all three.
void MainDialogTest::everyPortListHoldsTheBuiltInPortsThenTheAdapters() {
    const std::string map = dir_->path() + "/mixed-map";
    std::ofstream(map) << "ttyUSB0=ttyUSB0\nttyS0=ttyS0\nttyACM0=ttyACM0\n";
    const QByteArray loop_map = qgetenv("PORVANE_DEVICE_MAP");
    qputenv("PORVANE_DEVICE_MAP", QByteArray::fromStdString(map));
    porvane::shell::MainDialog window;
    qputenv("PORVANE_DEVICE_MAP", loop_map);
    QStringList lists;
    for (const QComboBox* combo : window.findChildren<QComboBox*>()) {
        if (!combo->objectName().contains(QLatin1String("ortCombo")))
            continue;
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        lists << combo->objectName() + QLatin1Char(':') + items.join(QLatin1Char(','));
    }
    lists.sort();
    QCOMPARE(lists, (QStringList{QStringLiteral("filterPortCombo:ttyS0,ttyUSB0,ttyACM0"),
                                 QStringLiteral("monitorPortCombo:ttyS0,ttyUSB0,ttyACM0"),
                                 QStringLiteral("portCombo:ttyS0,ttyUSB0,ttyACM0"),
                                 QStringLiteral("portCombo:ttyS0,ttyUSB0,ttyACM0")}));
}

void MainDialogTest::eachTabHoldsItsPage() {
    porvane::shell::MainDialog window;
    auto* tabs = window.tabs();
    QCOMPARE(tabs->count(), 5);
    QVERIFY(window.terminal_page() != nullptr);
    QVERIFY(window.tester_page() != nullptr);
    QCOMPARE(tabs->widget(0), static_cast<QWidget*>(window.terminal_page()));
    QCOMPARE(tabs->widget(1), static_cast<QWidget*>(window.tester_page()));
    QVERIFY(qobject_cast<porvane::shell::HelperPage*>(tabs->widget(4)) != nullptr);
    QVERIFY(window.tester_page()->findChild<QPushButton*>("startTestButton") != nullptr);
}

void MainDialogTest::everyControlIsWholeAtTheFirstSizeAndAbove_data() {
    QTest::addColumn<double>("font_scale");
    QTest::newRow("default font") << 1.0;
    QTest::newRow("1.5 times the font") << 1.5;
}

void MainDialogTest::everyControlIsWholeAtTheFirstSizeAndAbove() {
    QFETCH(double, font_scale);
    const QFont original = QApplication::font();
    QFont font = original;
    font.setPointSizeF(original.pointSizeF() * font_scale);
    QApplication::setFont(font);
    {
        porvane::shell::MainDialog window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize first = window.size();
        QStringList faults = TabLayoutFaults(window, QStringLiteral("first size"));
        for (int i = 0; i < window.tabs()->count(); ++i) {
            window.tabs()->setCurrentIndex(i);
            QApplication::processEvents();
            const QString name = QStringLiteral("first-size-%1%2.png")
                                     .arg(QLatin1String(kTabNames[i]),
                                          QLatin1String(font_scale == 1.0 ? "" : "-large-font"));
            QVERIFY(qt_testing::SaveScreenshot(window, name));
        }
        window.resize(first.width() * 2, first.height() * 3 / 2);
        QApplication::processEvents();
        faults << TabLayoutFaults(window, QStringLiteral("large size"));
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
    }
    QApplication::setFont(original);
}

// A user who makes the window smaller than 800 × 600 is held at the smallest size at which every
// control and every counter shows whole; at 800 × 600 the counters have room for the largest
// count. Screenshots at the first size, at 800 × 600 and at full screen.
void MainDialogTest::everythingIsWholeAt800x600AndAtTheSmallestSize() {
    porvane::shell::MainDialog window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("size-first.png")));
    window.resize(640, 480);
    QApplication::processEvents();
    QCOMPARE(window.size(), window.minimumSize());
    QVERIFY2(window.width() <= 800 && window.height() <= 600,
             qPrintable(QStringLiteral("%1x%2").arg(window.width()).arg(window.height())));
    QStringList faults = TabLayoutFaults(window, QStringLiteral("smallest size"));
    window.resize(800, 600);
    QApplication::processEvents();
    QCOMPARE(window.size(), QSize(800, 600));
    faults << TabLayoutFaults(window, QStringLiteral("800x600"));
    for (const QLabel* counter : window.findChildren<QLabel*>()) {
        if (counter->objectName() != QLatin1String("txLabel") &&
            counter->objectName() != QLatin1String("rxLabel"))
            continue;
        const int widest =
            counter->fontMetrics().horizontalAdvance(QStringLiteral("RX: 4294967295"));
        if (counter->contentsRect().width() < widest)
            faults << QStringLiteral("800x600: no room for the largest count: %1")
                          .arg(Describe(counter));
    }
    for (int i = 0; i < window.tabs()->count(); ++i) {
        window.tabs()->setCurrentIndex(i);
        QApplication::processEvents();
        QVERIFY(qt_testing::SaveScreenshot(
            window, QStringLiteral("size-800x600-%1.png").arg(QLatin1String(kTabNames[i]))));
    }
    window.tabs()->setCurrentIndex(0);
    window.resize(1920, 1080);
    QApplication::processEvents();
    faults << TabLayoutFaults(window, QStringLiteral("full screen"));
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("size-full.png")));
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void MainDialogTest::lineTestFromTheSecondTabOverALoopBack() {
    porvane::shell::MainDialog window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.tabs()->setCurrentIndex(1);
    auto* page = qobject_cast<porvane::tester::TesterPage*>(window.tabs()->currentWidget());
    QVERIFY(page != nullptr);
    QTest::mouseClick(page->findChild<QPushButton*>("testerOpenButton"), Qt::LeftButton);
    QVERIFY(page->tester_panel()->open());
    QTest::mouseClick(page->findChild<QPushButton*>("startTestButton"), Qt::LeftButton);
    QVERIFY(page->tester_panel()->testing());
    auto* stats = page->statistics_panel();
    auto* total = page->findChild<QLabel*>("totalBitsLabel");
    // The label shows the figures of the last tick, so it is what the wait looks at.
    QVERIFY(WaitUntil(
        [&] {
            return stats->statistics().seconds() >= 3 &&
                   total->text() != QString::fromUtf8("总比特: 0b");
        },
        60000));
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("main-tester.png")));
    QTest::mouseClick(page->findChild<QPushButton*>("startTestButton"), Qt::LeftButton);
    QVERIFY(!page->tester_panel()->testing());
    QTest::mouseClick(page->findChild<QPushButton*>("testerOpenButton"), Qt::LeftButton);
    QVERIFY(!page->tester_panel()->open());
}

// Lines typed into the receive view give it a scroll bar, whose handle must be seen: its middle
// differs clearly from the groove below it.
void MainDialogTest::aScrollBarsHandleStandsOutFromItsGroove() {
    porvane::shell::PrepareApplication(*qApp);
    porvane::shell::MainDialog window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* field = window.terminal_page()->findChild<QPlainTextEdit*>("viewText");
    field->setFocus();
    for (int i = 0; i < 80; ++i) {
        QTest::keyClicks(field, QStringLiteral("line %1").arg(i));
        QTest::keyClick(field, Qt::Key_Return);
    }
    QScrollBar* bar = field->verticalScrollBar();
    QTRY_VERIFY(bar->isVisible() && bar->maximum() > 0);
    bar->triggerAction(QAbstractSlider::SliderToMinimum);
    QApplication::processEvents();
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    option.subControls = QStyle::SC_All;
    const QRect handle = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                      QStyle::SC_ScrollBarSlider, bar);
    const QRect groove = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                      QStyle::SC_ScrollBarGroove, bar);
    QVERIFY(handle.bottom() + 12 < groove.bottom());
    const QImage image = bar->grab().toImage();
    const int handle_grey = qGray(image.pixel(handle.center()));
    const int groove_grey = qGray(image.pixel(groove.center().x(), groove.bottom() - 6));
    QVERIFY2(qAbs(handle_grey - groove_grey) >= 50,
             qPrintable(QStringLiteral("handle %1, groove %2").arg(handle_grey).arg(groove_grey)));
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("scroll-bar.png")));
}

void MainDialogTest::f1ShowsTheManualInTheProgramsOwnWindow() {
    porvane::shell::MainDialog window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_F1);
    auto* help = window.findChild<porvane::shell::HelpWindow*>("helpWindow");
    QVERIFY(help != nullptr);
    QVERIFY(help->isVisible());
    QVERIFY(help->isWindow());
    QVERIFY(help->browser()->toPlainText().contains(QString::fromUtf8("串口名和端口列表")));
    QVERIFY(qt_testing::SaveScreenshot(*help, QStringLiteral("help.png")));
    // "运行帮助" on a page brings back the same window.
    help->close();
    QTest::mouseClick(window.terminal_page()->findChild<QPushButton*>("helpButton"),
                      Qt::LeftButton);
    QVERIFY(help->isVisible());
    QCOMPARE(window.findChildren<porvane::shell::HelpWindow*>().size(), 1);
}

void MainDialogTest::helpWithoutADisplayPrintsTheUsage() {
    ChildProcess porvane("/usr/bin/env",
                         {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                          ChildProcess::BinDir() + "/porvane", "--help"});
    const std::string usage = porvane.ReadAllOutput();
    QCOMPARE(porvane.Wait(), 0);
    QVERIFY2(usage.find("Usage: porvane") != std::string::npos, usage.c_str());
}

QTEST_MAIN(MainDialogTest)
#include "main_dialog_test.moc"
