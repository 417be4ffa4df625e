#include <gtest/gtest.h>

#include <vector>

#include "driver/sievra_protocol.h"
#include "porvane/monitor/monitor_decoder.h"
#include "porvane/monitor/monitor_record.h"

namespace porvane::monitor {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Record(uint32_t kind, uint32_t code, const Bytes& data, uint8_t tag = 1) {
    Bytes r(13);
    r[0] = tag;
    sievra::PutLe32(&r[1], kind);
    sievra::PutLe32(&r[5], code);
    sievra::PutLe32(&r[9], static_cast<uint32_t>(data.size()));
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

Bytes Le32s(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values) {
        uint8_t b[4];
        sievra::PutLe32(b, v);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

std::string Line(uint32_t code, const Bytes& data) {
    MonitorFields fields;
    return DecodeControl(code, data.data(), static_cast<uint32_t>(data.size()), fields);
}

TEST(MonitorRecords, WalkerStopsAtABrokenRecordAndNeverReadsPast) {
    Bytes buffer = Record(3, 0, {'a', 'b'});
    const Bytes second = Record(4, 0, {});
    buffer.insert(buffer.end(), second.begin(), second.end());
    std::vector<uint32_t> kinds;
    EXPECT_EQ(WalkRecords(buffer.data(), buffer.size(),
                          [&](const MonitorRecord& r) { kinds.push_back(r.kind); }),
              2u);
    EXPECT_EQ(kinds, (std::vector<uint32_t>{3, 4}));
    Bytes broken = Record(3, 0, Bytes(10, 'x'));
    broken.resize(broken.size() - 1);  // one data byte short
    EXPECT_EQ(WalkRecords(broken.data(), broken.size(), [](const MonitorRecord&) {}), 0u);
    EXPECT_EQ(WalkRecords(broken.data(), 5, [](const MonitorRecord&) {}), 0u);
    Bytes huge = Record(3, 0, {});
    sievra::PutLe32(&huge[9], 0xFFFFFFF0u);
    EXPECT_EQ(WalkRecords(huge.data(), huge.size(), [](const MonitorRecord&) {}), 0u);
}

TEST(MonitorDecoder, EveryControlCodeOfTheTable) {
    struct Row {
        uint32_t code;
        Bytes data;
        const char* line;
    };
    const Row rows[] = {
        {0x1B0004, Le32s({9600}), "设置波特率: 9600 bps\r\n"},
        {0x1B0008, Le32s({4096, 2048}), "设置缓冲区大小(SetupComm): In 4096, Out 2048\r\n"},
        {0x1B000C, {2, 1, 7}, "设置线路状态寄存器(LSR): 7 DataBit ,ODD Parity, 2 Stopbit\r\n"},
        {0x1B0018, {0x41}, "发送立即字符: 0x41\r\n"},
        {0x1B001C, Le32s({1, 2, 3, 4, 5}),
         "设置超时(SetCommTimouts): ReadIntervalTimeouts 1ms, ReadTotalMultiplier 2ms, "
         "ReadTotalConstant 3ms, "
         "WriteTotalMultiplier 4ms, WriteTotalConstant 5ms\r\n"},
        {0x1B0020, Le32s({1, 2, 3, 4, 5}),
         "查询超时(GetCommTimouts): ReadIntervalTimeouts 1ms, ReadTotalMultiplier 2ms, "
         "ReadTotalConstant 3ms, "
         "WriteTotalMultiplier 4ms, WriteTotalConstant 5ms\r\n"},
        {0x1B0024, {}, "设置 DTR.\r\n"},
        {0x1B0028, {}, "清除 DTR.\r\n"},
        {0x1B002C, {}, "复位串口\r\n"},
        {0x1B0030, {}, "设置 RTS.\r\n"},
        {0x1B0034, {}, "清除 RTS.\r\n"},
        {0x1B0038, {}, "设置XOFF字节: 0x00\r\n"},
        {0x1B003C, {}, "设置XON字节: 0x00\r\n"},
        {0x1B0040, Le32s({0x1FF}),
         "查询等待事件(GetCommMask): EV_CTS, EV_DSR, EV_RING, EV_RLSD(CD), EV_RXCHAR, EV_RXFLAG, "
         "EV_TXEMPTY, "
         "EV_Break, EV_ERR, \r\n"},
        {0x1B0044, Le32s({0x13D}),
         "设置等待事件(SetCommMask): EV_CTS, EV_DSR, EV_RING, EV_RLSD(CD), EV_RXCHAR, EV_TXEMPTY, "
         "\r\n"},
        {0x1B0048, Le32s({0}), "等待事件发生(WaitCommEvent): \r\n"},
        {0x1B004C, Le32s({0x0F}),
         "清空数据(PurgeComm): 清空接收(RXCLEAR), 清空发送(TXCLEAR), 取消读命令(RXABORT), "
         "取消写命令(TXABORT), \r\n"},
        {0x1B0050, Le32s({115200}), "查询波特率: 115200 bps\r\n"},
        {0x1B0054, {0, 0, 8}, "查询线路状态寄存器(LSR): 8 DataBit ,NO Parity, 1 Stopbit\r\n"},
        {0x1B0058,
         {1, 2, 3, 4, 0x11, 0x13},
         "查询串口字符: End Char 0x01, Error Char 0x02, Break Char 0x03, Event Char 0x04, XON Char "
         "0x11, XOFF Char "
         "0x13.\r\n"},
        {0x1B005C,
         {0, 0, 0, 0x71, 0x11, 0x13},
         "设置串口字符: End Char 0x00, Error Char 0x00, Break Char 0x00, Event Char 0x71, XON Char "
         "0x11, XOFF Char "
         "0x13.\r\n"},
        {0x1B0060, Le32s({0x3A, 0x83, 512, 2048}),
         "查询流量控制: DTR Handshake, CTS Handshake, DSR Handshake, DCD Handshake, XON/XOFF "
         "Handshake Out, XON/XOFF "
         "Handshake In, RTS Handshake, Xon Limit 512, Xoff Limit 2048\r\n"},
        {0x1B0068, {0xB0}, "查询modem状态寄存器(MSR): 0xb0    DSR ON,  CTS ON,  CD ON, \r\n"},
        {0x1B006C, Le32s({0, 0x7F, 5, 9}),
         "查询串口状态: 发送区字节数 9, 接收区字节数 5,  阻断原因: CTS, DSR, DCD, XON, BREAK, DSR, "
         "XOFF, \r\n"},
        {0x1B0074, {}, "IoCtl_ Get Properties.\r\n"},
        {0x1B008C, Le32s({10, 20, 1, 2, 3, 4}),
         "查询统计数据:   接收总字节数 10, 发送总字节数 20, 发送冲掉的字节数 2, 接收冲掉的字节数 "
         "3, 帧错数 1, 校验错数 4\r\n"},
        {0x1B0090, {}, "清除统计数据\r\n"},
        {0x1B0094, Le32s({3}), "查询modem控制寄存器(MCR): 0x03\r\n"},
        {0x1B0098, Le32s({1}), "设置modem控制寄存器(MCR): 0x01\r\n"},
        {0x1B0010, {}, ""},  // IOCTL_SERIAL_SET_BREAK_ON: not listed, adds nothing
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.code);
        EXPECT_EQ(Line(row.code, row.data), row.line);
    }
}

TEST(MonitorDecoder, SetTypeRequestsUpdateTheFields) {
    MonitorFields f;
    const Bytes handflow = Le32s({0x59, 0xC0 | 0x03, 100, 200});
    DecodeControl(0x1B0064, handflow.data(), 16, f);
    EXPECT_EQ(f.rts_mode, "Toggle");
    EXPECT_EQ(f.dtr_mode, "Enable");
    EXPECT_EQ(f.cts_out, true);
    EXPECT_EQ(f.dsr_out, true);
    EXPECT_EQ(f.dsr_input, true);
    EXPECT_EQ(f.xon_out, true);
    EXPECT_EQ(f.xon_in, true);
    EXPECT_EQ(f.xon_limit, "100");
    EXPECT_NE(Line(0x1B0064, Le32s({0, 0xC0, 0, 0})).find("RTS Handshake, "), std::string::npos);
    MonitorFields dtr3;
    const Bytes dtr_value_3 = Le32s({0x03, 0, 0, 0});
    DecodeControl(0x1B0064, dtr_value_3.data(), 16, dtr3);
    EXPECT_EQ(dtr3.dtr_mode, "Handshake");  // undefined by the platform; its handshake bit is set
    MonitorFields g;
    const Bytes line_control = {0, 4, 8};
    DecodeControl(0x1B000C, line_control.data(), 3, g);
    EXPECT_EQ(g.parity, "SPACE");
    EXPECT_EQ(g.data_bits, "8");
    const Bytes timeouts = Le32s({1, 2, 3, 4, 5});
    DecodeControl(0x1B001C, timeouts.data(), 20, g);
    EXPECT_EQ(g.read_timeouts, "1,2,3(ms)");
    EXPECT_EQ(g.write_timeouts, "4,5(ms)");
    MonitorFields h;
    DecodeControl(0x1B0054, line_control.data(), 3, h);  // get-type: no field
    EXPECT_FALSE(h.parity.has_value());
}

TEST(MonitorDecoder, AllInfoAndDataOnly) {
    Bytes buffer = Record(0, 0, Le32s({0}));
    for (const Bytes& r : {Record(4, 0, {'h', 'i'}), Record(3, 0, {'o', 0, 'k'}), Record(3, 0, {}),
                           Record(14, 0x1B0004, Le32s({9600})), Record(2, 0, Le32s({1}))}) {
        buffer.insert(buffer.end(), r.begin(), r.end());
    }
    MonitorOutput all = DecodeRecords(buffer.data(), buffer.size(), ContentMode::kAllInfo, false);
    EXPECT_EQ(all.lower,
              "Open Com OK\r\n写串口 2 bytes: hi\r\n读串口 3 bytes: o\r\n读串口 0 bytes: "
              "\r\n设置波特率: 9600 bps\r\n"
              "Close Com Failure!!.\r\n\r\n");
    EXPECT_TRUE(all.upper.empty());
    EXPECT_EQ(all.fields.baud, "9600");
    MonitorOutput hex = DecodeRecords(buffer.data(), buffer.size(), ContentMode::kAllInfo, true);
    EXPECT_NE(hex.lower.find("读串口 3 bytes: 6f 00 6b \r\n"), std::string::npos);
    MonitorOutput data = DecodeRecords(buffer.data(), buffer.size(), ContentMode::kDataOnly, false);
    EXPECT_EQ(data.upper, "hi");
    EXPECT_EQ(data.lower, "o");
    EXPECT_FALSE(data.fields.baud.has_value());
}

TEST(MonitorDecoder, ShortDataReadsAsZeros) {
    EXPECT_EQ(Line(0x1B0004, {0x80}), "设置波特率: 128 bps\r\n");
    EXPECT_EQ(DecodeRecords(nullptr, 0, ContentMode::kAllInfo, false).lower, "");
}

}  // namespace
}  // namespace porvane::monitor
