#include "porvane/serial/advanced_options.h"

#include <cctype>

#include "platform/comm/comm_constants.h"

namespace porvane::serial {

AdvancedOptions DefaultAdvancedOptions() {
    return AdvancedOptions{};
}

void ApplyFlowControlPreset(AdvancedOptions& options, int preset) {
    struct Preset {
        int dtr, rts;
        bool cts_out, dsr_out, xon_out, xon_in;
    };
    static constexpr Preset kPresets[] = {
        {1, 1, false, false, false, false},  // NONE
        {1, 2, true, false, false, false},   // RTS/CTS
        {2, 1, false, true, false, false},   // DTR/DSR
        {1, 1, false, false, true, true},    // XON/XOFF
    };
    if (preset < 0 || preset >= static_cast<int>(std::size(kPresets))) {
        return;
    }
    const Preset& p = kPresets[preset];
    options.flow_control = preset;
    options.dtr_control = p.dtr;
    options.rts_control = p.rts;
    options.cts_control_out = p.cts_out;
    options.dsr_control_out = p.dsr_out;
    options.xon_control_out = p.xon_out;
    options.xon_control_in = p.xon_in;
}

std::string DigitsOnly(std::string_view typed) {
    std::string digits;
    for (char c : typed) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digits += c;
        }
    }
    return digits;
}

uint32_t ReadNumberField(std::string_view text) {
    uint64_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > 0xFFFFFFFFull) {
            return 0;
        }
    }
    return static_cast<uint32_t>(value);
}

void StoreAdvancedOptions(const AdvancedOptions& o, comm::Dcb* dcb, comm::CommTimeouts* timeouts) {
    if (dcb != nullptr) {
        dcb->fOutxCtsFlow = o.cts_control_out;
        dcb->fOutxDsrFlow = o.dsr_control_out;
        dcb->fDsrSensitivity = o.dsr_sensitivity;
        dcb->fDtrControl = static_cast<uint32_t>(o.dtr_control) & 0x3;
        dcb->fRtsControl = static_cast<uint32_t>(o.rts_control) & 0x3;
        dcb->fOutX = o.xon_control_out;
        dcb->fInX = o.xon_control_in;
        dcb->XonLim = static_cast<uint16_t>(ReadNumberField(o.xon_limit));
        dcb->XoffLim = static_cast<uint16_t>(ReadNumberField(o.xoff_limit));
        dcb->XonChar = static_cast<char>(ReadNumberField(o.xon_char));
        dcb->XoffChar = static_cast<char>(ReadNumberField(o.xoff_char));
        dcb->fErrorChar = o.error_replace;
        dcb->ErrorChar = static_cast<char>(ReadNumberField(o.error_char));
        dcb->EofChar = static_cast<char>(ReadNumberField(o.eof_char));
        dcb->EvtChar = static_cast<char>(ReadNumberField(o.event_char));
        dcb->fNull = o.null_stripping;
    }
    if (timeouts != nullptr) {
        timeouts->ReadIntervalTimeout = ReadNumberField(o.read_interval);
        timeouts->ReadTotalTimeoutMultiplier = ReadNumberField(o.read_multiplier);
        timeouts->ReadTotalTimeoutConstant = ReadNumberField(o.read_constant);
        timeouts->WriteTotalTimeoutMultiplier = ReadNumberField(o.write_multiplier);
        timeouts->WriteTotalTimeoutConstant = ReadNumberField(o.write_constant);
    }
}

}  // namespace porvane::serial
