#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace porvane::shell {

// One curve of the line chart.
struct ChartSeries {
    uint32_t colour;  // 0xRRGGBB
    uint32_t minimum;
    uint32_t maximum;
    uint32_t current = 0;
    uint32_t previous = 0;
};

// The values behind the line chart: series, clamping and the row a value is drawn at.
class LineChartModel {
  public:
    static constexpr int kStepPixels = 4;

    // Note the order: maximum before minimum. Returns 1.
    int AddSeries(uint32_t colour, uint32_t maximum, uint32_t minimum);
    // Clamps value (unsigned) to the series' range; returns the previous current value, or 0 for
    // an index beyond the series (nothing changes then).
    uint32_t SetValue(size_t index, uint32_t value);
    const std::vector<ChartSeries>& series() const { return series_; }

    // Row of value in a picture of height h: h × (maximum − value) ÷ range, truncated.
    static int Row(const ChartSeries& s, uint32_t value, int height);

  private:
    std::vector<ChartSeries> series_;
};

}  // namespace porvane::shell
