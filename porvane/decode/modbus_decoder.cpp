#include "porvane/decode/modbus_decoder.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "porvane/decode/modbus_pdu.h"

namespace porvane::decode {
namespace {

constexpr size_t kMaxRtuFrame = 256;  // address, PDU of at most 253, CRC
constexpr size_t kMaxAsciiFrame = 513;

std::string Hex4(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

// Frames of RTU: a frame is whole when its function's length is there and its CRC checks; a
// pause longer than 3.5 characters, a length reached with a CRC that does not check, or more
// bytes than a frame holds end whatever is held as a bad or cut frame.
class ModbusRtuDecoder : public FrameDecoder {
  public:
    void SetSpeed(uint32_t bits_per_second) override { speed_ = bits_per_second; }

    std::vector<Frame> Take(const Transfer& t) override {
        std::vector<Frame> frames;
        Side& side = sides_[t.flow == Flow::kWritten ? 0 : 1];
        if (t.time_us >= 0 && Silent(side, t.time_us))
            Extract(side, t.flow, true, frames);
        side.held.insert(side.held.end(), t.data, t.data + t.size);
        side.last_us = t.time_us;
        Extract(side, t.flow, false, frames);
        return frames;
    }

    int64_t SilenceEnds() const override {
        int64_t ends = -1;
        for (const Side& side : sides_) {
            if (!side.held.empty() && side.last_us >= 0) {
                const int64_t at = side.last_us + SilenceUs(side);
                ends = ends < 0 ? at : std::min(ends, at);
            }
        }
        return ends;
    }

    std::vector<Frame> Quiet(int64_t now_us) override {
        std::vector<Frame> frames;
        for (const Flow flow : {Flow::kWritten, Flow::kRead}) {
            Side& side = sides_[flow == Flow::kWritten ? 0 : 1];
            if (Silent(side, now_us))
                Extract(side, flow, true, frames);
        }
        return frames;
    }

    std::vector<Frame> Finish() override {
        std::vector<Frame> frames;
        Extract(sides_[0], Flow::kWritten, true, frames);
        Extract(sides_[1], Flow::kRead, true, frames);
        return frames;
    }

  private:
    struct Side {
        std::vector<uint8_t> held;
        int64_t last_us = -1;
    };

    // A pause ends a frame whose length its function does not tell. One whose length is known
    // is ended by that length and its CRC: the times of calls seen from outside the program run
    // late by more than a pause now and then. Its bytes are waited for as long as a master
    // waits between the bytes of a reply; then it is a cut frame.
    static constexpr int64_t kLateBytesUs = 500'000;
    int64_t SilenceUs(const Side& side) const {
        return LengthKnown(side.held) ? kLateBytesUs : PauseUs();
    }
    // Whether the line has been silent long enough, by now_us, to end what side holds.
    bool Silent(const Side& side, int64_t now_us) const {
        return !side.held.empty() && side.last_us >= 0 && now_us - side.last_us > SilenceUs(side);
    }

    // 3.5 characters of 11 bits at the line's speed; above 19200 bit/s a fixed 1.75 ms, as
    // Modbus sets it. An unknown speed is taken for 9600.
    int64_t PauseUs() const {
        const uint32_t speed = speed_ == 0 ? 9600 : speed_;
        return speed > 19200 ? 1750 : static_cast<int64_t>(3.5 * 11 * 1e6 / speed);
    }

    static bool CrcChecks(const uint8_t* bytes, size_t size) {
        return size >= 4 && ModbusCrc(bytes, size - 2) == (bytes[size - 2] | bytes[size - 1] << 8);
    }

    static bool LengthKnown(const std::vector<uint8_t>& held) {
        return ModbusUnitLength(held.data(), held.size(), true) ||
               ModbusUnitLength(held.data(), held.size(), false);
    }

    // A whole frame at the start of bytes: its length (0 for none), whether a form's length is
    // there with a CRC that does not check, and whether a form's length is not there yet.
    struct Found {
        size_t length = 0;
        bool reached = false;
        bool waiting = false;
    };
    static Found FrameAt(const uint8_t* bytes, size_t size, bool preferred) {
        Found found;
        for (const bool as_request : {preferred, !preferred}) {
            const std::optional<size_t> unit = ModbusUnitLength(bytes, size, as_request);
            if (!unit)
                continue;
            if (*unit + 2 > size) {
                found.waiting = found.waiting || *unit + 2 <= kMaxRtuFrame;
                continue;
            }
            if (CrcChecks(bytes, *unit + 2)) {
                found.length = *unit + 2;
                return found;
            }
            found.reached = true;
        }
        return found;
    }

    // Where the first whole frame after the start of held begins, within the bytes one line of
    // noise shows; 0 for none.
    static size_t NextFrameAt(const std::vector<uint8_t>& held, bool preferred) {
        for (size_t at = 1; at < held.size() && at <= kMaxBytesPerLine; ++at) {
            if (FrameAt(held.data() + at, held.size() - at, preferred).length != 0)
                return at;
        }
        return 0;
    }

    void Extract(Side& side, Flow flow, bool ended, std::vector<Frame>& frames) {
        const bool preferred = flow == Flow::kWritten;  // a program mostly is the client
        std::vector<uint8_t>& held = side.held;
        while (!held.empty()) {
            const Found found = FrameAt(held.data(), held.size(), preferred);
            size_t length = found.length;
            if (length == 0 && (ended || found.reached) && CrcChecks(held.data(), held.size()))
                length = held.size();
            if (length != 0) {
                const bool request = ModbusUnitIsRequest(held.data(), length - 2, preferred);
                frames.push_back(
                    {flow, "modbus-rtu: " + DescribeModbusUnit(held.data(), length - 2, request) +
                               ", CRC ok"});
                held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(length));
                continue;
            }
            if (!ended && (found.waiting || !found.reached) && held.size() <= kMaxRtuFrame)
                return;  // more may come
            // No frame starts here: the bytes up to the next one that does are bad. Of a long
            // run without one, a line's worth goes at a time, keeping back the bytes the start of
            // a frame still coming may be in.
            size_t bad = NextFrameAt(held, preferred);
            if (bad == 0 && held.size() > kMaxRtuFrame) {
                bad = std::min(kMaxBytesPerLine,
                               ended ? held.size() : held.size() - (kMaxRtuFrame - 1));
                for (std::string& line : ByteLines("modbus-rtu: not a frame", held.data(), bad))
                    frames.push_back({flow, std::move(line)});
            } else {
                bad = bad == 0 ? held.size() : bad;
                frames.push_back({flow, Bad(held.data(), bad, preferred)});
            }
            held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(bad));
        }
    }

    static std::string Bad(const uint8_t* held, size_t size, bool preferred) {
        const std::string bytes = " (" + std::to_string(size) + " bytes): " + HexGroups(held, size);
        // Shorter than its function says in either form (a request or a reply): cut off.
        bool shorter = false, fits = false;
        for (const bool as_request : {true, false}) {
            if (const std::optional<size_t> unit = ModbusUnitLength(held, size, as_request))
                (*unit + 2 > size ? shorter : fits) = true;
        }
        if (size < 4 || (shorter && !fits))
            return "modbus-rtu: cut frame" + bytes;
        const size_t unit = size - 2;
        const uint16_t sent = static_cast<uint16_t>(held[unit] | held[unit + 1] << 8);
        return "modbus-rtu: " +
               DescribeModbusUnit(held, unit, ModbusUnitIsRequest(held, unit, preferred)) +
               ", CRC BAD (" + Hex4(sent) + ", computed " + Hex4(ModbusCrc(held, unit)) + ")" +
               bytes;
    }

    Side sides_[2];
    uint32_t speed_ = 0;
};

// Frames of ASCII: from ":" to CR LF. Bytes outside a frame come out as such.
class ModbusAsciiDecoder : public FrameDecoder {
  public:
    std::vector<Frame> Take(const Transfer& t) override {
        std::vector<Frame> frames;
        const int side = t.flow == Flow::kWritten ? 0 : 1;
        std::vector<uint8_t>& held = held_[side];
        if (t.time_us >= 0 && Silent(side, t.time_us))
            Outside(held, t.flow, held.front() == ':' ? "cut frame" : "not a frame", frames);
        last_us_[side] = t.time_us;
        for (size_t i = 0; i < t.size; ++i) {
            const uint8_t c = t.data[i];
            if (c == ':' && !held.empty())  // a new frame began
                Outside(held, t.flow, held.front() == ':' ? "cut frame" : "not a frame", frames);
            held.push_back(c);
            if (held.front() != ':') {
                // Bytes before a frame: said when the frame begins, at a line end, or a line's
                // worth at a time.
                if (c == '\n' || held.size() >= kMaxBytesPerLine)
                    Outside(held, t.flow, "not a frame", frames);
                continue;
            }
            if (c == '\n' || held.size() > kMaxAsciiFrame)
                Describe(held, t.flow, frames);
        }
        return frames;
    }

    std::vector<Frame> Finish() override {
        std::vector<Frame> frames;
        for (int i = 0; i < 2; ++i) {
            if (!held_[i].empty())
                Outside(held_[i], i == 0 ? Flow::kWritten : Flow::kRead,
                        held_[i].front() == ':' ? "cut frame" : "not a frame", frames);
        }
        return frames;
    }

    int64_t SilenceEnds() const override {
        int64_t ends = -1;
        for (int i = 0; i < 2; ++i) {
            if (!held_[i].empty() && last_us_[i] >= 0)
                ends = ends < 0 ? last_us_[i] + kGapUs : std::min(ends, last_us_[i] + kGapUs);
        }
        return ends;
    }

    std::vector<Frame> Quiet(int64_t now_us) override {
        std::vector<Frame> frames;
        for (int i = 0; i < 2; ++i) {
            if (Silent(i, now_us))
                Outside(held_[i], i == 0 ? Flow::kWritten : Flow::kRead,
                        held_[i].front() == ':' ? "cut frame" : "not a frame", frames);
        }
        return frames;
    }

  private:
    // The longest pause the protocol allows between the characters of a frame: after it, what
    // is held is a cut frame.
    static constexpr int64_t kGapUs = 1'000'000;
    bool Silent(int side, int64_t now_us) const {
        return !held_[side].empty() && last_us_[side] >= 0 && now_us - last_us_[side] > kGapUs;
    }

    static void Outside(std::vector<uint8_t>& held, Flow flow, const char* what,
                        std::vector<Frame>& frames) {
        for (std::string& line :
             ByteLines("modbus-ascii: " + std::string(what), held.data(), held.size()))
            frames.push_back({flow, std::move(line)});
        held.clear();
    }

    static void Describe(std::vector<uint8_t>& held, Flow flow, std::vector<Frame>& frames) {
        const bool ended = held.size() >= 3 && held[held.size() - 2] == '\r' && held.back() == '\n';
        const size_t digits = ended ? held.size() - 3 : 0;
        std::vector<uint8_t> bytes;
        bool hex = ended && digits % 2 == 0 && digits >= 6;
        for (size_t i = 1; hex && i < 1 + digits; i += 2) {
            const int high = HexDigitValue(static_cast<char>(held[i]));
            const int low = HexDigitValue(static_cast<char>(held[i + 1]));
            hex = high >= 0 && low >= 0;
            bytes.push_back(static_cast<uint8_t>(high << 4 | low));
        }
        if (!hex) {
            Outside(held, flow, ended ? "not hex pairs" : "cut frame", frames);
            return;
        }
        held.clear();
        const size_t unit = bytes.size() - 1;
        uint8_t sum = 0;
        for (size_t i = 0; i < unit; ++i)
            sum = static_cast<uint8_t>(sum + bytes[i]);
        const uint8_t lrc = static_cast<uint8_t>(-sum);
        const bool preferred = flow == Flow::kWritten;
        std::string text = "modbus-ascii: " +
                           DescribeModbusUnit(bytes.data(), unit,
                                              ModbusUnitIsRequest(bytes.data(), unit, preferred));
        if (lrc == bytes[unit]) {
            frames.push_back({flow, text + ", LRC ok"});
            return;
        }
        char detail[40];
        std::snprintf(detail, sizeof detail, ", LRC BAD (0x%02X, computed 0x%02X)", bytes[unit],
                      lrc);
        frames.push_back({flow, text + detail});
    }

    std::vector<uint8_t> held_[2];
    int64_t last_us_[2] = {-1, -1};  // the time of each side's latest bytes
};

}  // namespace

std::unique_ptr<FrameDecoder> MakeModbusRtuDecoder() {
    return std::make_unique<ModbusRtuDecoder>();
}

std::unique_ptr<FrameDecoder> MakeModbusAsciiDecoder() {
    return std::make_unique<ModbusAsciiDecoder>();
}

}  // namespace porvane::decode
