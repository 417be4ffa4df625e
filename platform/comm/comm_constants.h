#pragma once

#include <cstdint>

// Values with the meanings and numbers of the Windows communications interface, so that event
// words, status words and records keep the numbers the pages and the driver protocol use.
namespace comm {

// Event mask and event word bits.
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_RXFLAG = 0x0002;
inline constexpr uint32_t EV_TXEMPTY = 0x0004;
inline constexpr uint32_t EV_CTS = 0x0008;
inline constexpr uint32_t EV_DSR = 0x0010;
inline constexpr uint32_t EV_RLSD = 0x0020;
inline constexpr uint32_t EV_BREAK = 0x0040;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t EV_RING = 0x0100;
inline constexpr uint32_t kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

// Modem status word.
inline constexpr uint32_t MS_CTS_ON = 0x10;
inline constexpr uint32_t MS_DSR_ON = 0x20;
inline constexpr uint32_t MS_RING_ON = 0x40;
inline constexpr uint32_t MS_RLSD_ON = 0x80;

// Modem control register bits (as the port driver reports them).
inline constexpr uint32_t kModemControlDtr = 0x01;
inline constexpr uint32_t kModemControlRts = 0x02;

// Purge flags.
inline constexpr uint32_t PURGE_TXABORT = 0x01;
inline constexpr uint32_t PURGE_RXABORT = 0x02;
inline constexpr uint32_t PURGE_TXCLEAR = 0x04;
inline constexpr uint32_t PURGE_RXCLEAR = 0x08;
// Every purge flag at once: abort both directions and clear both buffers.
inline constexpr uint32_t kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Line error flags reported by ClearError.
inline constexpr uint32_t CE_RXOVER = 0x0001;
inline constexpr uint32_t CE_OVERRUN = 0x0002;
inline constexpr uint32_t CE_RXPARITY = 0x0004;
inline constexpr uint32_t CE_FRAME = 0x0008;
inline constexpr uint32_t CE_BREAK = 0x0010;

// Escape functions.
enum class Escape : uint32_t {
    SetXoff = 1,
    SetXon = 2,
    SetRts = 3,
    ClrRts = 4,
    SetDtr = 5,
    ClrDtr = 6,
    SetBreak = 8,
    ClrBreak = 9,
};

// Parity values.
inline constexpr uint8_t NOPARITY = 0;
inline constexpr uint8_t ODDPARITY = 1;
inline constexpr uint8_t EVENPARITY = 2;
inline constexpr uint8_t MARKPARITY = 3;
inline constexpr uint8_t SPACEPARITY = 4;

// Stop bit values.
inline constexpr uint8_t ONESTOPBIT = 0;
inline constexpr uint8_t ONE5STOPBITS = 1;
inline constexpr uint8_t TWOSTOPBITS = 2;

// DTR and RTS control modes.
inline constexpr uint32_t DTR_CONTROL_DISABLE = 0;
inline constexpr uint32_t DTR_CONTROL_ENABLE = 1;
inline constexpr uint32_t DTR_CONTROL_HANDSHAKE = 2;
inline constexpr uint32_t RTS_CONTROL_DISABLE = 0;
inline constexpr uint32_t RTS_CONTROL_ENABLE = 1;
inline constexpr uint32_t RTS_CONTROL_HANDSHAKE = 2;
inline constexpr uint32_t RTS_CONTROL_TOGGLE = 3;

// Queue lengths reported by ClearError.
struct QueueStatus {
    uint32_t in_queue = 0;
    uint32_t out_queue = 0;
};

}  // namespace comm
