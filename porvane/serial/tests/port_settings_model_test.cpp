#include <gtest/gtest.h>

#include "platform/comm/comm_constants.h"
#include "porvane/serial/advanced_options.h"
#include "porvane/serial/page_notify.h"
#include "porvane/serial/port_settings_model.h"

namespace porvane::serial {
namespace {

// Keeps every PN_SETTINGS_CHANGED record the panel sends.
class SettingsPage : public PageWindow {
  public:
    intptr_t PageNotify(uint32_t code, void* data) override {
        if (code == PN_SETTINGS_CHANGED) {
            reports.push_back(*static_cast<const LineSettings*>(data));
        }
        return 0;
    }
    void ShowMessage(const std::string&) override {}
    std::vector<LineSettings> reports;
};

class PortSettingsModelTest : public ::testing::Test {
  protected:
    SettingsPage page_;
    PortSettingsModel model_{page_, {"COM10", "COM1"}};
};

TEST_F(PortSettingsModelTest, StartsOnTheDefaultEntries) {
    EXPECT_EQ(model_.port_index(), 0);
    EXPECT_EQ(model_.baud_index(), 6);
    EXPECT_EQ(model_.record().dcb.BaudRate, 9600u);
    EXPECT_TRUE(model_.port_list_enabled());
}

TEST_F(PortSettingsModelTest, ChangesWhileClosedOnlyChangeTheRecord) {
    model_.SelectBaud(13);
    EXPECT_EQ(model_.record().dcb.BaudRate, 128000u);
    EXPECT_TRUE(page_.reports.empty());
}

TEST_F(PortSettingsModelTest, ChangesWhileOpenAreReportedWithoutAName) {
    LineSettings filled = BlankLineSettings();
    model_.FillSettings(&filled);
    model_.SetPortState(1);
    EXPECT_FALSE(model_.port_list_enabled());
    model_.SelectBaud(8);
    model_.SelectParity(2);
    ASSERT_EQ(page_.reports.size(), 2u);
    EXPECT_EQ(page_.reports[0].dcb.BaudRate, 19200u);
    EXPECT_EQ(page_.reports[1].dcb.Parity, comm::EVENPARITY);
    EXPECT_EQ(page_.reports[1].PortName[0], '\0');
    model_.SetPortState(0);
    model_.SelectStopBits(2);
    EXPECT_EQ(page_.reports.size(), 2u);
}

TEST_F(PortSettingsModelTest, FillCopiesTheSelectedNameWholeAndTheLineParameters) {
    LineSettings out = BlankLineSettings();
    model_.FillSettings(&out);
    EXPECT_STREQ(out.PortName, "COM10");
    model_.SelectPort(1);
    model_.SelectDataBits(1);
    model_.FillSettings(&out);
    EXPECT_STREQ(out.PortName, "COM1");
    EXPECT_EQ(out.PortName[4], '\0');
    EXPECT_EQ(out.dcb.ByteSize, 7);
    EXPECT_EQ(out.dcb.BaudRate, 9600u);
    model_.FillSettings(nullptr);  // fills only its own record
    EXPECT_STREQ(model_.record().PortName, "COM1");
}

TEST_F(PortSettingsModelTest, AdvancedDialogCancelStillReportsTheUnchangedRecord) {
    model_.SetPortState(1);
    LineSettings before = model_.record();
    model_.AdvancedOptionsClosed();  // "Cancel": nothing written
    ASSERT_EQ(page_.reports.size(), 1u);
    EXPECT_EQ(page_.reports[0].dcb.XonLim, before.dcb.XonLim);

    StoreAdvancedOptions(DefaultAdvancedOptions(), &model_.dcb(), &model_.timeouts());  // "OK"
    model_.AdvancedOptionsClosed();
    ASSERT_EQ(page_.reports.size(), 2u);
    EXPECT_EQ(page_.reports[1].dcb.XonLim, 512);
    EXPECT_EQ(page_.reports[1].dcb.XoffChar, 19);
}

TEST(PortSettingsModelNoPorts, FillLeavesTheNameEmpty) {
    SettingsPage page;
    PortSettingsModel model(page, {});
    LineSettings out = BlankLineSettings();
    SetPortName(out, "stale");
    model.FillSettings(&out);
    EXPECT_EQ(out.PortName[0], '\0');
}

}  // namespace
}  // namespace porvane::serial
