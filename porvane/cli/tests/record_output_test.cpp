// The escaping that keeps a record on one text line and every JSON string valid UTF-8.
#include <gtest/gtest.h>

#include "porvane/cli/record_output.h"

namespace porvane::cli {
namespace {

TEST(RecordOutput, EscapesControlsAndKeepsJsonValidUtf8) {
    struct Case {
        std::string in, text, json;
    } cases[] = {
        {"AT\r\n", "AT\\r\\n", "\"AT\\r\\n\""},
        {"a\tb\x01\x7f", "a\\tb\\x01\\x7f", "\"a\\tb\\u0001\x7f\""},
        {"\"q\" \\", "\"q\" \\", "\"\\\"q\\\" \\\\\""},
        {"中文", "中文", "\"中文\""},
        // A lone byte above ASCII, a cut-off sequence, an overlong form and a surrogate.
        {"\xff", "\xff", "\"\xEF\xBF\xBD\""},
        {"x\xe4\xb8", "x\xe4\xb8", "\"x\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xc0\xaf", "\xc0\xaf", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xed\xa0\x80", "\xed\xa0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EscapeControls(c.in), c.text) << c.in;
        EXPECT_EQ(JsonString(c.in), c.json) << c.in;
    }
}

}  // namespace
}  // namespace porvane::cli
