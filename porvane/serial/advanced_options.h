#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/comm/comm_timeouts.h"
#include "platform/comm/dcb.h"

namespace porvane::serial {

// The controls of the advanced options dialog as the user sees them; number fields hold their
// text. The dialog always opens on DefaultAdvancedOptions(), not on the record's values.
struct AdvancedOptions {
    int flow_control = 0;  // position in kFlowControlEntries; stored nowhere
    bool cts_control_out = false;
    bool dsr_control_out = false;
    bool dsr_sensitivity = false;
    int dtr_control = 1;  // position in kDtrControlEntries
    int rts_control = 1;  // position in kRtsControlEntries
    bool xon_control_out = false;
    bool xon_control_in = false;
    std::string xon_limit = "512";
    std::string xoff_limit = "2048";
    std::string xon_char = "17";
    std::string xoff_char = "19";
    std::string read_interval = "1";
    std::string read_multiplier = "0";
    std::string read_constant = "0";
    std::string write_multiplier = "0";
    std::string write_constant = "0";
    std::string eof_char = "0";
    std::string error_char = "0";
    std::string event_char = "0";
    bool null_stripping = false;
    bool error_replace = false;

    bool operator==(const AdvancedOptions&) const = default;
};

inline constexpr std::array<const char*, 4> kFlowControlEntries = {"NONE", "硬件RTS/CTS流控",
                                                                   "硬件DTR/DSR流控", "软件流控"};
inline constexpr std::array<const char*, 3> kDtrControlEntries = {"Disable", "Enable", "Handshake"};
inline constexpr std::array<const char*, 4> kRtsControlEntries = {"Disable", "Enable", "Handshake",
                                                                  "Toggle"};

// What the dialog shows on opening and after "恢复缺省值".
AdvancedOptions DefaultAdvancedOptions();

// A "流量控制:" selection: sets DTR/RTS control and the four handshake boxes of its preset
// ("DSR Sensitivity Input" is never touched). An index outside the list changes nothing.
void ApplyFlowControlPreset(AdvancedOptions& options, int preset);

// The text a number field keeps of what is typed: its digits only.
std::string DigitsOnly(std::string_view typed);

// Reads a number field as the dialog manager does: decimal, empty is 0, a value beyond 32 bits
// is 0. Callers keep the low 16 or 8 bits for narrower fields.
uint32_t ReadNumberField(std::string_view text);

// "OK": writes every control into the records in the dialog's order (each bit field replaced
// without touching the other bits); the Dcb only when dcb is not null, the time-outs only when
// timeouts is not null. Fields the dialog does not show are left as they are.
void StoreAdvancedOptions(const AdvancedOptions& options, comm::Dcb* dcb,
                          comm::CommTimeouts* timeouts);

}  // namespace porvane::serial
