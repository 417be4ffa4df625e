#pragma once

#include <cstdint>

namespace porvane::serial {

// Codes of the page notification: panels and channels send them to their page, which routes
// each to the member that serves it. The data pointer of each code is named beside it.
enum PageCode : uint32_t {
    PN_FILL_SETTINGS = 0,       // LineSettings* or null: the settings panel fills it
    PN_SETTINGS_CHANGED = 1,    // const LineSettings*: apply while the port is open
    PN_PORT_STATE = 2,          // uint32_t*: 1 open, 0 closed
    PN_MODEM_STATUS = 3,        // uint32_t*: modem status word (MS_*)
    PN_RECV_DATA = 4,           // DataBlock*: received bytes
    PN_SEND_DATA = 5,           // DataBlock*: bytes to write
    PN_HEX_VIEW = 6,            // uint32_t*: hex display on/off
    PN_STOP_VIEW = 7,           // uint32_t*: display stopped on/off
    PN_CLEAR_VIEW = 8,          // none
    PN_RECV_COUNT = 9,          // uint32_t*: bytes of the read just finished
    PN_SEND_EMPTY = 10,         // uint32_t*: bytes written since the previous code 10
    PN_GET_MODEM_CONTROL = 12,  // uint8_t*: filled with the modem control byte
    PN_GET_VIEW_TEXT = 13,      // TextBlock*: filled with the view's text
    PN_FETCH_TALLY = 14,        // tester: receive tally to fill
    PN_TEST_STATE = 15,         // tester: uint32_t* testing flag
    PN_GET_STATISTICS = 16,     // comm::SerialStats*: filled with the port's counters
    PN_RESYNC = 17,             // tester: none
    PN_SAVE_REPORT = 18,        // tester: const char* path
    PN_SET_CHART_SCALE = 19,    // uint32_t[2]: full scale for sending, receiving
    PN_REDISPLAY = 20,          // none
    PN_PORT_GONE = 21,          // none: the device behind the open port went away (event thread)
    PN_PORTS_ARRIVED = 22,      // const std::vector<std::string>*: ports the port list took in
    PN_SELECT_PORT = 23,        // const char*: the settings panel selects this port when listed
};

// The {pointer, count} pair of the data codes. Valid only during the notification.
struct DataBlock {
    const uint8_t* data;
    uint32_t count;
};

// The {pointer, length} pair that PN_GET_VIEW_TEXT fills.
struct TextBlock {
    const char* text;
    uint32_t length;
};

}  // namespace porvane::serial
