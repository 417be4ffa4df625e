#include "porvane/widgets/dialog_units.h"

#include <QFontMetrics>
#include <QWidget>

namespace porvane::widgets {

QSize DialogUnitsToPixels(const QWidget* widget, int width_units, int height_units) {
    const QFontMetrics metrics = widget->fontMetrics();
    return {width_units * metrics.averageCharWidth() / 4, height_units * metrics.height() / 8};
}

}  // namespace porvane::widgets
