#include "porvane/shell/ui/program_identity.h"

#include <QPainter>
#include <QPixmap>

namespace porvane::shell {

QString ProgramCaption() {
    return QStringLiteral("Porvane 1.1 For Linux");
}

QIcon ProgramIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0, 64, 128));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(2, 6, 28, 20, 4, 4);
    painter.setBrush(QColor(255, 255, 255));
    for (int i = 0; i < 5; ++i)
        painter.drawEllipse(QPointF(7.5 + i * 4.25, 13), 1.5, 1.5);
    for (int i = 0; i < 4; ++i)
        painter.drawEllipse(QPointF(9.5 + i * 4.25, 19), 1.5, 1.5);
    return QIcon(pixmap);
}

}  // namespace porvane::shell
