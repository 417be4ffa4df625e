#include <gtest/gtest.h>

#include "porvane/serial/port_list_fill.h"

namespace porvane::serial {
namespace {

class ListAndUi : public PortListTarget, public DiscoveryUi {
  public:
    void AddString(const std::string& text) override { items.push_back(text); }
    int Count() const override { return static_cast<int>(items.size()); }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void RequestQuit(int code) override { exit_code = code; }

    std::vector<std::string> items;
    std::vector<std::string> messages;
    int exit_code = -1;
};

devicemap::DeviceMap Map(std::vector<devicemap::DeviceMapEntry> entries) {
    return {"/sys/class/tty", std::move(entries)};
}

// A machine with built-in ports still lists the adapters plugged into it, after those ports.
TEST(PortListFill, BuiltInPortsInNumberOrderThenEveryOtherSerialPort) {
    ListAndUi ui;
    PortListFill(ui, ui,
                 Map({{"ttyUSB0", "ttyUSB0"},
                      {"ttyS1", "COM2"},
                      {"ttyACM0", "ttyACM0"},
                      {"ttyS0", "COM1"}}));
    EXPECT_EQ(ui.items, (std::vector<std::string>{"COM1", "COM2", "ttyUSB0", "ttyACM0"}));
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ui.exit_code, -1);
}

TEST(PortListFill, OtherSerialDevicesThroughTheSecondPass) {
    ListAndUi ui;
    PortListFill(ui, ui,
                 Map({{"ttyUSB1", "ttyUSB1"}, {"ttyACM0", "ttyACM0"}, {"ttyUSB0", "/tmp/vp"}}));
    EXPECT_EQ(ui.items, (std::vector<std::string>{"ttyACM0", "/tmp/vp", "ttyUSB1"}));
}

TEST(PortListFill, OnlyOtherShapesEndTheProgramAfterTheMessage) {
    ListAndUi ui;
    PortListFill(ui, ui,
                 Map({{"VCP0", "VCP0"}, {"ttyS", "x"}, {"ttyUSB256", "y"}, {"ttyUSB01", "z"}}));
    EXPECT_TRUE(ui.items.empty());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0], "在/sys/class/tty里找不到串口!!!");
    EXPECT_EQ(ui.exit_code, 1);
}

TEST(PortListFill, EmptyMapShowsTheMessageAndNoMapIsSilent) {
    ListAndUi empty;
    PortListFill(empty, empty, Map({}));
    EXPECT_EQ(empty.exit_code, 1);

    ListAndUi none;
    PortListFill(none, none, std::nullopt);
    EXPECT_TRUE(none.items.empty());
    EXPECT_TRUE(none.messages.empty());
    EXPECT_EQ(none.exit_code, -1);
}

TEST(PortListFill, NamesThatDoNotFitAHundredBytesAreSkipped) {
    ListAndUi ui;
    PortListFill(ui, ui, Map({{"ttyS0", std::string(100, 'a')}, {"ttyS1", std::string(99, 'b')}}));
    ASSERT_EQ(ui.items.size(), 1u);
    EXPECT_EQ(ui.items[0], std::string(99, 'b'));
}

TEST(PortListFill, IndicesAboveTwoHundredFiftyFiveAreNeverTried) {
    ListAndUi ui;
    PortListFill(ui, ui, Map({{"ttyS256", "COM257"}, {"ttyS255", "COM256"}}));
    EXPECT_EQ(ui.items, std::vector<std::string>{"COM256"});
}

TEST(PortListFill, AppendsToWhatTheListHeld) {
    ListAndUi ui;
    ui.items = {"earlier"};
    PortListFill(ui, ui, Map({{"ttyUSB0", "ttyUSB0"}}));
    EXPECT_EQ(ui.items, (std::vector<std::string>{"earlier", "ttyUSB0"}));
    EXPECT_TRUE(ui.messages.empty());
}

}  // namespace
}  // namespace porvane::serial
