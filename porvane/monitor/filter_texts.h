#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace porvane::monitor {

// The four rule rows of the filter page, in the order of their rule codes.
enum class FilterRow { kSendCount = 0, kSendTime = 1, kRecvCount = 2, kRecvTime = 3 };

// The driver's control code for a row's rule slot.
uint32_t RuleCode(FilterRow row);

// The row's "描述:" text (UTF-8) for the action (0 flip, 1 replace, 2 delete), the row's value
// (bytes or seconds) and the rule byte.
std::string FilterDescription(FilterRow row, uint32_t action, int value, uint8_t byte);

// One listed filter event: "发送/接收", "事件内容" (the time is the batch's).
struct FilterEvent {
    std::string direction;
    std::string content;
};

// The filter events of one buffer of records, in order: control records whose code names a rule
// slot and whose tag is an action; everything else is skipped.
std::vector<FilterEvent> DecodeFilterEvents(const uint8_t* buffer, size_t count);

// The batch time stamp "%d-%02d-%02d %02d-%02d-%02d %d" of local time now.
std::string FilterBatchTime();

}  // namespace porvane::monitor
