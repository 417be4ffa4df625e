#include "porvane/cli/term_keys.h"

#include <cctype>

namespace porvane::cli {

std::string TermCommandList(const char* line_end) {
    std::string text;
    for (const TermCommand& command : kTermCommands) {
        text += std::string(kEscapeKeyName) + " " + command.letter + "  " + command.what + line_end;
    }
    text += std::string(kEscapeKeyName) + " " + kEscapeKeyName + "  send " + kEscapeKeyName +
            " itself" + line_end;
    return text;
}

std::optional<std::string> EnterBytes(const std::string& map) {
    if (map.empty())
        return std::string();
    if (map == "CR")
        return std::string("\r");
    if (map == "LF")
        return std::string("\n");
    if (map == "CRLF")
        return std::string("\r\n");
    return std::nullopt;
}

std::string MapEnter(std::string_view text, char enter, const std::string& sends) {
    if (sends.empty())
        return std::string(text);
    std::string mapped;
    mapped.reserve(text.size());
    for (char c : text) {
        if (c == enter)
            mapped += sends;
        else
            mapped += c;
    }
    return mapped;
}

TermKeys::Key TermKeys::Feed(char c) {
    Key key;
    if (escaped_) {
        escaped_ = false;
        if (c == kEscapeKey) {
            key.send.assign(1, kEscapeKey);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            // Ctrl-Q after the escape key is q: the control key may still be held.
            key.command = byte >= 1 && byte <= 26 ? static_cast<char>('a' + byte - 1)
                                                  : static_cast<char>(std::tolower(byte));
        }
    } else if (c == kEscapeKey) {
        escaped_ = true;
    } else if (c == '\r' && !enter_sends_.empty()) {
        key.send = enter_sends_;
    } else {
        key.send.assign(1, c);
    }
    return key;
}

PromptEditor::State PromptEditor::Feed(char c, std::string& echo) {
    echo.clear();
    switch (c) {
        case '\r':
        case '\n':
            return State::kAccepted;
        case 0x03:  // Ctrl-C
        case 0x1b:  // Esc
        case kEscapeKey:
            return State::kCancelled;
        case 0x7f:
        case '\b':
            if (!text_.empty()) {
                // The whole character goes, continuation bytes of UTF-8 included.
                while (!text_.empty() && (static_cast<unsigned char>(text_.back()) & 0xC0) == 0x80)
                    text_.pop_back();
                if (!text_.empty())
                    text_.pop_back();
                echo = "\b \b";
            }
            return State::kEditing;
        case 0x15:  // Ctrl-U
            for (size_t i = 0; i < text_.size(); ++i)
                echo += "\b \b";
            text_.clear();
            return State::kEditing;
        default:
            if (static_cast<unsigned char>(c) >= 0x20) {
                text_ += c;
                echo.assign(1, c);
            }
            return State::kEditing;
    }
}

}  // namespace porvane::cli
