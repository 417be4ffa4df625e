#include "porvane/monitor/filter_texts.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "driver/sievra_protocol.h"
#include "porvane/monitor/monitor_decoder.h"
#include "porvane/monitor/monitor_record.h"

namespace porvane::monitor {
namespace {

// [row][action]
const char* const kDescriptions[4][3] = {
    {"描述: 按开始后,第%d个字符的掩码位(0x%02x)将会取反.",
     "描述: 按开始后,第%d个字符将被字符(0x%02x)替换.", "描述: 按开始后,第%d个字符将被删除."},
    {"描述: 按开始%d秒后,一个发送字符的掩码位(0x%02x)将会取反.",
     "描述: 按开始%d秒后,一个发送字符将被字符(0x%02x)替换.",
     "描述: 按开始%d秒后,一个发送字符将被删除."},
    {"描述: 描述: 按开始后,第%d个字符的掩码位(0x%02x)将会取反.",
     "描述: 描述: 按开始后,第%d个字符将被字符(0x%02x)替换.",
     "描述: 描述: 按开始后,第%d个字符将被删除."},
    {"描述: 在开始%d秒后,一个接收字符的掩码位(0x%02x)将会取反.",
     "描述: 在开始%d秒后,一个接收字符将被字符(0x%02x)替换.",
     "描述: 在开始%d秒后,一个接收字符将被删除."},
};

const char* SlotWord(uint32_t code) {
    switch (code) {
        case 0x1B2004:
            return "发送字节";
        case 0x1B2008:
            return "发送时间";
        case 0x1B200C:
            return "接收字节";
        case 0x1B2010:
            return "接收时间";
        default:
            return nullptr;
    }
}

}  // namespace

uint32_t RuleCode(FilterRow row) {
    static const uint32_t kCodes[] = {0x1B2004, 0x1B2008, 0x1B200C, 0x1B2010};
    return kCodes[static_cast<int>(row)];
}

std::string FilterDescription(FilterRow row, uint32_t action, int value, uint8_t byte) {
    char text[256];
    const char* format = kDescriptions[static_cast<int>(row)][action < 3 ? action : 0];
    std::snprintf(text, sizeof text, format, value, byte);
    return text;
}

std::vector<FilterEvent> DecodeFilterEvents(const uint8_t* buffer, size_t count) {
    static const char* const kActionWords[] = {"误码", "替换", "删除"};
    std::vector<FilterEvent> events;
    WalkRecords(buffer, count, [&](const MonitorRecord& r) {
        if (r.kind == sievra::kKindDeviceControl && r.code == sievra::IOCTL_SIEVRA_BYPASS_REPORT) {
            const uint32_t kind = r.length >= 4 ? sievra::GetLe32(r.data) : 0;
            events.push_back({kind == sievra::kReceivedUnfiltered ? "接收" : "发送",
                              BypassText(r.data, r.length)});
            return;
        }
        const char* slot = SlotWord(r.code);
        if (r.kind != sievra::kKindDeviceControl || slot == nullptr || r.tag > 2)
            return;
        const uint8_t before = r.length > 0 ? r.data[0] : 0;
        const uint8_t after = r.length > 1 ? r.data[1] : 0;
        char content[64];
        if (r.tag == sievra::kDelete)
            std::snprintf(content, sizeof content, "字符0x%02x被删除", before);
        else
            std::snprintf(content, sizeof content, "0x%02x --> 0x%02x", before, after);
        events.push_back({std::string(slot) + kActionWords[r.tag], content});
    });
    return events;
}

std::string FilterBatchTime() {
    timeval now;
    ::gettimeofday(&now, nullptr);
    tm local;
    ::localtime_r(&now.tv_sec, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d-%02d-%02d %d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_usec / 1000));
    return text;
}

}  // namespace porvane::monitor
