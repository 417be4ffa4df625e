#pragma once

#include <QProxyStyle>

class QApplication;

namespace qt_style {

// The platform's style with scroll bar handles drawn in the text colour, half transparent, over
// whatever the style drew: a handle stands out from its groove in light and dark colours alike
// (the stock handle of the default style is white on light grey). Hovered or dragged it is
// darker still.
class VisibleScrollBarStyle : public QProxyStyle {
  public:
    using QProxyStyle::QProxyStyle;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget = nullptr) const override;
};

// Gives the application the style above, built on the style it has now (the application owns
// the style, as QApplication::setStyle has it).
void UseVisibleScrollBars(QApplication& app);

}  // namespace qt_style
