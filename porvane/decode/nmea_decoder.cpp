#include "porvane/decode/nmea_decoder.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace porvane::decode {
namespace {

constexpr size_t kMaxLine = 1024;  // a longer "line" is bytes, not a sentence or a reply

// Splits each direction's bytes into lines (ended by LF, or CR for AT), handing each to
// Describe; bytes left at the end are a cut line.
class LineDecoder : public FrameDecoder {
  public:
    std::vector<Frame> Take(const Transfer& t) override {
        std::vector<Frame> frames;
        std::string& held = held_[t.flow == Flow::kWritten ? 0 : 1];
        for (size_t i = 0; i < t.size; ++i) {
            const char c = static_cast<char>(t.data[i]);
            if (IsEnd(c, t.flow)) {
                if (!held.empty())
                    Emit(frames, t.flow, Describe(held, t.flow, true));
                held.clear();
                continue;
            }
            held += c;
            if (Complete(held, t.flow)) {
                Emit(frames, t.flow, Describe(held, t.flow, true));
                held.clear();
            } else if (held.size() > kMaxLine) {
                Emit(frames, t.flow, Bytes(held, "line too long"));
                held.clear();
            }
        }
        return frames;
    }

    std::vector<Frame> Finish() override {
        std::vector<Frame> frames;
        for (int i = 0; i < 2; ++i) {
            const Flow flow = i == 0 ? Flow::kWritten : Flow::kRead;
            if (!held_[i].empty())
                Emit(frames, flow, Describe(held_[i], flow, false));
            held_[i].clear();
        }
        return frames;
    }

  protected:
    virtual bool IsEnd(char c, Flow flow) const = 0;
    // A line that is whole without a line end (an AT prompt, a message ended by Ctrl-Z).
    virtual bool Complete(const std::string&, Flow) const { return false; }
    // The line's frame text ("" for none); ended false for a line cut by the end.
    virtual std::string Describe(const std::string& line, Flow flow, bool ended) = 0;
    virtual const char* Name() const = 0;

    // The bytes on lines of their own, a line's worth each, joined by "\n" (Emit splits them).
    std::string Bytes(const std::string& line, const char* what) const {
        std::string text;
        for (const std::string& part :
             ByteLines(std::string(Name()) + ": " + what,
                       reinterpret_cast<const uint8_t*>(line.data()), line.size()))
            text += (text.empty() ? "" : "\n") + part;
        return text;
    }

  private:
    // A text of several lines (bytes a line's worth each, then perhaps a frame) gives a frame
    // for each; no frame text holds a line end of its own.
    static void Emit(std::vector<Frame>& frames, Flow flow, const std::string& text) {
        for (size_t at = 0; at < text.size();) {
            const size_t end = std::min(text.find('\n', at), text.size());
            frames.push_back({flow, text.substr(at, end - at)});
            at = end + 1;
        }
    }

    std::string held_[2];
};

bool Printable(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            return false;
    }
    return true;
}

class NmeaDecoder : public LineDecoder {
  protected:
    bool IsEnd(char c, Flow) const override { return c == '\n'; }
    const char* Name() const override { return "nmea"; }

    std::string Describe(const std::string& raw, Flow, bool ended) override {
        std::string line = raw;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t start = line.find_first_of("$!");
        if (start == std::string::npos || !Printable(line.substr(start)))
            return Bytes(raw, "not a sentence");
        std::string prefix;
        if (start != 0)
            prefix = Bytes(line.substr(0, start), "not a sentence") + "; ";
        const std::string sentence = line.substr(start);
        const size_t star = sentence.rfind('*');
        const std::string body =
            sentence.substr(1, star == std::string::npos ? std::string::npos : star - 1);
        std::vector<std::string> fields;
        for (size_t at = 0;;) {
            const size_t comma = body.find(',', at);
            fields.push_back(body.substr(at, comma - at));
            if (comma == std::string::npos)
                break;
            at = comma + 1;
        }
        const std::string& address = fields.front();
        std::string text = prefix + "nmea: ";
        if (address.size() == 5 && address[0] != 'P') {
            text += address + " (talker " + address.substr(0, 2) + ", sentence " +
                    address.substr(2) + ")";
        } else {
            text += address.empty() ? std::string("(no address)") : address;
        }
        text += ", " + std::to_string(fields.size() - 1) + " fields:";
        for (size_t i = 1; i < fields.size(); ++i)
            text += (i == 1 ? " " : ",") + fields[i];
        uint8_t sum = 0;
        for (const char c : body)
            sum ^= static_cast<uint8_t>(c);
        char computed[3];
        std::snprintf(computed, sizeof computed, "%02X", sum);
        if (star == std::string::npos) {
            text += ", no checksum";
        } else if (sentence.size() - star - 1 != 2 || HexDigitValue(sentence[star + 1]) < 0 ||
                   HexDigitValue(sentence[star + 2]) < 0) {
            text +=
                ", checksum BAD (\"" + sentence.substr(star + 1) + "\", computed " + computed + ")";
        } else if ((HexDigitValue(sentence[star + 1]) << 4 | HexDigitValue(sentence[star + 2])) !=
                   sum) {
            text += ", checksum BAD (" + sentence.substr(star + 1) + ", computed " + computed + ")";
        } else {
            text += ", checksum ok";
        }
        if (sentence.size() + 2 > 82)
            text += ", longer than 82 characters";
        if (!ended)
            text += ", cut (no line end)";
        return text;
    }
};

// The final result codes that end a command's reply.
bool IsFinalResult(const std::string& line) {
    static const char* const kFinal[] = {"OK",        "ERROR",       "NO CARRIER", "BUSY",
                                         "NO ANSWER", "NO DIALTONE", "CONNECT"};
    for (const char* code : kFinal) {
        const std::string c = code;
        if (line == c || (c == "CONNECT" && line.rfind("CONNECT ", 0) == 0))
            return true;
    }
    return line.rfind("+CME ERROR:", 0) == 0 || line.rfind("+CMS ERROR:", 0) == 0;
}

class AtDecoder : public LineDecoder {
  protected:
    // A command ends at CR; replies come in CR LF lines.
    bool IsEnd(char c, Flow) const override { return c == '\r' || c == '\n'; }
    bool Complete(const std::string& held, Flow flow) const override {
        return flow == Flow::kWritten ? held.back() == '\x1A' : held == "> ";
    }
    const char* Name() const override { return "at"; }

    std::string Describe(const std::string& line, Flow flow, bool ended) override {
        if (!Printable(line)) {
            // Text of a message ends with Ctrl-Z (0x1A): said as such, not as bytes.
            if (flow == Flow::kWritten && line.back() == '\x1A' &&
                Printable(line.substr(0, line.size() - 1))) {
                return "at: text \"" + line.substr(0, line.size() - 1) + "\" sent (Ctrl-Z)";
            }
            return Bytes(line, "not a command line");
        }
        const std::string cut = ended ? "" : ", cut (no line end)";
        const bool command = line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') &&
                             (line[1] == 'T' || line[1] == 't' || line[1] == '/');
        if (flow == Flow::kWritten) {
            if (command) {
                // Commands sent ahead of their replies are echoed later: a few are kept.
                sent_.push_back(line);
                if (sent_.size() > 8)
                    sent_.pop_front();
                return "at: command " + line + cut;
            }
            return "at: text \"" + line + "\"" + cut;
        }
        if (command && std::find(sent_.begin(), sent_.end(), line) != sent_.end())
            return "at: echo " + line + cut;
        if (line == ">" || line == "> ")
            return "at: prompt for text";
        if (IsFinalResult(line))
            return "at: final result " + line + cut;
        return "at: response " + line + cut;
    }

  private:
    std::deque<std::string> sent_;  // the latest commands sent
};

}  // namespace

std::unique_ptr<FrameDecoder> MakeNmeaDecoder() {
    return std::make_unique<NmeaDecoder>();
}

std::unique_ptr<FrameDecoder> MakeAtDecoder() {
    return std::make_unique<AtDecoder>();
}

}  // namespace porvane::decode
