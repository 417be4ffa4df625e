#include "porvane/shell/ui/line_chart.h"

#include <QPainter>

namespace porvane::shell {
namespace {

const QColor kGrid(0, 128, 0);
constexpr int kCell = 8;

}  // namespace

LineChart::LineChart(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(16, 16);
}

int LineChart::AddSeries(uint32_t colour, uint32_t maximum, uint32_t minimum) {
    const int result = model_.AddSeries(colour, maximum, minimum);
    Rebuild();
    return result;
}

void LineChart::Rebuild() {
    const QSize size = this->size();
    picture_ = QImage(size, QImage::Format_RGB32);
    picture_.fill(Qt::black);
    QPainter painter(&picture_);
    painter.setPen(kGrid);
    for (int x = 0; x < size.width(); x += kCell)
        painter.drawLine(x, 0, x, size.height());
    for (int y = 0; y < size.height(); y += kCell)
        painter.drawLine(0, y, size.width(), y);
    update();
}

void LineChart::Step() {
    if (picture_.isNull()) {
        return;
    }
    const int w = picture_.width();
    const int h = picture_.height();
    constexpr int kStep = LineChartModel::kStepPixels;
    picture_ = picture_.copy(kStep, 0, w, h);  // shifted left; the new strip comes in black
    QPainter painter(&picture_);
    painter.fillRect(w - kStep, 0, kStep, h, Qt::black);
    painter.setPen(kGrid);
    for (int y = 0; y < h; y += kCell)
        painter.drawLine(w - kStep, y, w - 1, y);
    grid_phase_ = !grid_phase_;
    if (grid_phase_) {
        painter.drawLine(w - 2, 0, w - 2, h);
    }
    for (const ChartSeries& s : model_.series()) {
        painter.setPen(QColor::fromRgb(s.colour));
        painter.drawLine(w - 5, LineChartModel::Row(s, s.previous, h), w - 1,
                         LineChartModel::Row(s, s.current, h));
    }
    update();
}

void LineChart::paintEvent(QPaintEvent*) {
    if (picture_.isNull()) {
        return;
    }
    QPainter painter(this);
    painter.drawImage(0, 0, picture_);
}

void LineChart::resizeEvent(QResizeEvent*) {
    if (!picture_.isNull()) {
        Rebuild();
    }
}

}  // namespace porvane::shell
