#include "platform/rfc2217/telnet_codec.h"

#include <cstring>

namespace rfc2217 {

void TelnetDecoder::FlushData(std::span<const uint8_t> bytes, size_t& run_start, size_t end) {
    if (end > run_start)
        sink_.OnData(bytes.subspan(run_start, end - run_start));
    run_start = end;
}

void TelnetDecoder::Feed(std::span<const uint8_t> bytes) {
    size_t run_start = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t b = bytes[i];
        switch (state_) {
            case State::kData: {
                // Data stays in the run until the next IAC or the end of the piece; the search
                // for it goes at memory speed, not byte by byte through the states.
                const void* iac = std::memchr(bytes.data() + i, telnet::kIac, bytes.size() - i);
                if (iac == nullptr) {
                    i = bytes.size() - 1;
                    continue;
                }
                i = static_cast<size_t>(static_cast<const uint8_t*>(iac) - bytes.data());
                FlushData(bytes, run_start, i);
                state_ = State::kIac;
                continue;
            }
            case State::kIac:
                if (b == telnet::kIac) {
                    // A doubled IAC is one data byte: the run restarts at the second one.
                    run_start = i;
                    state_ = State::kData;
                    continue;
                }
                if (b >= telnet::kWill && b <= telnet::kDont) {
                    verb_ = b;
                    state_ = State::kVerb;
                } else if (b == telnet::kSb) {
                    state_ = State::kSbOption;
                } else {
                    state_ = State::kData;
                }
                break;
            case State::kVerb:
                sink_.OnNegotiation(verb_, b);
                state_ = State::kData;
                break;
            case State::kSbOption:
                sb_option_ = b;
                sb_payload_.clear();
                sb_overflow_ = false;
                state_ = State::kSbData;
                break;
            case State::kSbData:
                if (b == telnet::kIac) {
                    state_ = State::kSbIac;
                } else if (sb_payload_.size() < kMaxSubnegotiation) {
                    sb_payload_.push_back(b);
                } else {
                    sb_overflow_ = true;
                }
                break;
            case State::kSbIac:
                if (b == telnet::kIac) {
                    if (sb_payload_.size() < kMaxSubnegotiation)
                        sb_payload_.push_back(b);
                    else
                        sb_overflow_ = true;
                    state_ = State::kSbData;
                } else if (b == telnet::kSe) {
                    if (!sb_overflow_)
                        sink_.OnSubnegotiation(sb_option_, sb_payload_);
                    sb_payload_.clear();
                    state_ = State::kData;
                } else {
                    // IAC and anything else inside a subnegotiation: a broken peer; drop the
                    // subnegotiation and read on as a command.
                    sb_payload_.clear();
                    state_ = State::kIac;
                    --i;
                }
                break;
        }
        run_start = i + 1;
    }
    if (state_ == State::kData)
        FlushData(bytes, run_start, bytes.size());
}

void AppendData(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) {
        out.push_back(b);
        if (b == telnet::kIac)
            out.push_back(telnet::kIac);
    }
}

std::vector<uint8_t> Negotiation(uint8_t verb, uint8_t option) {
    return {telnet::kIac, verb, option};
}

std::vector<uint8_t> ComPortMessage(uint8_t command, std::span<const uint8_t> value) {
    std::vector<uint8_t> out{telnet::kIac, telnet::kSb, telnet::kComPortOption, command};
    AppendData(out, value);
    out.push_back(telnet::kIac);
    out.push_back(telnet::kSe);
    return out;
}

std::vector<uint8_t> ComPortMessage(Command command, std::span<const uint8_t> value) {
    return ComPortMessage(static_cast<uint8_t>(command), value);
}

std::array<uint8_t, 4> BaudRateValue(uint32_t baud) {
    return {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
            static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
}

uint32_t ReadBaudRate(std::span<const uint8_t> value) {
    if (value.size() != 4)
        return 0;
    return (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) |
           value[3];
}

OptionNegotiator::OptionNegotiator(std::vector<uint8_t> local_allowed,
                                   std::vector<uint8_t> remote_allowed) {
    for (uint8_t option : local_allowed)
        local_allowed_[option] = true;
    for (uint8_t option : remote_allowed)
        remote_allowed_[option] = true;
}

std::vector<uint8_t> OptionNegotiator::OfferLocal(uint8_t option) {
    if (local_[option] != Side::kOff)
        return {};
    local_[option] = Side::kAsked;
    return Negotiation(telnet::kWill, option);
}

std::vector<uint8_t> OptionNegotiator::RequestRemote(uint8_t option) {
    if (remote_[option] != Side::kOff)
        return {};
    remote_[option] = Side::kAsked;
    return Negotiation(telnet::kDo, option);
}

std::vector<uint8_t> OptionNegotiator::Receive(uint8_t verb, uint8_t option) {
    // WILL/WONT speak of the peer's side, DO/DONT of ours.
    const bool about_peer = verb == telnet::kWill || verb == telnet::kWont;
    const bool enable = verb == telnet::kWill || verb == telnet::kDo;
    Side& side = about_peer ? remote_[option] : local_[option];
    const bool allowed = about_peer ? remote_allowed_[option] : local_allowed_[option];
    bool& refused = about_peer ? remote_refused_[option] : local_refused_[option];
    const uint8_t yes = about_peer ? telnet::kDo : telnet::kWill;
    const uint8_t no = about_peer ? telnet::kDont : telnet::kWont;

    if (enable) {
        switch (side) {
            case Side::kOn:
                return {};
            case Side::kAsked:
                side = Side::kOn;
                return {};
            case Side::kOff:
                if (!allowed)
                    return Negotiation(no, option);
                side = Side::kOn;
                return Negotiation(yes, option);
        }
    }
    switch (side) {
        case Side::kOff:
            return {};
        case Side::kAsked:
            side = Side::kOff;
            refused = true;
            return {};
        case Side::kOn:
            side = Side::kOff;
            refused = true;
            return Negotiation(no, option);
    }
    return {};
}

}  // namespace rfc2217
