#pragma once

#include "porvane/widgets/page_base.h"

namespace porvane::serial {
class PortSettingsPanel;
}
namespace porvane::shell {
class StatusStrip;
}

namespace porvane::tester {

class StatisticsPanel;
class TesterPanel;

// "串口测试 (Testor)": settings and tester controls on the left, the statistics to the right,
// the status strip (full scale 2000 bytes a second) along the bottom.
class TesterPage : public widgets::PageBase {
    Q_OBJECT
  public:
    explicit TesterPage(QWidget* parent = nullptr);
    ~TesterPage() override;

    TesterPanel* tester_panel() const { return tester_panel_; }
    StatisticsPanel* statistics_panel() const { return statistics_panel_; }
    shell::StatusStrip* status_strip() const { return strip_; }

  protected:
    intptr_t Route(uint32_t code, void* data) override;

  private:
    serial::PortSettingsPanel* settings_panel_;
    shell::StatusStrip* strip_;
    TesterPanel* tester_panel_;
    StatisticsPanel* statistics_panel_;
};

}  // namespace porvane::tester
