// The pieces of the interactive terminal that need no port: keys, prompts and the received view.
#include <gtest/gtest.h>

#include "porvane/cli/received_view.h"
#include "porvane/cli/term_keys.h"

namespace porvane::cli {
namespace {

// Feeds typed keys and renders what they did: bytes for the line as they are, a command as
// "[q]".
std::string Render(TermKeys& keys, const std::string& typed) {
    std::string done;
    for (char c : typed) {
        const TermKeys::Key key = keys.Feed(c);
        done += key.send;
        if (key.command != 0)
            done += std::string("[") + key.command + "]";
    }
    return done;
}

TEST(TermKeys, KeysGoAsTypedAndTheEscapeKeyStartsACommand) {
    struct Row {
        const char* name;
        std::string map;
        std::string typed;
        std::string done;
    } rows[] = {
        {"plain keys and Ctrl-C", "", "ab\x03", "ab\x03"},
        {"Enter as typed", "", "a\r", "a\r"},
        {"Enter as CRLF", "CRLF", "a\r", "a\r\n"},
        {"Enter as LF", "LF", "\r\n", "\n\n"},
        {"command letter", "", "x\x14qy", "x[q]y"},
        {"upper case and Ctrl-letter", "", "\x14Q\x14\x11", "[q][q]"},
        {"escape twice sends it", "",
         "\x14\x14"
         "a",
         "\x14"
         "a"},
        {"escape thrice waits for a letter", "",
         "\x14\x14\x14"
         "b",
         "\x14[b]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TermKeys keys(*EnterBytes(row.map));
        EXPECT_EQ(Render(keys, row.typed), row.done);
    }
}

TEST(TermKeys, AnotherEscapeKey) {
    struct Row {
        const char* text;
        std::optional<std::string> name;
    } rows[] = {
        {"a", "Ctrl-A"},     {"ctrl-b", "Ctrl-B"}, {"Ctrl-X", "Ctrl-X"}, {"^]", std::nullopt},
        {"^Y", "Ctrl-Y"},    {"c", std::nullopt},  {"m", std::nullopt},  {"ab", std::nullopt},
        {"1", std::nullopt}, {"", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const std::optional<EscapeKey> key = ParseEscapeKey(row.text);
        EXPECT_EQ(key ? std::optional(key->name) : std::nullopt, row.name);
    }
    // With Ctrl-A the escape key, Ctrl-T is a key like any other.
    TermKeys keys("", ParseEscapeKey("a")->byte);
    EXPECT_EQ(Render(keys, "\x14\x01q\x01\x01"), "\x14[q]\x01");
    EXPECT_EQ(TermCommandList("\n", "Ctrl-A").substr(0, 15), "Ctrl-A q  quit\n");
}

TEST(TermKeys, EnterMapping) {
    EXPECT_EQ(EnterBytes(""), "");
    EXPECT_EQ(EnterBytes("CR"), "\r");
    EXPECT_EQ(EnterBytes("CRLF"), "\r\n");
    EXPECT_EQ(EnterBytes("crlf"), std::nullopt);
    EXPECT_EQ(MapEnter("a\nb\n", '\n', "\r\n"), "a\r\nb\r\n");
    EXPECT_EQ(MapEnter("a\nb", '\n', ""), "a\nb");
}

TEST(PromptEditor, EditsAcceptsAndGivesUp) {
    struct Row {
        const char* name;
        std::string typed;
        PromptEditor::State state;
        std::string text;
        std::string echo;  // of every key together
    } rows[] = {
        {"digits and Enter", "96\r", PromptEditor::State::kAccepted, "96", "96"},
        {"backspace",
         "97\x7f"
         "6\r",
         PromptEditor::State::kAccepted, "96", "97\b \b6"},
        {"backspace on empty", "\b\r", PromptEditor::State::kAccepted, "", ""},
        {"backspace removes a whole UTF-8 character", "a\xe4\xb8\xad\x7f\r",
         PromptEditor::State::kAccepted, "a", "a\xe4\xb8\xad\b \b"},
        {"Ctrl-U clears",
         "12\x15"
         "3\r",
         PromptEditor::State::kAccepted, "3", "12\b \b\b \b3"},
        {"control keys are not taken", "1\x01\r", PromptEditor::State::kAccepted, "1", "1"},
        {"Ctrl-C gives up", "12\x03", PromptEditor::State::kCancelled, "12", "12"},
        {"Esc gives up", "\x1b", PromptEditor::State::kCancelled, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PromptEditor editor;
        PromptEditor::State state = PromptEditor::State::kEditing;
        std::string echo_all;
        for (char c : row.typed) {
            std::string echo;
            state = editor.Feed(c, echo);
            echo_all += echo;
            if (state != PromptEditor::State::kEditing)
                break;
        }
        EXPECT_EQ(state, row.state);
        EXPECT_EQ(editor.text(), row.text);
        EXPECT_EQ(echo_all, row.echo);
    }
}

std::string Add(ReceivedView& view, const std::string& bytes) {
    return view.Add(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                    ReceivedView::TimePoint{});
}

TEST(ReceivedView, HexBreaksAtSixteenBytesAndAtEachPause) {
    ReceivedView view(true, StampMode::kNone, "\n");
    EXPECT_EQ(Add(view, "0123456789abcdefg"),
              "30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 \n67 ");
    EXPECT_TRUE(view.WaitsForPause());
    EXPECT_EQ(view.Pause(), "\n");
    EXPECT_EQ(view.Pause(), "");  // no line under way
    EXPECT_EQ(Add(view, "AB"), "41 42 ");
    EXPECT_EQ(view.SetHex(false), "\n");  // switching ends the hex line
    EXPECT_EQ(Add(view, "ok\r\n"), "ok\r\n");
    EXPECT_FALSE(view.WaitsForPause());  // plain text is left as it comes
    EXPECT_EQ(view.Finish(), "");
    ReceivedView raw(true, StampMode::kNone, "\r\n");
    EXPECT_EQ(Add(raw, "\x01"), "01 ");
    EXPECT_EQ(raw.Finish(), "\r\n");
}

TEST(ReceivedView, StampsStartEachLineAndEachBurst) {
    ReceivedView text(false, StampMode::kDelta, "\n");
    EXPECT_EQ(Add(text, "a\nb"), "+0.000000 a\n+0.000000 b");
    EXPECT_EQ(text.Pause(), "\n");  // the burst ends its line, so the next one is stamped
    EXPECT_EQ(Add(text, "c"), "+0.000000 c");
    ReceivedView hex(true, StampMode::kDelta, "\n");
    EXPECT_EQ(Add(hex, "A"), "+0.000000 41 ");
}

}  // namespace
}  // namespace porvane::cli
