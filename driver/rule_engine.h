#pragma once

#include <cstdint>
#include <functional>

#include "driver/sievra_protocol.h"

namespace sievra {

// A filter event: the rule slot's code and action, the byte before and after.
using FilterEventSink =
    std::function<void(uint32_t code, uint32_t action, uint8_t before, uint8_t after)>;

// Applies one direction's rules to one transfer in place: first the time rule (the first byte,
// once), then the count rule (counted across transfers). length shrinks by one for every
// deleted byte. Transfers without data change and count nothing.
void ApplyRules(FilterRule& time_rule, uint32_t time_code, FilterRule& count_rule,
                uint32_t count_code, uint8_t* data, uint32_t& length,
                const FilterEventSink& report);

}  // namespace sievra
