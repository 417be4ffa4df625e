#pragma once

#include <cstddef>
#include <cstdint>

namespace comm {

// Line parameters of a port: the device control block, 28 bytes, with the field order, bit
// positions and meanings of the Windows DCB so that records copied as raw bytes stay compatible.
struct Dcb {
    uint32_t DCBlength = sizeof(Dcb);
    uint32_t BaudRate = 0;
    uint32_t fBinary : 1 = 0;
    uint32_t fParity : 1 = 0;  // parity checking of received characters
    uint32_t fOutxCtsFlow : 1 = 0;
    uint32_t fOutxDsrFlow : 1 = 0;
    uint32_t fDtrControl : 2 = 0;  // DTR_CONTROL_*
    uint32_t fDsrSensitivity : 1 = 0;
    uint32_t fTXContinueOnXoff : 1 = 0;
    uint32_t fOutX : 1 = 0;
    uint32_t fInX : 1 = 0;
    uint32_t fErrorChar : 1 = 0;
    uint32_t fNull : 1 = 0;
    uint32_t fRtsControl : 2 = 0;  // RTS_CONTROL_*
    uint32_t fAbortOnError : 1 = 0;
    uint32_t fDummy2 : 17 = 0;
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;    // NOPARITY ... SPACEPARITY
    uint8_t StopBits = 0;  // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;
};

static_assert(sizeof(Dcb) == 28);
static_assert(offsetof(Dcb, XonLim) == 14);
static_assert(offsetof(Dcb, ByteSize) == 18);
static_assert(offsetof(Dcb, EvtChar) == 25);

// The 32-bit word that holds the flag bit fields (offset 8).
uint32_t DcbFlagWord(const Dcb& dcb);
void SetDcbFlagWord(Dcb& dcb, uint32_t word);

}  // namespace comm
