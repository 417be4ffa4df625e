#include "platform/qt_testing/qt_test_support.h"

#include <QDir>
#include <QPixmap>

namespace qt_testing {

bool SaveScreenshot(QWidget& widget, const QString& name) {
    const QString folder = QStringLiteral(PORVANE_SCREENSHOT_DIR);
    return QDir().mkpath(folder) && widget.grab().save(folder + QLatin1Char('/') + name);
}

}  // namespace qt_testing
