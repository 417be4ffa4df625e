// Brevant: the card reader's command assistant. On Linux its grid needs no registration step,
// so the program starts straight into the main window.
#include <QApplication>

#include "brevant/ui/brevant_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brevant"));
    brevant::BrevantWindow window;
    window.show();
    return QApplication::exec();
}
