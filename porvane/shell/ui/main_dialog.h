#pragma once

#include <QDialog>
#include <QMainWindow>

class QApplication;
class QTabWidget;

namespace porvane::tester {
class TesterPage;
}
namespace porvane::monitor {
class FilterPage;
class MonitorPage;
}  // namespace porvane::monitor

namespace porvane::shell {

class TerminalPage;

// What the program sets up before its window: its name, and Qt's own texts (standard dialogs and
// buttons) in the program's language.
void PrepareApplication(QApplication& app);

// The about box: the program's name and version.
class AboutBox : public QDialog {
    Q_OBJECT
  public:
    explicit AboutBox(QWidget* parent = nullptr);
};

// The workbench window: five tab pages, created terminal, tester, monitor, filter, helper.
// Switching tabs only shows and hides pages, so a port open on one page stays open. The window
// cannot be made smaller than its first size. "帮助" holds "关于 Porvane(&A)..." and the
// manual (F1).
class MainDialog : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainDialog(QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }
    TerminalPage* terminal_page() const { return terminal_; }
    tester::TesterPage* tester_page() const { return tester_; }
    monitor::MonitorPage* monitor_page() const { return monitor_; }
    monitor::FilterPage* filter_page() const { return filter_; }
    void ShowAbout();

  private:
    QTabWidget* tabs_;
    TerminalPage* terminal_;
    tester::TesterPage* tester_;
    monitor::MonitorPage* monitor_;
    monitor::FilterPage* filter_;
};

}  // namespace porvane::shell
