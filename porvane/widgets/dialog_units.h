#pragma once

#include <QSize>

class QWidget;

namespace porvane::widgets {

// Dialog units to pixels through the widget's font: a horizontal unit is a quarter of the
// average character width, a vertical unit an eighth of the character height.
QSize DialogUnitsToPixels(const QWidget* widget, int width_units, int height_units);

}  // namespace porvane::widgets
