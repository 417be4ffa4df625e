#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/comm/dcb.h"
#include "platform/rfc2217/telnet_codec.h"

namespace comm {
class SerialDevice;
}

namespace remote {

// Carries out the Com Port Control commands that change or ask about the served port (signature,
// line settings, flow control, modem control lines, break, purge) and builds each answer: the
// command plus 100 with the value now in use, read back from the port, so that a client asking
// for what the port cannot do learns what it does instead. Used on one thread (the session's
// network thread); the device takes calls from other threads meanwhile.
class ComPortControl {
  public:
    // signature: what SIGNATURE answers (the program's name and version).
    ComPortControl(comm::SerialDevice& device, std::string signature);

    // The answer to a command from the client, already framed; empty when none is due (a
    // client's own signature, an unknown command, a value no port has).
    std::vector<uint8_t> Execute(rfc2217::Command command, std::span<const uint8_t> value);
    // Clears a break the client set and left on.
    void ClearBreak();

  private:
    std::vector<uint8_t> Answer(rfc2217::Command command, std::span<const uint8_t> value) const;
    std::vector<uint8_t> AnswerByte(rfc2217::Command command, uint8_t value) const;
    // Applies a change to the port's line state; the port keeps its state when it refuses.
    template <typename Change>
    void ChangeState(Change change);
    comm::Dcb CurrentState();

    std::vector<uint8_t> SetControl(uint8_t value);
    // DTR (dtr true) or RTS on or off: through the line state where its mode is a plain on/off,
    // so that the port's record follows; the escape function where handshaking drives it.
    void SetModemLine(bool dtr, bool on);
    bool ModemLineOn(bool dtr);

    comm::SerialDevice& device_;
    std::string signature_;
    bool break_on_ = false;  // the break this session set and has not cleared
};

}  // namespace remote
