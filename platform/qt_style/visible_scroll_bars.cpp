#include "platform/qt_style/visible_scroll_bars.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionSlider>

namespace qt_style {

void VisibleScrollBarStyle::drawComplexControl(ComplexControl control,
                                               const QStyleOptionComplex* option, QPainter* painter,
                                               const QWidget* widget) const {
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (control != CC_ScrollBar || bar == nullptr || bar->minimum == bar->maximum)
        return;  // nothing to scroll: no handle
    const QRect handle =
        subControlRect(CC_ScrollBar, bar, SC_ScrollBarSlider, widget).adjusted(2, 2, -2, -2);
    if (handle.isEmpty())
        return;
    const bool active = (bar->activeSubControls & SC_ScrollBarSlider) &&
                        (bar->state & (State_MouseOver | State_Sunken));
    QColor fill = bar->palette.color(QPalette::WindowText);
    fill.setAlpha(active ? 150 : 100);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(fill);
    painter->drawRoundedRect(QRectF(handle), 3, 3);
    painter->restore();
}

void UseVisibleScrollBars(QApplication& app) {
    if (dynamic_cast<VisibleScrollBarStyle*>(QApplication::style()) != nullptr)
        return;
    // The new style takes over the current one (QProxyStyle's base), and the application the
    // new one.
    app.setStyle(new VisibleScrollBarStyle(QApplication::style()->name()));
}

}  // namespace qt_style
