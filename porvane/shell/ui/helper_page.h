#pragma once

#include <QWidget>

class QPlainTextEdit;

namespace porvane::shell {

// "关于帮助 (Helper)": what the program does and how to get help.
class HelperPage : public QWidget {
    Q_OBJECT
  public:
    explicit HelperPage(QWidget* parent = nullptr);
    static QString NotesText();

  private:
    QPlainTextEdit* notes_;
};

// A tab page whose contents are still to come: it shows its caption.
class CaptionPage : public QWidget {
    Q_OBJECT
  public:
    CaptionPage(const QString& caption, QWidget* parent = nullptr);
};

}  // namespace porvane::shell
