#include "driver/rule_engine.h"

#include <cstring>

namespace sievra {
namespace {

// Applies rule's action at position i and reports the event.
void Act(const FilterRule& rule, uint32_t code, uint8_t* data, uint32_t& length, uint32_t i,
         const FilterEventSink& report) {
    const uint8_t before = data[i];
    switch (rule.action) {
        case kFlip:
            data[i] = static_cast<uint8_t>(before ^ rule.byte);
            break;
        case kReplace:
            data[i] = rule.byte;
            break;
        case kDelete:
            std::memmove(data + i, data + i + 1, length - i - 1);
            --length;
            break;
        default:
            break;  // no change, but still an event
    }
    const uint8_t after = (rule.action == kDelete && i >= length) ? before : data[i];
    report(code, rule.action, before, after);
}

}  // namespace

void ApplyRules(FilterRule& time_rule, uint32_t time_code, FilterRule& count_rule,
                uint32_t count_code, uint8_t* data, uint32_t& length,
                const FilterEventSink& report) {
    if (time_rule.count != 0 && length > 0) {
        time_rule.count = 0;
        Act(time_rule, time_code, data, length, 0, report);
    }
    if (count_rule.count == 0 || length == 0) {
        return;
    }
    uint32_t i = 0;
    while (i < length) {
        --count_rule.countdown;
        if (count_rule.countdown == 0) {
            const uint32_t before_length = length;
            Act(count_rule, count_code, data, length, i, report);
            if (count_rule.periodic) {
                count_rule.countdown = count_rule.count;
            } else {
                count_rule.count = 0;
                return;
            }
            if (length < before_length) {
                continue;  // the next byte moved into position i
            }
        }
        ++i;
    }
}

}  // namespace sievra
