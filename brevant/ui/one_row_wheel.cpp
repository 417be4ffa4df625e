#include "brevant/ui/one_row_wheel.h"

#include <QScrollBar>
#include <QTableWidget>
#include <QWheelEvent>

namespace brevant {

OneRowWheel::OneRowWheel(QTableWidget* grid) : QObject(grid), grid_(grid) {}

bool OneRowWheel::eventFilter(QObject*, QEvent* event) {
    if (event->type() != QEvent::Wheel)
        return false;
    auto* wheel = static_cast<QWheelEvent*>(event);
    QScrollBar* bar = grid_->verticalScrollBar();
    bar->setValue(bar->value() + (wheel->angleDelta().y() > 0 ? -1 : 1));
    return true;
}

}  // namespace brevant
