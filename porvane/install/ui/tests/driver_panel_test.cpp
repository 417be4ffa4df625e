// The driver panel under a temporary system root, and the notes page that carries it.
#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "platform/comm/testing/child_process.h"
#include "platform/qt_testing/qt_test_support.h"
#include "porvane/install/filter_installer.h"
#include "porvane/install/rebooter.h"
#include "porvane/install/ui/driver_panel.h"
#include "porvane/shell/ui/main_dialog.h"

using porvane::install::DriverPanel;

namespace {

class RecordingRebooter : public porvane::install::Rebooter {
  public:
    explicit RecordingRebooter(int* calls) : calls_(calls) {}
    bool Reboot(std::string&) override {
        ++*calls_;
        return true;
    }

  private:
    int* calls_;
};

// Answers the restart question with the given button and every other message box with OK,
// keeping the texts in order.
class BoxAnswerer : public QObject {
  public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer) : answer_(answer) {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr)
                return;
            texts << box->windowTitle() + QLatin1Char('|') + box->text();
            if (box->objectName() == QLatin1String("restartQuestion")) {
                for (const QAbstractButton* button : box->buttons())
                    buttons << button->text();
                qt_testing::SaveScreenshot(*box, QStringLiteral("restart-question.png"));
                box->button(answer_)->click();
            } else
                box->accept();
        });
        timer_.start();
    }
    QStringList texts;
    QStringList buttons;  // of the restart question

  private:
    QMessageBox::StandardButton answer_;
    QTimer timer_;
};

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const QString kQuestion =
    QString::fromUtf8("安装完毕|必须重新启动计算机,才能使设置生效.\r\n现在重启吗?");

}  // namespace

class DriverPanelTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void installAnswerNoThenRemoveAnswerYes();
    void installedAtStartShowsTheRemoveButton();
    void withoutRightsNothingChanges();
    void notesPageScreenshot();

  private:
    std::unique_ptr<DriverPanel> Panel() {
        auto panel = std::make_unique<DriverPanel>(image_, nullptr);
        panel->SetRebooter(std::make_unique<RecordingRebooter>(&reboots_));
        panel->show();
        return panel;
    }
    QString NotRestarted() const {
        return QString::fromStdString(porvane::install::NotRestartedMessage(root_->path()));
    }
    QString Text(DriverPanel& panel, const char* name) {
        if (auto* button = panel.findChild<QPushButton*>(name))
            return button->text();
        return panel.findChild<QLabel*>(name)->text();
    }

    std::unique_ptr<comm::testing::TempDir> root_;
    std::vector<uint8_t> image_ = ReadBytes(SIEVRA_TEST_IMAGE);
    int reboots_ = 0;
};

void DriverPanelTest::initTestCase() {
    porvane::shell::PrepareApplication(*qApp);
}

void DriverPanelTest::init() {
    root_ = std::make_unique<comm::testing::TempDir>();
    qputenv("SIEVRA_SYSROOT", QByteArray::fromStdString(root_->path()));
    reboots_ = 0;
}

void DriverPanelTest::cleanup() {
    root_.reset();
}

void DriverPanelTest::installAnswerNoThenRemoveAnswerYes() {
    auto panel = Panel();
    QVERIFY(!panel->installed());
    QCOMPARE(Text(*panel, "driverButton"), QString::fromUtf8("安装监视/过滤驱动"));
    QCOMPARE(Text(*panel, "driverStatus"), QString::fromUtf8("监视过滤驱动程序没有安装!!!"));
    {
        BoxAnswerer answerer(QMessageBox::No);
        QTest::mouseClick(panel->findChild<QPushButton*>("driverButton"), Qt::LeftButton);
        QCOMPARE(answerer.texts, QStringList{kQuestion});
        // The buttons Qt draws speak the program's language too.
        answerer.buttons.sort();
        QCOMPARE(answerer.buttons,
                 (QStringList{QString::fromUtf8("否(&N)"), QString::fromUtf8("是(&Y)")}));
    }
    QVERIFY(panel->installed());
    QCOMPARE(reboots_, 0);
    QCOMPARE(Text(*panel, "driverButton"), QString::fromUtf8("卸载监视/过滤驱动"));
    QCOMPARE(Text(*panel, "driverStatus"),
             QString::fromUtf8("监视/过滤驱动程序已经安装,请重新启动计算机!!!"));
    QCOMPARE(ReadBytes(root_->path() + "/usr/local/lib/sievra/libsievra.so"), image_);
    QVERIFY(std::filesystem::exists(root_->path() + "/etc/ld.so.preload"));
    {
        // Yes under a scratch root: the machine running the test is not the one installed to.
        BoxAnswerer answerer(QMessageBox::Yes);
        QTest::mouseClick(panel->findChild<QPushButton*>("driverButton"), Qt::LeftButton);
        QCOMPARE(answerer.texts,
                 (QStringList{kQuestion, QStringLiteral("Porvane|") + NotRestarted()}));
    }
    QCOMPARE(reboots_, 0);
    QVERIFY(!panel->installed());
    QCOMPARE(Text(*panel, "driverButton"), QString::fromUtf8("安装监视/过滤驱动"));
    QCOMPARE(Text(*panel, "driverStatus"),
             QString::fromUtf8("监视/过滤驱动程序已经删除,请重新启动计算机!!!"));
    QVERIFY(!std::filesystem::exists(root_->path() + "/etc/ld.so.preload"));
}

void DriverPanelTest::installedAtStartShowsTheRemoveButton() {
    std::filesystem::create_directories(root_->path() + "/etc");
    std::ofstream(root_->path() + "/etc/ld.so.preload") << "/usr/local/lib/sievra/libsievra.so\n";
    auto panel = Panel();
    QVERIFY(panel->installed());
    QCOMPARE(Text(*panel, "driverButton"), QString::fromUtf8("卸载监视/过滤驱动"));
    QCOMPARE(Text(*panel, "driverStatus"), QString::fromUtf8("监视/过滤驱动程序已经安装!!!"));
    QCOMPARE(Text(*panel, "driverWarning"),
             QString::fromUtf8("如果安装驱动后,计算机出现硬件错误而不能启动,请从恢复模式进入Linux,"
                               "运行此程序,卸载驱动!!!"));
}

void DriverPanelTest::withoutRightsNothingChanges() {
    std::filesystem::create_directories(root_->path() + "/usr/local/lib");
    std::ofstream(root_->path() + "/usr/local/lib/sievra") << "a file where the folder goes";
    auto panel = Panel();
    BoxAnswerer answerer(QMessageBox::Yes);
    QTest::mouseClick(panel->findChild<QPushButton*>("driverButton"), Qt::LeftButton);
    QCOMPARE(answerer.texts, QStringList{QString::fromUtf8("Porvane|创建驱动文件失败!!")});
    QVERIFY(!panel->installed());
    QCOMPARE(Text(*panel, "driverStatus"), QString::fromUtf8("监视过滤驱动程序没有安装!!!"));
    QCOMPARE(reboots_, 0);
}

void DriverPanelTest::notesPageScreenshot() {
    porvane::shell::MainDialog window;
    window.show();
    window.tabs()->setCurrentIndex(4);
    auto* panel = window.findChild<DriverPanel*>("driverPanel");
    QVERIFY(panel != nullptr);
    QVERIFY(panel->isVisible());
    // The panel sits below the notes, inside the page.
    auto* notes = window.findChild<QPlainTextEdit*>("notesField");
    // The notes end by saying which programs cannot be watched, and where more help is.
    QVERIFY(notes->toPlainText().endsWith(
        QString::fromUtf8("      静态链接的程序和 set-user-id 程序不装入附着库, 不能被监视/过滤.\n"
                          "      请按'F1'得到更多帮助")));
    const QRect notes_rect(notes->mapTo(&window, QPoint(0, 0)), notes->size());
    const QRect panel_rect(panel->mapTo(&window, QPoint(0, 0)), panel->size());
    QVERIFY(!notes_rect.intersects(panel_rect));
    QVERIFY(window.rect().contains(panel_rect));
    QVERIFY(qt_testing::SaveScreenshot(window, QStringLiteral("helper.png")));
}

QTEST_MAIN(DriverPanelTest)
#include "driver_panel_test.moc"
