// Porvane: the serial-port workbench.
#include <QApplication>

#include "porvane/shell/ui/main_dialog.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Porvane"));
    porvane::shell::MainDialog window;
    window.show();
    return QApplication::exec();
}
