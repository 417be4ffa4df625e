#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The Telnet layer of remote serial ports (Telnet Com Port Control): splitting a received stream
// into data, option negotiations and subnegotiations, and building what is sent. Both ends of a
// remote port (the client device and the port server) use it.
namespace rfc2217 {

namespace telnet {
inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kNop = 241;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kEcho = 1;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPortOption = 44;
}  // namespace telnet

// Com Port Control commands as a client sends them; a server answers with the same command plus
// kServerReplyOffset.
enum class Command : uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowControlSuspend = 8,
    kFlowControlResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
inline constexpr uint8_t kServerReplyOffset = 100;

// Values of SET-PARITY (0 asks for the current value, as in every SET command).
namespace parity {
inline constexpr uint8_t kNone = 1, kOdd = 2, kEven = 3, kMark = 4, kSpace = 5;
}
// Values of SET-STOPSIZE.
namespace stop_size {
inline constexpr uint8_t kOne = 1, kTwo = 2, kOneAndHalf = 3;
}
// Values of SET-CONTROL.
namespace control {
inline constexpr uint8_t kRequestFlow = 0, kFlowNone = 1, kFlowXonXoff = 2, kFlowHardware = 3;
inline constexpr uint8_t kRequestBreak = 4, kBreakOn = 5, kBreakOff = 6;
inline constexpr uint8_t kRequestDtr = 7, kDtrOn = 8, kDtrOff = 9;
inline constexpr uint8_t kRequestRts = 10, kRtsOn = 11, kRtsOff = 12;
inline constexpr uint8_t kRequestInboundFlow = 13, kInboundFlowNone = 14, kInboundFlowXonXoff = 15,
                         kInboundFlowHardware = 16;
}  // namespace control
// Values of PURGE-DATA.
namespace purge {
inline constexpr uint8_t kReceive = 1, kTransmit = 2, kBoth = 3;
}
// Bits of NOTIFY-MODEMSTATE: the present lines in the high nibble (the same bits as the modem
// status word MS_CTS_ON ... MS_RLSD_ON), changes in the low one.
namespace modem_state {
inline constexpr uint8_t kCarrier = 0x80, kRing = 0x40, kDsr = 0x20, kCts = 0x10;
inline constexpr uint8_t kDeltaCarrier = 0x08, kRingTrailingEdge = 0x04, kDeltaDsr = 0x02,
                         kDeltaCts = 0x01;
}  // namespace modem_state
// Bits of NOTIFY-LINESTATE.
namespace line_state {
inline constexpr uint8_t kTimeout = 0x80, kTransmitShiftEmpty = 0x40, kTransmitHoldEmpty = 0x20,
                         kBreak = 0x10, kFraming = 0x08, kParity = 0x04, kOverrun = 0x02,
                         kDataReady = 0x01;
}  // namespace line_state

// What a decoder found in the stream, in stream order.
class TelnetSink {
  public:
    virtual ~TelnetSink() = default;
    // A run of data bytes, IAC doubling already undone.
    virtual void OnData(std::span<const uint8_t> bytes) = 0;
    // IAC WILL/WONT/DO/DONT option.
    virtual void OnNegotiation(uint8_t verb, uint8_t option) = 0;
    // IAC SB option payload IAC SE, the payload unescaped.
    virtual void OnSubnegotiation(uint8_t option, std::span<const uint8_t> payload) = 0;
};

// Splits a Telnet stream fed in pieces of any size. Commands without meaning for a serial line
// (NOP, GA, AYT, ...) are dropped. A subnegotiation longer than kMaxSubnegotiation is dropped
// whole, so a hostile peer cannot make the decoder grow.
class TelnetDecoder {
  public:
    static constexpr size_t kMaxSubnegotiation = 256;

    explicit TelnetDecoder(TelnetSink& sink) : sink_(sink) {}
    void Feed(std::span<const uint8_t> bytes);

  private:
    enum class State { kData, kIac, kVerb, kSbOption, kSbData, kSbIac };

    void FlushData(std::span<const uint8_t> bytes, size_t& run_start, size_t end);

    TelnetSink& sink_;
    State state_ = State::kData;
    uint8_t verb_ = 0;
    uint8_t sb_option_ = 0;
    bool sb_overflow_ = false;
    std::vector<uint8_t> sb_payload_;
};

// Appends data bytes with every IAC doubled.
void AppendData(std::vector<uint8_t>& out, std::span<const uint8_t> bytes);
// IAC verb option.
std::vector<uint8_t> Negotiation(uint8_t verb, uint8_t option);
// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped. A server passes the command
// plus kServerReplyOffset.
std::vector<uint8_t> ComPortMessage(uint8_t command, std::span<const uint8_t> value);
std::vector<uint8_t> ComPortMessage(Command command, std::span<const uint8_t> value);

// SET-BAUDRATE's value: four bytes, most significant first.
std::array<uint8_t, 4> BaudRateValue(uint32_t baud);
uint32_t ReadBaudRate(std::span<const uint8_t> value);  // 0 unless exactly four bytes

// Option negotiation without loops: each side of each option is off, on, or asked for; an answer
// is sent only for a request that changes a state, as Telnet requires.
class OptionNegotiator {
  public:
    // The options this end agrees to enable on its side (WILL) and on the peer's side (DO).
    OptionNegotiator(std::vector<uint8_t> local_allowed, std::vector<uint8_t> remote_allowed);

    // Asks to enable an option on this side (WILL) or the peer's (DO); empty when already on or
    // asked for.
    std::vector<uint8_t> OfferLocal(uint8_t option);
    std::vector<uint8_t> RequestRemote(uint8_t option);

    // The answer to a received WILL/WONT/DO/DONT (empty when none is due).
    std::vector<uint8_t> Receive(uint8_t verb, uint8_t option);

    bool LocalEnabled(uint8_t option) const { return local_[option] == Side::kOn; }
    bool RemoteEnabled(uint8_t option) const { return remote_[option] == Side::kOn; }
    // True once the peer refused (or turned off) an option this end asked for.
    bool LocalRefused(uint8_t option) const { return local_refused_[option]; }
    bool RemoteRefused(uint8_t option) const { return remote_refused_[option]; }

  private:
    enum class Side : uint8_t { kOff, kOn, kAsked };

    std::array<bool, 256> local_allowed_{};
    std::array<bool, 256> remote_allowed_{};
    std::array<Side, 256> local_{};
    std::array<Side, 256> remote_{};
    std::array<bool, 256> local_refused_{};
    std::array<bool, 256> remote_refused_{};
};

}  // namespace rfc2217
