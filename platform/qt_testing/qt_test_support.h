#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

namespace qt_testing {

// Answers every modal message box that opens (OK) and keeps its text, so that tests go on.
class MessageCatcher : public QObject {
  public:
    MessageCatcher() {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                messages << box->text();
                box->accept();
            }
        });
        timer_.start();
    }
    QStringList messages;

  private:
    QTimer timer_;
};

// Runs the event loop until pred holds or timeout_ms passes.
template <class Pred>
bool WaitUntil(Pred pred, int timeout_ms = 60000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeout_ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Saves a picture of widget as name (for example "terminal.png") in the screenshot folder of the
// build folder in use, creating the folder; false when it cannot be written.
bool SaveScreenshot(QWidget& widget, const QString& name);

}  // namespace qt_testing
