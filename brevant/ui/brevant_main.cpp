// Brevant: the card reader's command assistant. On Linux its grid needs no registration step,
// so the program starts straight into the main window.
#include <QApplication>

#include "brevant/ui/brevant_window.h"
#include "platform/qt_l10n/qt_translations.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brevant"));
    qt_l10n::InstallQtTranslations(app);  // Qt's own dialogs speak the program's language
    brevant::BrevantWindow window;
    window.show();
    return QApplication::exec();
}
