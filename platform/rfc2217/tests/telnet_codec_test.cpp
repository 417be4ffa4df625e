#include "platform/rfc2217/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace rfc2217 {
namespace {

// Writes what the decoder reports as one text: data as "d:hex", negotiations as "n:VERB,OPT",
// subnegotiations as "s:OPT:hex".
class RecordingSink : public TelnetSink {
  public:
    std::string events;
    void OnData(std::span<const uint8_t> bytes) override { Add("d:" + Hex(bytes)); }
    void OnNegotiation(uint8_t verb, uint8_t option) override {
        Add("n:" + std::to_string(verb) + "," + std::to_string(option));
    }
    void OnSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override {
        Add("s:" + std::to_string(option) + ":" + Hex(payload));
    }

  private:
    void Add(const std::string& event) { events += (events.empty() ? "" : " ") + event; }
    static std::string Hex(std::span<const uint8_t> bytes) {
        static const char kDigits[] = "0123456789abcdef";
        std::string text;
        for (uint8_t b : bytes) {
            text += kDigits[b >> 4];
            text += kDigits[b & 15];
        }
        return text;
    }
};

std::string Decode(const std::vector<uint8_t>& stream, size_t piece) {
    RecordingSink sink;
    TelnetDecoder decoder(sink);
    for (size_t at = 0; at < stream.size(); at += piece)
        decoder.Feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at)));
    return sink.events;
}

TEST(TelnetDecoder, SplitsDataCommandsAndSubnegotiationsWhateverThePieces) {
    struct Case {
        std::vector<uint8_t> stream;
        std::string events;           // fed whole
        std::string events_bytewise;  // fed one byte at a time
    };
    const Case cases[] = {
        {{'A', 'T', 13}, "d:41540d", "d:41 d:54 d:0d"},
        {{1, 255, 255, 2}, "d:01 d:ff02", "d:01 d:ff d:02"},
        {{255, 251, 44, 'x'}, "n:251,44 d:78", "n:251,44 d:78"},
        // A server's SET-BAUDRATE answer with an escaped 0xff inside the value.
        {{255, 250, 44, 101, 0, 0, 255, 255, 0, 255, 240, 'k'},
         "s:44:650000ff00 d:6b",
         "s:44:650000ff00 d:6b"},
        {{'a', 255, 241, 'b'}, "d:61 d:62", "d:61 d:62"},
        // A broken subnegotiation (IAC followed by a command) is dropped; the command counts.
        {{255, 250, 44, 1, 255, 251, 3, 'z'}, "n:251,3 d:7a", "n:251,3 d:7a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Decode(c.stream, c.stream.size()), c.events);
        EXPECT_EQ(Decode(c.stream, 1), c.events_bytewise);
    }
}

TEST(TelnetDecoder, DropsAnOverlongSubnegotiationWithoutGrowing) {
    std::vector<uint8_t> stream{255, 250, 44, 0};
    stream.insert(stream.end(), 100000, 'x');
    stream.insert(stream.end(), {255, 240, 'o', 'k'});
    EXPECT_EQ(Decode(stream, 4096), "d:6f6b");
}

TEST(TelnetEncoding, EscapesIacInDataAndValues) {
    std::vector<uint8_t> out;
    AppendData(out, std::vector<uint8_t>{1, 255, 2});
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 255, 255, 2}));

    const auto baud = BaudRateValue(0x0000ff00);
    EXPECT_EQ(ComPortMessage(Command::kSetBaudRate, baud),
              (std::vector<uint8_t>{255, 250, 44, 1, 0, 0, 255, 255, 0, 255, 240}));
    EXPECT_EQ(ReadBaudRate(baud), 0x0000ff00u);
    EXPECT_EQ(ReadBaudRate(std::vector<uint8_t>{1, 2, 3}), 0u);
}

TEST(OptionNegotiator, AnswersOnlyChangesSoTwoEndsNeverLoop) {
    using namespace telnet;
    OptionNegotiator n({kBinary, kComPortOption}, {kBinary, kSuppressGoAhead});
    // Our own request, then the peer's agreement: no answer to an answer.
    EXPECT_EQ(n.OfferLocal(kComPortOption), Negotiation(kWill, kComPortOption));
    EXPECT_TRUE(n.OfferLocal(kComPortOption).empty());
    EXPECT_TRUE(n.Receive(kDo, kComPortOption).empty());
    EXPECT_TRUE(n.LocalEnabled(kComPortOption));
    // The peer's requests: agreed once, repeated requests unanswered, unknown ones refused.
    EXPECT_EQ(n.Receive(kWill, kBinary), Negotiation(kDo, kBinary));
    EXPECT_TRUE(n.Receive(kWill, kBinary).empty());
    EXPECT_EQ(n.Receive(kDo, kEcho), Negotiation(kWont, kEcho));
    EXPECT_EQ(n.Receive(kWill, kEcho), Negotiation(kDont, kEcho));
    EXPECT_FALSE(n.RemoteEnabled(kEcho));
    // A refusal of our request is remembered and not answered.
    EXPECT_EQ(n.RequestRemote(kSuppressGoAhead), Negotiation(kDo, kSuppressGoAhead));
    EXPECT_TRUE(n.Receive(kWont, kSuppressGoAhead).empty());
    EXPECT_TRUE(n.RemoteRefused(kSuppressGoAhead));
    // Turning off an enabled option is acknowledged once.
    EXPECT_EQ(n.Receive(kDont, kComPortOption), Negotiation(kWont, kComPortOption));
    EXPECT_FALSE(n.LocalEnabled(kComPortOption));
    EXPECT_TRUE(n.Receive(kDont, kComPortOption).empty());
}

}  // namespace
}  // namespace rfc2217
