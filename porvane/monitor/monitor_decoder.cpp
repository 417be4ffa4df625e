#include "porvane/monitor/monitor_decoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "driver/sievra_protocol.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/text/gbk.h"
#include "platform/text/hex_text.h"
#include "porvane/monitor/monitor_record.h"

namespace porvane::monitor {
namespace {

const char* const kParityNames[] = {"NO", "ODD", "EVEN", "MARK", "SPACE"};
const char* const kStopNames[] = {"1", "1.5", "2"};
const char* const kDtrNames[] = {"Disable", "Enable", "Handshake"};
const char* const kRtsNames[] = {"Disable", "Enable", "Handshake", "Toggle"};

struct Word {
    uint32_t bit;
    const char* text;
};

const Word kEventWords[] = {
    {0x0008, "EV_CTS, "},      {0x0010, "EV_DSR, "},    {0x0100, "EV_RING, "},
    {0x0020, "EV_RLSD(CD), "}, {0x0001, "EV_RXCHAR, "}, {0x0002, "EV_RXFLAG, "},
    {0x0004, "EV_TXEMPTY, "},  {0x0040, "EV_Break, "},  {0x0080, "EV_ERR, "}};
const Word kPurgeWords[] = {{0x8, "清空接收(RXCLEAR), "},
                            {0x4, "清空发送(TXCLEAR), "},
                            {0x2, "取消读命令(RXABORT), "},
                            {0x1, "取消写命令(TXABORT), "}};
const Word kHandShakeWords[] = {{0x02, "DTR Handshake, "},
                                {0x08, "CTS Handshake, "},
                                {0x10, "DSR Handshake, "},
                                {0x20, "DCD Handshake, "}};
const Word kFlowReplaceWords[] = {{0x01, "XON/XOFF Handshake Out, "},
                                  {0x02, "XON/XOFF Handshake In, "},
                                  {0x80, "RTS Handshake, "}};
const Word kModemStatusWords[] = {
    {0x20, " DSR ON, "}, {0x10, " CTS ON, "}, {0x40, " RING ON, "}, {0x80, " CD ON, "}};
const Word kHoldReasonWords[] = {{0x01, "CTS, "}, {0x02, "DSR, "},   {0x04, "DCD, "},
                                 {0x08, "XON, "}, {0x20, "BREAK, "}, {0x40, "DSR, "},
                                 {0x10, "XOFF, "}};

std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

template <size_t N>
std::string Words(const Word (&words)[N], uint32_t value) {
    std::string out;
    for (const Word& w : words) {
        if (value & w.bit)
            out += w.text;
    }
    return out;
}

// The record's data read as the platform's structures: a field beyond the data reads as 0.
class Fields {
  public:
    Fields(const uint8_t* data, uint32_t length) : data_(data), length_(length) {}
    uint8_t U8(uint32_t offset) const { return offset < length_ ? data_[offset] : 0; }
    uint32_t U32(uint32_t offset) const {
        uint32_t v = 0;
        for (uint32_t i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(U8(offset + i)) << (8 * i);
        return v;
    }
    int32_t I32(uint32_t offset) const { return static_cast<int32_t>(U32(offset)); }

  private:
    const uint8_t* data_;
    uint32_t length_;
};

template <size_t N>
const char* Name(const char* const (&names)[N], uint32_t index, const char* unknown = "Unknown") {
    return index < N ? names[index] : unknown;
}

std::string LineControl(const char* head, const Fields& d) {
    return Format("%s: %d DataBit ,%s Parity, %s Stopbit\r\n", head, d.U8(2),
                  Name(kParityNames, d.U8(1)), Name(kStopNames, d.U8(0)));
}

std::string Timeouts(const char* head, const Fields& d) {
    return Format(
        "%s: ReadIntervalTimeouts %dms, ReadTotalMultiplier %dms, ReadTotalConstant %dms, "
        "WriteTotalMultiplier %dms, WriteTotalConstant %dms\r\n",
        head, d.I32(0), d.I32(4), d.I32(8), d.I32(12), d.I32(16));
}

std::string Chars(const char* head, const Fields& d) {
    return Format(
        "%s: End Char 0x%02x, Error Char 0x%02x, Break Char 0x%02x, Event Char 0x%02x, XON Char "
        "0x%02x, "
        "XOFF Char 0x%02x.\r\n",
        head, d.U8(0), d.U8(1), d.U8(2), d.U8(3), d.U8(4), d.U8(5));
}

std::string HandFlow(const char* head, const Fields& d) {
    return std::string(head) + ": " + Words(kHandShakeWords, d.U32(0)) +
           Words(kFlowReplaceWords, d.U32(4)) +
           Format("Xon Limit %d, Xoff Limit %d", d.I32(8), d.I32(12)) + "\r\n";
}

std::string DataDump(const MonitorRecord& r, bool hex) {
    if (r.length == 0)
        return {};
    if (hex)
        return text::HexGroups({r.data, r.length});
    const auto* end = std::find(r.data, r.data + r.length, uint8_t{0});
    return text::GbkToUtf8(
        std::string_view(reinterpret_cast<const char*>(r.data), static_cast<size_t>(end - r.data)));
}

}  // namespace

std::string BypassText(const uint8_t* data, uint32_t length) {
    const Fields d(data, length);
    const uint32_t kind = d.U32(0);
    if (kind == sievra::kUnseen)
        return Format("C库内部的调用驱动看不到: %u 次请求 (%u bytes)", d.U32(4), d.U32(8));
    if (kind == sievra::kDescriptorChanged) {
        return Format("调用期间描述符被换成别的文件, 没有记录: %u 次请求 (%u bytes)", d.U32(4),
                      d.U32(8));
    }
    const char* what = kind == sievra::kNotRecorded          ? "没有记录"
                       : kind == sievra::kReceivedUnfiltered ? "接收数据没有经过过滤"
                                                             : "发送数据没有经过过滤";
    return Format("驱动没有及时应答: %u 次请求 (%u bytes) %s", d.U32(4), d.U32(8), what);
}

std::string DecodeControl(uint32_t code, const uint8_t* data, uint32_t length,
                          MonitorFields& fields) {
    const Fields d(data, length);
    switch (code) {
        case comm::IOCTL_SERIAL_SET_BAUD_RATE:
            fields.baud = Format("%d", d.I32(0));
            return Format("设置波特率: %d bps\r\n", d.I32(0));
        case comm::IOCTL_SERIAL_SET_QUEUE_SIZE:
            return Format("设置缓冲区大小(SetupComm): In %d, Out %d\r\n", d.I32(0), d.I32(4));
        case comm::IOCTL_SERIAL_SET_LINE_CONTROL:
            fields.data_bits = Format("%d", d.U8(2));
            fields.parity = Name(kParityNames, d.U8(1));
            fields.stop_bits = Name(kStopNames, d.U8(0));
            return LineControl("设置线路状态寄存器(LSR)", d);
        case comm::IOCTL_SERIAL_IMMEDIATE_CHAR:
            return Format("发送立即字符: 0x%02x\r\n", d.U8(0));
        case comm::IOCTL_SERIAL_SET_TIMEOUTS:
            fields.read_timeouts = Format("%d,%d,%d(ms)", d.I32(0), d.I32(4), d.I32(8));
            fields.write_timeouts = Format("%d,%d(ms)", d.I32(12), d.I32(16));
            return Timeouts("设置超时(SetCommTimouts)", d);
        case comm::IOCTL_SERIAL_GET_TIMEOUTS:
            return Timeouts("查询超时(GetCommTimouts)", d);
        case comm::IOCTL_SERIAL_SET_DTR:
            return "设置 DTR.\r\n";
        case comm::IOCTL_SERIAL_CLR_DTR:
            return "清除 DTR.\r\n";
        case comm::IOCTL_SERIAL_RESET_DEVICE:
            return "复位串口\r\n";
        case comm::IOCTL_SERIAL_SET_RTS:
            return "设置 RTS.\r\n";
        case comm::IOCTL_SERIAL_CLR_RTS:
            return "清除 RTS.\r\n";
        case comm::IOCTL_SERIAL_SET_XOFF:
            return Format("设置XOFF字节: 0x%02x\r\n", d.U8(0));  // no buffer: 0
        case comm::IOCTL_SERIAL_SET_XON:
            return Format("设置XON字节: 0x%02x\r\n", d.U8(0));
        case comm::IOCTL_SERIAL_GET_WAIT_MASK:
            return "查询等待事件(GetCommMask): " + Words(kEventWords, d.U32(0)) + "\r\n";
        case comm::IOCTL_SERIAL_SET_WAIT_MASK:
            return "设置等待事件(SetCommMask): " + Words(kEventWords, d.U32(0)) + "\r\n";
        case comm::IOCTL_SERIAL_WAIT_ON_MASK:
            return "等待事件发生(WaitCommEvent): " + Words(kEventWords, d.U32(0)) + "\r\n";
        case comm::IOCTL_SERIAL_PURGE:
            return "清空数据(PurgeComm): " + Words(kPurgeWords, d.U32(0)) + "\r\n";
        case comm::IOCTL_SERIAL_GET_BAUD_RATE:
            return Format("查询波特率: %d bps\r\n", d.I32(0));
        case comm::IOCTL_SERIAL_GET_LINE_CONTROL:
            return LineControl("查询线路状态寄存器(LSR)", d);
        case comm::IOCTL_SERIAL_GET_CHARS:
            return Chars("查询串口字符", d);
        case comm::IOCTL_SERIAL_SET_CHARS:
            fields.xon_char = Format("%d", d.U8(4));
            fields.xoff_char = Format("%d", d.U8(5));
            return Chars("设置串口字符", d);
        case comm::IOCTL_SERIAL_GET_HANDFLOW:
            return HandFlow("查询流量控制", d);
        case comm::IOCTL_SERIAL_SET_HANDFLOW: {
            const uint32_t handshake = d.U32(0);
            const uint32_t flow = d.U32(4);
            fields.cts_out = (handshake & 0x08) != 0;
            fields.dsr_out = (handshake & 0x10) != 0;
            fields.dsr_input = (handshake & 0x40) != 0;
            // The platform defines no DTR value 3; its bit 1 is the handshake bit, so it shows
            // "Handshake".
            fields.dtr_mode = kDtrNames[std::min<uint32_t>(handshake & 0x3, 2)];
            fields.rts_mode = kRtsNames[(flow >> 6) & 0x3];
            fields.xon_in = (flow & 0x02) != 0;
            fields.xon_out = (flow & 0x01) != 0;
            fields.xon_limit = Format("%d", d.I32(8));
            fields.xoff_limit = Format("%d", d.I32(12));
            return HandFlow("设置流量控制", d);
        }
        case comm::IOCTL_SERIAL_GET_MODEMSTATUS:
            return Format("查询modem状态寄存器(MSR): 0x%02x   ", d.U8(0)) +
                   Words(kModemStatusWords, d.U8(0)) + "\r\n";
        case comm::IOCTL_SERIAL_GET_COMMSTATUS:
            return Format("查询串口状态: 发送区字节数 %d, 接收区字节数 %d, ", d.I32(12), d.I32(8)) +
                   " 阻断原因: " + Words(kHoldReasonWords, d.U32(4)) + "\r\n";
        case comm::IOCTL_SERIAL_GET_PROPERTIES:
            return "IoCtl_ Get Properties.\r\n";
        case comm::IOCTL_SERIAL_GET_STATS:
            return Format(
                "查询统计数据:   接收总字节数 %d, 发送总字节数 %d, 发送冲掉的字节数 %d, "
                "接收冲掉的字节数 %d, "
                "帧错数 %d, 校验错数 %d\r\n",
                d.I32(0), d.I32(4), d.I32(12), d.I32(16), d.I32(8), d.I32(20));
        case comm::IOCTL_SERIAL_CLEAR_STATS:
            return "清除统计数据\r\n";
        case comm::IOCTL_SERIAL_GET_MODEM_CONTROL:
            return Format("查询modem控制寄存器(MCR): 0x%02x\r\n", d.U8(0));
        case comm::IOCTL_SERIAL_SET_MODEM_CONTROL:
            return Format("设置modem控制寄存器(MCR): 0x%02x\r\n", d.U8(0));
        case sievra::IOCTL_SIEVRA_BYPASS_REPORT:
            return BypassText(data, length) + "\r\n";
        case sievra::IOCTL_SIEVRA_PROCESS_REPORT: {
            std::string name;
            for (uint32_t i = 4; i < length && i < 4 + 16; ++i)
                name += data[i] >= 0x20 && data[i] < 0x7f ? static_cast<char>(data[i]) : '?';
            return Format("进程 %u (%s):\r\n", d.U32(0), name.c_str());
        }
        default:
            return {};
    }
}

MonitorOutput DecodeRecords(const uint8_t* buffer, size_t count, ContentMode mode, bool hex) {
    MonitorOutput out;
    const bool all = mode == ContentMode::kAllInfo;
    WalkRecords(buffer, count, [&](const MonitorRecord& r) {
        switch (r.kind) {
            case sievra::kKindCreate:
                if (all)
                    out.lower += Fields(r.data, r.length).U32(0) == 0 ? "Open Com OK\r\n"
                                                                      : "Open Com Failure!!.\r\n";
                break;
            case sievra::kKindClose:
                if (all)
                    out.lower += Fields(r.data, r.length).U32(0) == 0
                                     ? "Close Com OK.\r\n\r\n"
                                     : "Close Com Failure!!.\r\n\r\n";
                break;
            case sievra::kKindRead:
                out.bytes_read += r.length;
                if (all) {
                    out.lower += Format("读串口 %d bytes: ", r.length) + DataDump(r, hex) + "\r\n";
                } else {
                    out.lower += DataDump(r, hex);
                }
                break;
            case sievra::kKindWrite:
                out.bytes_written += r.length;
                if (all) {
                    out.lower += Format("写串口 %d bytes: ", r.length) + DataDump(r, hex) + "\r\n";
                } else {
                    out.upper += DataDump(r, hex);
                }
                break;
            case sievra::kKindDeviceControl:
                // What the driver could not watch is told in either content mode.
                if (all || r.code == sievra::IOCTL_SIEVRA_BYPASS_REPORT)
                    out.lower += DecodeControl(r.code, r.data, r.length, out.fields);
                break;
            default:
                break;
        }
    });
    return out;
}

}  // namespace porvane::monitor
