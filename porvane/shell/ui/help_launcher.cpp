#include "porvane/shell/ui/help_launcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QWidget>

#include "porvane/shell/ui/help_window.h"

namespace porvane::shell {

QString HelpFilePath() {
    return QDir::cleanPath(
        QDir(QCoreApplication::applicationDirPath())
            .absoluteFilePath(QStringLiteral("../share/porvane/porvane-help.html")));
}

void OpenHelp(QWidget* owner) {
    QWidget* top = owner->window();
    auto* help = top->findChild<HelpWindow*>(QString(), Qt::FindDirectChildrenOnly);
    if (help == nullptr)
        help = new HelpWindow(HelpFilePath(), top);
    help->showMaximized();
    help->raise();
    help->activateWindow();
}

}  // namespace porvane::shell
