#include "porvane/remote/com_port_control.h"

#include "platform/comm/comm_constants.h"
#include "platform/comm/serial_device.h"

namespace remote {
namespace {

namespace control = rfc2217::control;
using rfc2217::Command;

// The one-byte value of a command, 0 (a request for the current value) when it has none.
uint8_t ByteValue(std::span<const uint8_t> value) {
    return value.size() == 1 ? value[0] : 0;
}

uint8_t OutboundFlow(const comm::Dcb& dcb) {
    if (dcb.fOutxCtsFlow)
        return control::kFlowHardware;
    return dcb.fOutX ? control::kFlowXonXoff : control::kFlowNone;
}

uint8_t InboundFlow(const comm::Dcb& dcb) {
    if (dcb.fRtsControl == comm::RTS_CONTROL_HANDSHAKE)
        return control::kInboundFlowHardware;
    return dcb.fInX ? control::kInboundFlowXonXoff : control::kInboundFlowNone;
}

void DefaultXonXoff(comm::Dcb& dcb) {
    if (dcb.XonChar == 0 && dcb.XoffChar == 0) {
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
    }
}

// Inbound flow control: how the port holds back the far end (RTS handshake or XOFF).
void SetInboundFlow(comm::Dcb& dcb, uint8_t value) {
    if (value == control::kInboundFlowHardware) {
        dcb.fRtsControl = comm::RTS_CONTROL_HANDSHAKE;
        dcb.fInX = 0;
        return;
    }
    if (dcb.fRtsControl == comm::RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = comm::RTS_CONTROL_ENABLE;
    dcb.fInX = value == control::kInboundFlowXonXoff ? 1 : 0;
    if (dcb.fInX)
        DefaultXonXoff(dcb);
}

// Outbound flow control (how the far end holds back the port); a client that sets it means
// both directions, as clients that know no inbound setting expect.
void SetFlow(comm::Dcb& dcb, uint8_t value) {
    dcb.fOutxCtsFlow = value == control::kFlowHardware ? 1 : 0;
    dcb.fOutX = value == control::kFlowXonXoff ? 1 : 0;
    if (dcb.fOutX)
        DefaultXonXoff(dcb);
    SetInboundFlow(dcb, value == control::kFlowHardware  ? control::kInboundFlowHardware
                        : value == control::kFlowXonXoff ? control::kInboundFlowXonXoff
                                                         : control::kInboundFlowNone);
}

// SET-STOPSIZE values and the port's stop bit values, in both directions.
uint8_t StopBitsOf(uint8_t value) {
    switch (value) {
        case rfc2217::stop_size::kTwo:
            return comm::TWOSTOPBITS;
        case rfc2217::stop_size::kOneAndHalf:
            return comm::ONE5STOPBITS;
        default:
            return comm::ONESTOPBIT;
    }
}

// The stop size the line really uses: the port has one setting for "more than one stop bit",
// which gives one and a half with five data bits and two with any other size.
uint8_t StopSizeOf(const comm::Dcb& dcb) {
    switch (dcb.StopBits) {
        case comm::TWOSTOPBITS:
            return rfc2217::stop_size::kTwo;
        case comm::ONE5STOPBITS:
            return dcb.ByteSize == 5 ? rfc2217::stop_size::kOneAndHalf : rfc2217::stop_size::kTwo;
        default:
            return rfc2217::stop_size::kOne;
    }
}

// The speeds a serial line can run at: from the slowest speed a terminal names to the fastest
// UARTs and USB bridges. Outside them a pseudo-terminal would record any figure and a real
// driver would fall back to another speed or to none.
constexpr uint32_t kSlowestBaud = 50;
constexpr uint32_t kFastestBaud = 12000000;

uint32_t PurgeFlags(uint8_t value) {
    uint32_t flags = 0;
    if (value == rfc2217::purge::kReceive || value == rfc2217::purge::kBoth)
        flags |= comm::PURGE_RXABORT | comm::PURGE_RXCLEAR;
    if (value == rfc2217::purge::kTransmit || value == rfc2217::purge::kBoth)
        flags |= comm::PURGE_TXABORT | comm::PURGE_TXCLEAR;
    return flags;
}

}  // namespace

ComPortControl::ComPortControl(comm::SerialDevice& device, std::string signature)
    : device_(device), signature_(std::move(signature)) {}

std::vector<uint8_t> ComPortControl::Answer(Command command, std::span<const uint8_t> value) const {
    return rfc2217::ComPortMessage(
        static_cast<uint8_t>(static_cast<uint8_t>(command) + rfc2217::kServerReplyOffset), value);
}

std::vector<uint8_t> ComPortControl::AnswerByte(Command command, uint8_t value) const {
    const uint8_t bytes[1] = {value};
    return Answer(command, bytes);
}

template <typename Change>
void ComPortControl::ChangeState(Change change) {
    comm::Dcb dcb;
    if (!device_.GetState(dcb))
        return;
    change(dcb);
    device_.SetState(dcb);
}

comm::Dcb ComPortControl::CurrentState() {
    comm::Dcb dcb;
    device_.GetState(dcb);
    return dcb;
}

std::vector<uint8_t> ComPortControl::Execute(Command command, std::span<const uint8_t> value) {
    const uint8_t byte = ByteValue(value);
    switch (command) {
        case Command::kSignature: {
            if (!value.empty())
                return {};  // the client's own signature: nothing to answer
            const auto* text = reinterpret_cast<const uint8_t*>(signature_.data());
            return Answer(command, std::span(text, signature_.size()));
        }
        case Command::kSetBaudRate: {
            if (const uint32_t baud = rfc2217::ReadBaudRate(value);
                baud >= kSlowestBaud && baud <= kFastestBaud)
                ChangeState([&](comm::Dcb& dcb) { dcb.BaudRate = baud; });
            return Answer(command, rfc2217::BaudRateValue(CurrentState().BaudRate));
        }
        case Command::kSetDataSize:
            if (byte >= 5 && byte <= 8)
                ChangeState([&](comm::Dcb& dcb) { dcb.ByteSize = byte; });
            return AnswerByte(command, CurrentState().ByteSize);
        case Command::kSetParity:
            if (byte >= rfc2217::parity::kNone && byte <= rfc2217::parity::kSpace)
                ChangeState([&](comm::Dcb& dcb) {
                    dcb.Parity = static_cast<uint8_t>(byte - rfc2217::parity::kNone);
                    dcb.fParity = dcb.Parity != comm::NOPARITY ? 1 : 0;
                });
            return AnswerByte(command,
                              static_cast<uint8_t>(CurrentState().Parity + rfc2217::parity::kNone));
        case Command::kSetStopSize:
            if (byte >= rfc2217::stop_size::kOne && byte <= rfc2217::stop_size::kOneAndHalf)
                ChangeState([&](comm::Dcb& dcb) { dcb.StopBits = StopBitsOf(byte); });
            return AnswerByte(command, StopSizeOf(CurrentState()));
        case Command::kSetControl:
            return SetControl(byte);
        case Command::kPurgeData:
            if (PurgeFlags(byte) == 0)
                return {};
            device_.Purge(PurgeFlags(byte));
            return AnswerByte(command, byte);
        default:
            return {};
    }
}

void ComPortControl::ClearBreak() {
    if (break_on_ && device_.EscapeFunction(comm::Escape::ClrBreak))
        break_on_ = false;
}

std::vector<uint8_t> ComPortControl::SetControl(uint8_t value) {
    const Command command = Command::kSetControl;
    switch (value) {
        case control::kRequestFlow:
            return AnswerByte(command, OutboundFlow(CurrentState()));
        case control::kFlowNone:
        case control::kFlowXonXoff:
        case control::kFlowHardware:
            ChangeState([&](comm::Dcb& dcb) { SetFlow(dcb, value); });
            return AnswerByte(command, OutboundFlow(CurrentState()));
        case control::kRequestInboundFlow:
            return AnswerByte(command, InboundFlow(CurrentState()));
        case control::kInboundFlowNone:
        case control::kInboundFlowXonXoff:
        case control::kInboundFlowHardware:
            ChangeState([&](comm::Dcb& dcb) { SetInboundFlow(dcb, value); });
            return AnswerByte(command, InboundFlow(CurrentState()));
        case control::kBreakOn:
        case control::kBreakOff: {
            const bool on = value == control::kBreakOn;
            if (device_.EscapeFunction(on ? comm::Escape::SetBreak : comm::Escape::ClrBreak))
                break_on_ = on;
            [[fallthrough]];
        }
        case control::kRequestBreak:
            return AnswerByte(command, break_on_ ? control::kBreakOn : control::kBreakOff);
        case control::kDtrOn:
        case control::kDtrOff:
            SetModemLine(true, value == control::kDtrOn);
            [[fallthrough]];
        case control::kRequestDtr:
            return AnswerByte(command, ModemLineOn(true) ? control::kDtrOn : control::kDtrOff);
        case control::kRtsOn:
        case control::kRtsOff:
            SetModemLine(false, value == control::kRtsOn);
            [[fallthrough]];
        case control::kRequestRts:
            return AnswerByte(command, ModemLineOn(false) ? control::kRtsOn : control::kRtsOff);
        default:
            return {};
    }
}

void ComPortControl::SetModemLine(bool dtr, bool on) {
    comm::Dcb dcb = CurrentState();
    const uint32_t mode = dtr ? dcb.fDtrControl : dcb.fRtsControl;
    if (mode == comm::DTR_CONTROL_ENABLE || mode == comm::DTR_CONTROL_DISABLE) {
        const uint32_t wanted = on ? comm::DTR_CONTROL_ENABLE : comm::DTR_CONTROL_DISABLE;
        if (dtr)
            dcb.fDtrControl = wanted;
        else
            dcb.fRtsControl = wanted;
        device_.SetState(dcb);
        return;
    }
    using comm::Escape;
    device_.EscapeFunction(dtr ? (on ? Escape::SetDtr : Escape::ClrDtr)
                               : (on ? Escape::SetRts : Escape::ClrRts));
}

bool ComPortControl::ModemLineOn(bool dtr) {
    // A port without modem lines (a pseudo-terminal) has only its record to say.
    uint32_t lines = 0;
    if (!device_.GetModemControl(lines)) {
        const comm::Dcb dcb = CurrentState();
        return (dtr ? dcb.fDtrControl : dcb.fRtsControl) != comm::DTR_CONTROL_DISABLE;
    }
    return (lines & (dtr ? comm::kModemControlDtr : comm::kModemControlRts)) != 0;
}

}  // namespace remote
