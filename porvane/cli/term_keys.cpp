#include "porvane/cli/term_keys.h"

#include <cctype>

namespace porvane::cli {

std::optional<EscapeKey> ParseEscapeKey(const std::string& text) {
    std::string letter = text;
    for (const char* prefix : {"ctrl-", "^"}) {
        const size_t n = std::char_traits<char>::length(prefix);
        if (letter.size() > n) {
            std::string head = letter.substr(0, n);
            for (char& c : head)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (head == prefix)
                letter = letter.substr(n);
        }
    }
    if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0])))
        return std::nullopt;
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter[0])));
    if (std::string_view("chijm").find(lower) != std::string_view::npos)
        return std::nullopt;
    return EscapeKey{static_cast<char>(lower - 'a' + 1),
                     std::string("Ctrl-") + static_cast<char>(std::toupper(lower))};
}

std::string TermCommandList(const char* line_end, const std::string& escape_name) {
    std::string text;
    for (const TermCommand& command : kTermCommands)
        text += escape_name + " " + command.letter + "  " + command.what + line_end;
    text += escape_name + " " + escape_name + "  send " + escape_name + " itself" + line_end;
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
        if (c == escape_) {
            key.send.assign(1, escape_);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            // Ctrl-Q after the escape key is q: the control key may still be held.
            key.command = byte >= 1 && byte <= 26 ? static_cast<char>('a' + byte - 1)
                                                  : static_cast<char>(std::tolower(byte));
        }
    } else if (c == escape_) {
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
    if (c == escape_)
        return State::kCancelled;
    switch (c) {
        case '\r':
        case '\n':
            return State::kAccepted;
        case 0x03:  // Ctrl-C
        case 0x1b:  // Esc
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
