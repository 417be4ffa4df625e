#include "porvane/serial/line_settings.h"

#include <cstring>

#include "platform/comm/comm_constants.h"

namespace porvane::serial {

LineSettings BlankLineSettings() {
    LineSettings settings{};  // zero name, zero Dcb but for DCBlength, zero time-outs
    settings.dcb.DCBlength = sizeof(comm::Dcb);
    settings.timeouts.ReadIntervalTimeout = 1;
    return settings;
}

LineSettings PanelDefaultLineSettings() {
    LineSettings settings = BlankLineSettings();
    settings.dcb.BaudRate = 9600;
    settings.dcb.ByteSize = 8;
    settings.dcb.Parity = comm::NOPARITY;
    settings.dcb.StopBits = comm::ONESTOPBIT;
    settings.dcb.fDtrControl = comm::DTR_CONTROL_ENABLE;
    settings.dcb.fRtsControl = comm::RTS_CONTROL_ENABLE;
    return settings;
}

bool SetPortName(LineSettings& settings, std::string_view name) {
    const bool fits = name.size() < kPortNameSize;
    const size_t n = fits ? name.size() : kPortNameSize - 1;
    std::memset(settings.PortName, 0, kPortNameSize);
    std::memcpy(settings.PortName, name.data(), n);
    return fits;
}

std::string PortNameOf(const LineSettings& settings) {
    return std::string(settings.PortName, strnlen(settings.PortName, kPortNameSize));
}

}  // namespace porvane::serial
