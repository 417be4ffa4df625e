#pragma once

// The serial driver's control codes and the structures they carry, with the numbers and byte
// layouts of the Windows serial interface: the monitor record stream, the driver host's lower
// driver and the attachment all speak them.
#include <cstddef>
#include <cstdint>

#include "platform/comm/comm_constants.h"
#include "platform/comm/serial_stats.h"

namespace comm {

// Buffered, any-access control codes of the serial port device type.
constexpr uint32_t SerialControlCode(uint32_t function) {
    return (0x1Bu << 16) | (function << 2);
}

inline constexpr uint32_t IOCTL_SERIAL_SET_BAUD_RATE = SerialControlCode(1);
inline constexpr uint32_t IOCTL_SERIAL_SET_QUEUE_SIZE = SerialControlCode(2);
inline constexpr uint32_t IOCTL_SERIAL_SET_LINE_CONTROL = SerialControlCode(3);
inline constexpr uint32_t IOCTL_SERIAL_SET_BREAK_ON = SerialControlCode(4);
inline constexpr uint32_t IOCTL_SERIAL_SET_BREAK_OFF = SerialControlCode(5);
inline constexpr uint32_t IOCTL_SERIAL_IMMEDIATE_CHAR = SerialControlCode(6);
inline constexpr uint32_t IOCTL_SERIAL_SET_TIMEOUTS = SerialControlCode(7);
inline constexpr uint32_t IOCTL_SERIAL_GET_TIMEOUTS = SerialControlCode(8);
inline constexpr uint32_t IOCTL_SERIAL_SET_DTR = SerialControlCode(9);
inline constexpr uint32_t IOCTL_SERIAL_CLR_DTR = SerialControlCode(10);
inline constexpr uint32_t IOCTL_SERIAL_RESET_DEVICE = SerialControlCode(11);
inline constexpr uint32_t IOCTL_SERIAL_SET_RTS = SerialControlCode(12);
inline constexpr uint32_t IOCTL_SERIAL_CLR_RTS = SerialControlCode(13);
inline constexpr uint32_t IOCTL_SERIAL_SET_XOFF = SerialControlCode(14);
inline constexpr uint32_t IOCTL_SERIAL_SET_XON = SerialControlCode(15);
inline constexpr uint32_t IOCTL_SERIAL_GET_WAIT_MASK = SerialControlCode(16);
inline constexpr uint32_t IOCTL_SERIAL_SET_WAIT_MASK = SerialControlCode(17);
inline constexpr uint32_t IOCTL_SERIAL_WAIT_ON_MASK = SerialControlCode(18);
inline constexpr uint32_t IOCTL_SERIAL_PURGE = SerialControlCode(19);
inline constexpr uint32_t IOCTL_SERIAL_GET_BAUD_RATE = SerialControlCode(20);
inline constexpr uint32_t IOCTL_SERIAL_GET_LINE_CONTROL = SerialControlCode(21);
inline constexpr uint32_t IOCTL_SERIAL_GET_CHARS = SerialControlCode(22);
inline constexpr uint32_t IOCTL_SERIAL_SET_CHARS = SerialControlCode(23);
inline constexpr uint32_t IOCTL_SERIAL_GET_HANDFLOW = SerialControlCode(24);
inline constexpr uint32_t IOCTL_SERIAL_SET_HANDFLOW = SerialControlCode(25);
inline constexpr uint32_t IOCTL_SERIAL_GET_MODEMSTATUS = SerialControlCode(26);
inline constexpr uint32_t IOCTL_SERIAL_GET_COMMSTATUS = SerialControlCode(27);
inline constexpr uint32_t IOCTL_SERIAL_XOFF_COUNTER = SerialControlCode(28);
inline constexpr uint32_t IOCTL_SERIAL_GET_PROPERTIES = SerialControlCode(29);
inline constexpr uint32_t IOCTL_SERIAL_GET_DTRRTS = SerialControlCode(30);
inline constexpr uint32_t IOCTL_SERIAL_GET_STATS = SerialControlCode(35);
inline constexpr uint32_t IOCTL_SERIAL_CLEAR_STATS = SerialControlCode(36);
inline constexpr uint32_t IOCTL_SERIAL_GET_MODEM_CONTROL = SerialControlCode(37);
inline constexpr uint32_t IOCTL_SERIAL_SET_MODEM_CONTROL = SerialControlCode(38);

static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004);
static_assert(IOCTL_SERIAL_SET_MODEM_CONTROL == 0x1B0098);

// SERIAL_HANDFLOW.ControlHandShake bits.
inline constexpr uint32_t SERIAL_DTR_CONTROL = 0x01;
inline constexpr uint32_t SERIAL_DTR_HANDSHAKE = 0x02;
inline constexpr uint32_t SERIAL_CTS_HANDSHAKE = 0x08;
inline constexpr uint32_t SERIAL_DSR_HANDSHAKE = 0x10;
inline constexpr uint32_t SERIAL_DCD_HANDSHAKE = 0x20;
inline constexpr uint32_t SERIAL_DSR_SENSITIVITY = 0x40;
// SERIAL_HANDFLOW.FlowReplace bits.
inline constexpr uint32_t SERIAL_AUTO_TRANSMIT = 0x01;
inline constexpr uint32_t SERIAL_AUTO_RECEIVE = 0x02;
inline constexpr uint32_t SERIAL_RTS_CONTROL = 0x40;
inline constexpr uint32_t SERIAL_RTS_HANDSHAKE = 0x80;

// SERIAL_STATUS.HoldReasons bits.
inline constexpr uint32_t SERIAL_TX_WAITING_FOR_CTS = 0x01;
inline constexpr uint32_t SERIAL_TX_WAITING_FOR_XON = 0x08;
inline constexpr uint32_t SERIAL_TX_WAITING_ON_BREAK = 0x20;

struct SERIAL_BAUD_RATE {
    uint32_t BaudRate;
};
static_assert(sizeof(SERIAL_BAUD_RATE) == 4);

struct SERIAL_LINE_CONTROL {
    uint8_t StopBits;  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    uint8_t Parity;    // NOPARITY ... SPACEPARITY
    uint8_t WordLength;
};
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);

struct SERIAL_CHARS {
    uint8_t EofChar;
    uint8_t ErrorChar;
    uint8_t BreakChar;
    uint8_t EventChar;
    uint8_t XonChar;
    uint8_t XoffChar;
};
static_assert(sizeof(SERIAL_CHARS) == 6);

struct SERIAL_HANDFLOW {
    uint32_t ControlHandShake;
    uint32_t FlowReplace;
    int32_t XonLimit;
    int32_t XoffLimit;
};
static_assert(sizeof(SERIAL_HANDFLOW) == 16);

struct SERIAL_TIMEOUTS {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);

struct SERIAL_STATUS {
    uint32_t Errors;
    uint32_t HoldReasons;
    uint32_t AmountInInQueue;
    uint32_t AmountInOutQueue;
    uint8_t EofReceived;
    uint8_t WaitForImmediate;
};
static_assert(sizeof(SERIAL_STATUS) == 20);
static_assert(offsetof(SERIAL_STATUS, AmountInOutQueue) == 12);

// GET_STATS answers the port's counters as the device layer keeps them.
using SERIALPERF_STATS = SerialStats;
static_assert(sizeof(SERIALPERF_STATS) == 24);

}  // namespace comm
