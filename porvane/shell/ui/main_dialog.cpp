#include "porvane/shell/ui/main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QVBoxLayout>

#include "platform/qt_l10n/qt_translations.h"
#include "platform/qt_style/visible_scroll_bars.h"
#include "porvane/monitor/ui/filter_page.h"
#include "porvane/monitor/ui/monitor_page.h"
#include "porvane/shell/ui/help_launcher.h"
#include "porvane/shell/ui/helper_page.h"
#include "porvane/shell/ui/program_identity.h"
#include "porvane/shell/ui/terminal_page.h"
#include "porvane/tester/ui/tester_page.h"
#include "porvane/widgets/dialog_units.h"

namespace porvane::shell {

void PrepareApplication(QApplication& app) {
    QApplication::setApplicationName(QStringLiteral("Porvane"));
    qt_l10n::InstallQtTranslations(app);
    qt_style::UseVisibleScrollBars(app);
}

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    auto* icon = new QLabel;
    icon->setPixmap(ProgramIcon().pixmap(32, 32));
    auto* name = new QLabel(ProgramCaption());
    name->setObjectName("aboutName");
    auto* line = new QLabel(QString::fromUtf8("串口调试, 测试, 监视和过滤工具"));
    auto* ok = new QPushButton(QString::fromUtf8("确定"));
    ok->setObjectName("aboutOk");
    ok->setDefault(true);
    auto* texts = new QVBoxLayout;
    texts->addWidget(name);
    texts->addWidget(line);
    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    row->addWidget(ok, 0, Qt::AlignTop);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    setWindowTitle(QString::fromUtf8("关于 Porvane"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

MainDialog::MainDialog(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(ProgramCaption());
    setWindowIcon(ProgramIcon());
    tabs_ = new QTabWidget;
    tabs_->setObjectName("pageTabs");
    terminal_ = new TerminalPage;
    terminal_->setObjectName("terminalPage");
    tabs_->addTab(terminal_, QString::fromUtf8("串口调试 (Debuger)"));
    tester_ = new tester::TesterPage;
    tester_->setObjectName("testerPage");
    tabs_->addTab(tester_, QString::fromUtf8("串口测试 (Testor)"));
    monitor_ = new monitor::MonitorPage;
    monitor_->setObjectName("monitorPage");
    tabs_->addTab(monitor_, QString::fromUtf8("串口监视 (Monitor)"));
    filter_ = new monitor::FilterPage;
    filter_->setObjectName("filterPage");
    tabs_->addTab(filter_, QString::fromUtf8("串口过滤 (Filter)"));
    tabs_->addTab(new HelperPage, QString::fromUtf8("关于帮助 (Helper)"));
    setCentralWidget(tabs_);

    QMenu* help = menuBar()->addMenu(QString::fromUtf8("帮助(&H)"));
    QAction* manual = help->addAction(QString::fromUtf8("使用手册"));
    manual->setObjectName("manualAction");
    manual->setShortcut(QKeySequence::HelpContents);  // F1 anywhere in the window
    manual->setShortcutContext(Qt::ApplicationShortcut);
    help->addSeparator();
    QAction* about = help->addAction(QString::fromUtf8("关于 Porvane(&A)..."));
    about->setObjectName("aboutAction");
    connect(manual, &QAction::triggered, this, [this] { OpenHelp(this); });
    connect(about, &QAction::triggered, this, &MainDialog::ShowAbout);

    // The first size is 456 × 300 dialog units, more where the pages need more room to show
    // every control whole (a large font), less where the screen is smaller. The smallest size is
    // the least at which every control and every counter still shows whole: with the usual font
    // it is below 800 × 600, so that the window fits a small screen.
    const QSize least = minimumSizeHint();
    QSize first = widgets::DialogUnitsToPixels(this, 456, 300).expandedTo(least);
    if (const QScreen* shown_on = screen())
        first = first.boundedTo(shown_on->availableSize()).expandedTo(least);
    setMinimumSize(least);
    resize(first);
}

void MainDialog::ShowAbout() {
    AboutBox box(this);
    box.setObjectName("aboutBox");
    box.exec();
}

}  // namespace porvane::shell
