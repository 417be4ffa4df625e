#pragma once

#include <cstdint>
#include <string>

#include "brevant/omnix.h"

namespace brevant {

// The serial settings kept in Config.INI, section "PARAM".
struct AppSettings {
    int port = 0;            // COM
    int baud = 0;            // BAND
    char parity = 0;         // PARITY (first character)
    int data_bits = 0;       // DATABITS
    int stop_bits = 0;       // STOPBITS
    int send_format = 0;     // SENDTYPE: 0 HEX, 1 ASC
    int receive_format = 0;  // REVICETYPE: 0 HEX, 1 ASC
    long timeout_ms = 0;     // MS
    // HANDSHAKE=1: the reader's announcement of its reply (0x20) is answered with 0x06, so that
    // the reply frame itself comes and is recorded. Off (0 or missing) by default: the frame is
    // sent and what the reader says first is the reply.
    bool answer_handshake = false;
};

// $XDG_CONFIG_HOME/brevant/Config.INI (~/.config/brevant/Config.INI without it); the folder is
// made when missing. Empty (the defaults are used, nothing is kept) when the folder is not one of
// this user's that only this user may change.
std::string ConfigIniPath();

// Reads every key; a missing key reads as text without digits (0), PARITY as no character.
// Without a Config.INI at all the defaults of a first start are written first: port 1, 9600
// baud, parity N, 8 data bits, 1 stop bit, HEX both ways, 1000 ms.
AppSettings ReadSettings(IniFile& ini);
// Writes COM, BAND, DATABITS, SENDTYPE, REVICETYPE, MS, HANDSHAKE in that order (PARITY and
// STOPBITS are never written). timeout_text is the timeout box's text as typed.
void WriteSettings(IniFile& ini, const AppSettings& settings, const std::string& timeout_text);

// Leading decimal digits of a text (with an optional sign) as a number; 0 without digits.
long LeadingNumber(const std::string& text);

}  // namespace brevant
