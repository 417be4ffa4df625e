#pragma once

#include <string_view>

#include "platform/comm/comm_status.h"
#include "platform/comm/dcb.h"

namespace comm {

// Applies a line-definition text to a Dcb, as the Windows mode command reads it. Two forms:
//   "baud=9600 parity=N data=8 stop=1" with the optional keys to, xon, odsr, octs, dtr (on, off,
//   hs), rts (on, off, hs, tg) and idsr;
//   "[COMn:] 96,n,8,1[,x|,p]", where a two-digit baud abbreviates (96 is 9600, 11 is 110) and a
//   last field x asks for XON/XOFF, p for hardware handshake.
// XON/XOFF and hardware output flow control are switched off unless the text asks for them;
// fields the text does not name keep their values; fBinary is set. 110 baud without a stop
// setting gets two stop bits. On a malformed text (unknown key, bad value) the Dcb is left
// unchanged and the result is EINVAL.
CommStatus ApplyLineDefinition(std::string_view text, Dcb& dcb);

}  // namespace comm
