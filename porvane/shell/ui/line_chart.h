#pragma once

#include <QImage>
#include <QWidget>

#include "porvane/shell/line_chart_model.h"

namespace porvane::shell {

// A strip chart: a black field with a green grid that scrolls left 4 pixels at every step, one
// line per series drawn at the right edge. It keeps no history: a resize or a new series clears
// the picture.
class LineChart : public QWidget {
    Q_OBJECT
  public:
    explicit LineChart(QWidget* parent = nullptr);

    int AddSeries(uint32_t colour, uint32_t maximum, uint32_t minimum);
    uint32_t SetValue(size_t index, uint32_t value) { return model_.SetValue(index, value); }
    void Step();
    void Rebuild();

    const QImage& picture() const { return picture_; }
    const LineChartModel& model() const { return model_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    LineChartModel model_;
    QImage picture_;
    bool grid_phase_ = false;
};

}  // namespace porvane::shell
