#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace porvane::cli {

// The escape key of the interactive terminal: Ctrl-T. It is rarely bound by shells or devices,
// and Ctrl-A is taken by terminal multiplexers.
inline constexpr char kEscapeKey = 0x14;
inline constexpr char kEscapeKeyName[] = "Ctrl-T";

// One command of the interactive terminal: its letter after the escape key and what it does.
struct TermCommand {
    char letter;
    const char* what;
};

inline constexpr TermCommand kTermCommands[] = {
    {'q', "quit"},
    {'h', "list these commands"},
    {'b', "send a break"},
    {'d', "toggle DTR"},
    {'r', "toggle RTS"},
    {'s', "change the baud rate"},
    {'x', "toggle the hex view"},
    {'f', "send a file"},
    {'i', "show the line settings and the modem lines"},
    {'c', "change the line: speed, 7E1-like size/parity/stop, flow none/rts/xon"},
    {'p', "pulse DTR or RTS"},
    {'w', "send bytes typed in hex"},
    {'e', "toggle the local echo"},
    {'t', "switch the time stamps: off, time of day, delta"},
    {'l', "toggle the log (without --log: start one in a file named then)"},
    {'n', "show the byte counts each way"},
};

// The escape key in use: Ctrl-T unless --escape chose another control key.
struct EscapeKey {
    char byte = kEscapeKey;
    std::string name = kEscapeKeyName;
};

// "t", "ctrl-t", "Ctrl-T" or "^T": that control key, any letter but those of keys a terminal
// session needs as they are (Ctrl-C, Ctrl-H, Ctrl-I, Ctrl-J, Ctrl-M); nullopt otherwise.
std::optional<EscapeKey> ParseEscapeKey(const std::string& text);

// "Ctrl-T q  quit" lines, one a command, each ending with line_end.
std::string TermCommandList(const char* line_end, const std::string& escape_name = kEscapeKeyName);

// What Enter sends with --map CR, LF or CRLF; an empty text for no --map (the byte as typed);
// nullopt for another value.
std::optional<std::string> EnterBytes(const std::string& map);

// Replaces each enter byte of text with sends; text as it is when sends is empty.
std::string MapEnter(std::string_view text, char enter, const std::string& sends);

// Splits typed keys into bytes for the line and commands. A key after the escape key is a
// command (its letter in lower case, Ctrl-letter counting as the letter); the escape key twice
// sends the escape byte itself. Enter (CR from a raw terminal) is mapped to the --map bytes.
class TermKeys {
  public:
    struct Key {
        std::string send;  // bytes for the line, possibly none
        char command = 0;  // a command letter, or 0
    };

    explicit TermKeys(std::string enter_sends, char escape = kEscapeKey)
        : enter_sends_(std::move(enter_sends)), escape_(escape) {}

    Key Feed(char c);

  private:
    std::string enter_sends_;
    char escape_;
    bool escaped_ = false;
};

// Minimal line editing for the prompts of the raw terminal: printable characters are added,
// Backspace/Delete removes the last one, Ctrl-U clears the line, Enter accepts, Ctrl-C, Esc or
// the escape key give up.
class PromptEditor {
  public:
    enum class State { kEditing, kAccepted, kCancelled };

    explicit PromptEditor(char escape = kEscapeKey) : escape_(escape) {}

    // Takes one key; echo receives what to show on the terminal for it.
    State Feed(char c, std::string& echo);
    const std::string& text() const { return text_; }

  private:
    char escape_;
    std::string text_;
};

}  // namespace porvane::cli
