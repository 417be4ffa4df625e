#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/comm/comm_timeouts.h"
#include "platform/comm/dcb.h"

namespace porvane::serial {

inline constexpr size_t kPortNameSize = 100;

// The record a port is opened with, 148 bytes, copied whole: the zero-terminated port name,
// then the line parameters and the time-outs.
struct LineSettings {
    char PortName[kPortNameSize];
    comm::Dcb dcb;
    comm::CommTimeouts timeouts;
};

static_assert(sizeof(LineSettings) == 148);

// Every byte 0, DCBlength 28 and ReadIntervalTimeout 1.
LineSettings BlankLineSettings();

// The settings panel's record at creation: 9600 baud, 8 data bits, no parity, one stop bit,
// DTR and RTS enabled, ReadIntervalTimeout 1, no name.
LineSettings PanelDefaultLineSettings();

// Replaces the whole name, terminator included. A name that does not fit (99 bytes and a zero)
// is cut to fit; returns false then.
bool SetPortName(LineSettings& settings, std::string_view name);
std::string PortNameOf(const LineSettings& settings);

}  // namespace porvane::serial
