#pragma once

#include <QWidget>

class QPlainTextEdit;

namespace porvane::install {
class DriverPanel;
}

namespace porvane::shell {

// "关于帮助 (Helper)": what the program does, how to get help, and the driver panel below.
class HelperPage : public QWidget {
    Q_OBJECT
  public:
    explicit HelperPage(QWidget* parent = nullptr);
    static QString NotesText();
    install::DriverPanel* driver_panel() const { return driver_panel_; }

  private:
    QPlainTextEdit* notes_;
    install::DriverPanel* driver_panel_;
};

// A tab page whose contents are still to come: it shows its caption.
class CaptionPage : public QWidget {
    Q_OBJECT
  public:
    CaptionPage(const QString& caption, QWidget* parent = nullptr);
};

}  // namespace porvane::shell
