#include "porvane/shell/ui/help_window.h"

#include <QFileInfo>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "porvane/shell/ui/program_identity.h"

namespace porvane::shell {

HelpWindow::HelpWindow(const QString& path, QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("helpWindow");
    setWindowTitle(ProgramCaption() + QString::fromUtf8(" 使用手册"));
    setWindowIcon(ProgramIcon());
    browser_ = new QTextBrowser;
    browser_->setObjectName("helpBrowser");
    browser_->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);
    // Where no window manager maximises it, the window still opens at a size to read in.
    if (const QScreen* screen = parent != nullptr ? parent->screen() : nullptr)
        resize(screen->availableSize() * 3 / 4);
    if (QFileInfo(path).isReadable()) {
        browser_->setSource(QUrl::fromLocalFile(path));
    } else {
        browser_->setPlainText(QString::fromUtf8("找不到帮助文件: ") + path);
    }
}

}  // namespace porvane::shell
