#include "porvane/shell/line_chart_model.h"

namespace porvane::shell {

int LineChartModel::AddSeries(uint32_t colour, uint32_t maximum, uint32_t minimum) {
    series_.push_back({colour, minimum, maximum});
    return 1;
}

uint32_t LineChartModel::SetValue(size_t index, uint32_t value) {
    if (index >= series_.size()) {
        return 0;
    }
    ChartSeries& s = series_[index];
    const uint32_t old = s.current;
    s.previous = s.current;
    s.current = value < s.minimum ? s.minimum : (value > s.maximum ? s.maximum : value);
    return old;
}

int LineChartModel::Row(const ChartSeries& s, uint32_t value, int height) {
    const double range = static_cast<double>(s.maximum) - static_cast<double>(s.minimum);
    if (range <= 0) {
        return 0;
    }
    const double y = height * (static_cast<double>(s.maximum) - static_cast<double>(value)) / range;
    return static_cast<int>(y);
}

}  // namespace porvane::shell
