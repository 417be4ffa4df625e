#include "platform/comm/line_definition.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "platform/comm/comm_constants.h"

namespace comm {
namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::optional<uint32_t> Number(std::string_view s) {
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint8_t> ParityOf(std::string_view v) {
    if (v.size() != 1)
        return std::nullopt;
    switch (v[0]) {
        case 'n':
            return NOPARITY;
        case 'o':
            return ODDPARITY;
        case 'e':
            return EVENPARITY;
        case 'm':
            return MARKPARITY;
        case 's':
            return SPACEPARITY;
        default:
            return std::nullopt;
    }
}

std::optional<uint8_t> StopOf(std::string_view v) {
    if (v == "1")
        return ONESTOPBIT;
    if (v == "1.5")
        return ONE5STOPBITS;
    if (v == "2")
        return TWOSTOPBITS;
    return std::nullopt;
}

std::optional<uint8_t> DataOf(std::string_view v) {
    auto n = Number(v);
    if (!n || *n < 5 || *n > 8)
        return std::nullopt;
    return static_cast<uint8_t>(*n);
}

std::optional<bool> OnOff(std::string_view v) {
    if (v == "on")
        return true;
    if (v == "off")
        return false;
    return std::nullopt;
}

uint32_t ExpandBaud(uint32_t baud) {
    switch (baud) {
        case 11:
            return 110;
        case 15:
            return 150;
        case 30:
            return 300;
        case 60:
            return 600;
        case 12:
            return 1200;
        case 24:
            return 2400;
        case 48:
            return 4800;
        case 96:
            return 9600;
        case 19:
            return 19200;
        default:
            return baud;
    }
}

std::vector<std::string> Split(const std::string& s, char separator) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : s) {
        if (c == separator) {
            parts.push_back(part);
            part.clear();
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

// "baud=9600 parity=N data=8 stop=1 ..."
bool ApplyKeyed(const std::string& text, Dcb& dcb, bool& stop_given) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == text.size())
            break;
        size_t end = i;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])))
            ++end;
        std::string item = text.substr(i, end - i);
        i = end;
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            return false;
        std::string key = item.substr(0, eq);
        std::string value = item.substr(eq + 1);
        if (key == "baud") {
            auto n = Number(value);
            if (!n || *n == 0)
                return false;
            dcb.BaudRate = ExpandBaud(*n);
        } else if (key == "parity") {
            auto p = ParityOf(value);
            if (!p)
                return false;
            dcb.Parity = *p;
        } else if (key == "data") {
            auto d = DataOf(value);
            if (!d)
                return false;
            dcb.ByteSize = *d;
        } else if (key == "stop") {
            auto s = StopOf(value);
            if (!s)
                return false;
            dcb.StopBits = *s;
            stop_given = true;
        } else if (key == "xon") {
            auto on = OnOff(value);
            if (!on)
                return false;
            dcb.fOutX = dcb.fInX = *on;
        } else if (key == "odsr") {
            auto on = OnOff(value);
            if (!on)
                return false;
            dcb.fOutxDsrFlow = *on;
        } else if (key == "octs") {
            auto on = OnOff(value);
            if (!on)
                return false;
            dcb.fOutxCtsFlow = *on;
        } else if (key == "idsr") {
            auto on = OnOff(value);
            if (!on)
                return false;
            dcb.fDsrSensitivity = *on;
        } else if (key == "to") {
            if (!OnOff(value))
                return false;  // infinite time-out: nothing in the Dcb
        } else if (key == "dtr") {
            if (value == "on") {
                dcb.fDtrControl = DTR_CONTROL_ENABLE;
            } else if (value == "off") {
                dcb.fDtrControl = DTR_CONTROL_DISABLE;
            } else if (value == "hs") {
                dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            } else {
                return false;
            }
        } else if (key == "rts") {
            if (value == "on") {
                dcb.fRtsControl = RTS_CONTROL_ENABLE;
            } else if (value == "off") {
                dcb.fRtsControl = RTS_CONTROL_DISABLE;
            } else if (value == "hs") {
                dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            } else if (value == "tg") {
                dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            } else {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

// "[COMn:] 96,n,8,1[,x|,p]"
bool ApplyPositional(std::string text, Dcb& dcb, bool& stop_given) {
    if (size_t colon = text.find(':'); colon != std::string::npos) {
        text = text.substr(colon + 1);
    }
    std::vector<std::string> fields = Split(text, ',');
    if (fields.empty() || fields.size() > 5)
        return false;
    if (!fields[0].empty()) {
        auto n = Number(fields[0]);
        if (!n || *n == 0)
            return false;
        dcb.BaudRate = ExpandBaud(*n);
    }
    if (fields.size() > 1 && !fields[1].empty()) {
        auto p = ParityOf(fields[1]);
        if (!p)
            return false;
        dcb.Parity = *p;
    }
    if (fields.size() > 2 && !fields[2].empty()) {
        auto d = DataOf(fields[2]);
        if (!d)
            return false;
        dcb.ByteSize = *d;
    }
    if (fields.size() > 3 && !fields[3].empty()) {
        auto s = StopOf(fields[3]);
        if (!s)
            return false;
        dcb.StopBits = *s;
        stop_given = true;
    }
    if (fields.size() > 4 && !fields[4].empty()) {
        if (fields[4] == "x") {
            dcb.fOutX = dcb.fInX = 1;
        } else if (fields[4] == "p") {
            dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 1;
            dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

CommStatus ApplyLineDefinition(std::string_view text, Dcb& dcb) {
    std::string lower = Lower(text);
    Dcb result = dcb;
    result.fBinary = 1;
    result.fOutX = result.fInX = 0;
    result.fOutxCtsFlow = result.fOutxDsrFlow = 0;
    bool stop_given = false;
    bool ok = lower.find('=') != std::string::npos ? ApplyKeyed(lower, result, stop_given)
                                                   : ApplyPositional(lower, result, stop_given);
    if (!ok) {
        return CommStatus::Failure("BuildCommDCB", EINVAL);
    }
    if (result.BaudRate == 110 && !stop_given) {
        result.StopBits = TWOSTOPBITS;
    }
    dcb = result;
    return {};
}

}  // namespace comm
