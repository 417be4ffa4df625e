#include "porvane/shell/ui/help_launcher.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>

namespace porvane::shell {

QString HelpFilePath() {
    return QDir(QCoreApplication::applicationDirPath())
        .absoluteFilePath(QStringLiteral("../share/porvane/porvane-help.html"));
}

void OpenHelp() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QDir::cleanPath(HelpFilePath())));
}

}  // namespace porvane::shell
