#pragma once

#include <QString>
#include <QWidget>

class QTextBrowser;

namespace porvane::shell {

// The user manual in a window of the program itself, so that it shows on any machine, with a
// web browser or without. A manual that cannot be read is said in the window.
class HelpWindow : public QWidget {
    Q_OBJECT
  public:
    // parent: the window that owns this one (it stays a window of its own).
    HelpWindow(const QString& path, QWidget* parent);

    QTextBrowser* browser() const { return browser_; }

  private:
    QTextBrowser* browser_;
};

}  // namespace porvane::shell
