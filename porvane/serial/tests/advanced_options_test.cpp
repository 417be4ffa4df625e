#include <gtest/gtest.h>

#include "platform/comm/comm_constants.h"
#include "porvane/serial/advanced_options.h"
#include "porvane/serial/line_settings.h"

namespace porvane::serial {
namespace {

TEST(AdvancedOptions, DefaultsStoreTheDialogsOpeningValues) {
    LineSettings s = PanelDefaultLineSettings();
    s.dcb.fOutX = 1;
    s.dcb.XonLim = 7;
    s.timeouts.ReadTotalTimeoutConstant = 500;
    StoreAdvancedOptions(DefaultAdvancedOptions(), &s.dcb, &s.timeouts);
    EXPECT_EQ(s.dcb.fOutX, 0u);
    EXPECT_EQ(s.dcb.XonLim, 512);
    EXPECT_EQ(s.dcb.XoffLim, 2048);
    EXPECT_EQ(s.dcb.XonChar, 17);
    EXPECT_EQ(s.dcb.XoffChar, 19);
    EXPECT_EQ(s.dcb.fDtrControl, comm::DTR_CONTROL_ENABLE);
    EXPECT_EQ(s.dcb.fRtsControl, comm::RTS_CONTROL_ENABLE);
    EXPECT_EQ(s.timeouts.ReadIntervalTimeout, 1u);
    EXPECT_EQ(s.timeouts.ReadTotalTimeoutConstant, 0u);
}

TEST(AdvancedOptions, RestoringDefaultsGivesWhatTheDialogOpensWith) {
    AdvancedOptions o = DefaultAdvancedOptions();
    o.xon_char = "1";
    o.xoff_char = "2";
    ApplyFlowControlPreset(o, 3);
    o = DefaultAdvancedOptions();  // "恢复缺省值"
    EXPECT_EQ(o.xon_char, "17");
    EXPECT_EQ(o.xoff_char, "19");
    EXPECT_EQ(o, AdvancedOptions{});
}

TEST(AdvancedOptions, FlowControlPresets) {
    struct Row {
        const char* name;
        int preset, dtr, rts;
        bool cts, dsr, xout, xin;
    };
    const Row rows[] = {
        {"NONE", 0, 1, 1, false, false, false, false},
        {"RTS/CTS", 1, 1, 2, true, false, false, false},
        {"DTR/DSR", 2, 2, 1, false, true, false, false},
        {"XON/XOFF", 3, 1, 1, false, false, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        AdvancedOptions o = DefaultAdvancedOptions();
        o.dsr_sensitivity = true;
        o.cts_control_out = !row.cts;
        ApplyFlowControlPreset(o, row.preset);
        EXPECT_EQ(o.dtr_control, row.dtr);
        EXPECT_EQ(o.rts_control, row.rts);
        EXPECT_EQ(o.cts_control_out, row.cts);
        EXPECT_EQ(o.dsr_control_out, row.dsr);
        EXPECT_EQ(o.xon_control_out, row.xout);
        EXPECT_EQ(o.xon_control_in, row.xin);
        EXPECT_TRUE(o.dsr_sensitivity);  // never touched by a preset
    }
    AdvancedOptions o = DefaultAdvancedOptions();
    ApplyFlowControlPreset(o, 9);
    EXPECT_EQ(o, DefaultAdvancedOptions());
}

TEST(AdvancedOptions, NumberFieldsReadAsTheDialogManagerReadsThem) {
    EXPECT_EQ(ReadNumberField(""), 0u);
    EXPECT_EQ(ReadNumberField("0042"), 42u);
    EXPECT_EQ(ReadNumberField("4294967295"), 4294967295u);
    EXPECT_EQ(ReadNumberField("4294967296"), 0u);
    EXPECT_EQ(DigitsOnly("1a2-3 "), "123");
}

TEST(AdvancedOptions, WideNumbersKeepTheirLowBits) {
    AdvancedOptions o = DefaultAdvancedOptions();
    o.xon_limit = "70000";  // 0x11170
    o.xon_char = "273";     // 0x111
    o.eof_char = "";
    comm::Dcb dcb;
    StoreAdvancedOptions(o, &dcb, nullptr);
    EXPECT_EQ(dcb.XonLim, 0x1170);
    EXPECT_EQ(static_cast<uint8_t>(dcb.XonChar), 0x11);
    EXPECT_EQ(dcb.EofChar, 0);
}

TEST(AdvancedOptions, OkWritesOnlyTheRecordsItWasGivenAndLeavesHiddenFields) {
    AdvancedOptions o = DefaultAdvancedOptions();
    o.null_stripping = true;
    o.error_replace = true;
    o.error_char = "63";
    o.event_char = "113";
    o.write_constant = "1000";
    comm::Dcb dcb;
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = comm::EVENPARITY;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fAbortOnError = 1;
    StoreAdvancedOptions(o, &dcb, nullptr);
    EXPECT_EQ(dcb.fNull, 1u);
    EXPECT_EQ(dcb.fErrorChar, 1u);
    EXPECT_EQ(dcb.ErrorChar, 63);
    EXPECT_EQ(dcb.EvtChar, 113);
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, comm::EVENPARITY);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fAbortOnError, 1u);

    comm::CommTimeouts t{9, 9, 9, 9, 9};
    StoreAdvancedOptions(o, nullptr, &t);
    EXPECT_EQ(t.ReadIntervalTimeout, 1u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
}

}  // namespace
}  // namespace porvane::serial
