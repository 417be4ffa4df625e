#include "porvane/terminal/ui/text_progress_bar.h"

#include <QPainter>

namespace porvane::terminal {

TextProgressBar::TextProgressBar(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);  // no background erasing
}

void TextProgressBar::SetRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    last_width_ = -1;
    update();
}

int TextProgressBar::FilledWidth() const {
    if (lower_ >= upper_)
        return 0;
    const double fraction = static_cast<double>(position_ - lower_) / (upper_ - lower_);
    return static_cast<int>(width() * fraction);
}

int TextProgressBar::SetPos(int position) {
    const int previous = position_;
    position_ = position;
    const int filled = FilledWidth();
    if (filled != last_width_) {
        update();
    }
    return previous;
}

void TextProgressBar::SetShowText(bool show) {
    if (show != show_text_) {
        show_text_ = show;
        update();
    }
}

void TextProgressBar::SetCustomText(const QString& text) {
    if (text != custom_text_) {
        custom_text_ = text;
        update();
    }
}

QString TextProgressBar::DisplayedText() const {
    if (!custom_text_.isEmpty())
        return custom_text_;
    if (lower_ >= upper_)
        return {};
    const double fraction = static_cast<double>(position_ - lower_) / (upper_ - lower_);
    return QString::asprintf("%d%%", static_cast<int>(fraction * 100));
}

void TextProgressBar::resizeEvent(QResizeEvent*) {
    last_width_ = -1;
}

void TextProgressBar::paintEvent(QPaintEvent*) {
    if (lower_ >= upper_)
        return;
    QPainter painter(this);
    const int filled = FilledWidth();
    last_width_ = filled;
    const QRect bar(0, 0, filled, height());
    const QRect rest(filled, 0, width() - filled, height());
    const QPalette& p = palette();
    painter.fillRect(bar, p.color(QPalette::Highlight));
    painter.fillRect(rest, p.color(QPalette::Button));
    if (!show_text_)
        return;
    const QString text = DisplayedText();
    painter.setClipRect(bar);
    painter.setPen(p.color(QPalette::Base));
    painter.drawText(rect(), Qt::AlignCenter, text);
    painter.setClipRect(rest);
    painter.setPen(p.color(QPalette::Highlight));
    painter.drawText(rect(), Qt::AlignCenter, text);
}

}  // namespace porvane::terminal
