#include "porvane/widgets/lamp.h"

#include <QPainter>

namespace porvane::widgets {

Lamp::Lamp(QSize size, Shape shape, QWidget* parent) : QWidget(parent), size_(size), shape_(shape) {
    setFixedSize(size);
}

void Lamp::SetLit(bool lit) {
    if (lit != lit_) {
        lit_ = lit;
        update();
    }
}

void Lamp::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor colour = lit_ ? QColor(255, 0, 0) : QColor(0, 0, 128);
    if (shape_ == Shape::kCircle) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(rect().adjusted(1, 1, -1, -1));
    } else {
        painter.fillRect(rect(), colour);
    }
}

}  // namespace porvane::widgets
