#include "platform/comm/receive_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace comm {
namespace {

// Filters each piece in turn, as successive reads would hand them over; returns what was kept.
std::string FilterPieces(ReceiveFilter& filter, const std::vector<std::string>& pieces,
                         bool& event_seen) {
    std::string kept;
    for (std::string piece : pieces) {
        const size_t n =
            filter.Filter(reinterpret_cast<uint8_t*>(piece.data()), piece.size(), event_seen);
        kept += piece.substr(0, n);
    }
    return kept;
}

TEST(ReceiveFilter, EachOptionOnTheBytesAsTheTerminalMarksThem) {
    struct Row {
        const char* name;
        ReceiveFilter::Settings settings;
        std::vector<std::string> pieces;
        std::string kept;
        bool event;
    };
    const ReceiveFilter::Settings none;
    ReceiveFilter::Settings strip;
    strip.strip_null = true;
    ReceiveFilter::Settings replace;
    replace.replace_errors = true;
    replace.error_char = '?';
    ReceiveFilter::Settings both = replace;
    both.strip_null = true;
    both.error_char = '\0';
    both.event_char = 'q';
    ReceiveFilter::Settings event;
    event.event_char = 'q';
    const Row rows[] = {
        {"nothing set: every byte passes, 0xFF too",
         none,
         {std::string("A\0B\xff", 4)},
         std::string("A\0B\xff", 4),
         true /* NUL is the event character 0 */},
        {"null stripping drops NUL bytes", strip, {std::string("A\0B\0", 4)}, "AB", false},
        {"an errored byte becomes the error character",
         replace,
         {std::string("A\xff\0xB", 5)},
         "A?B",
         false},
        {"a doubled 0xFF is one 0xFF",
         replace,
         {"\xff\xff"
          "C"},
         "\xff"
         "C",
         false},
        {"a break is an errored NUL", replace, {std::string("\xff\0\0", 3)}, "?", false},
        {"a mark split across reads",
         replace,
         {"A\xff", std::string("\0", 1), "xB\xff", "\xff"},
         "A?B\xff",
         false},
        {"a lone 0xFF mark is dropped, its byte kept",
         replace,
         {"\xff"
          "D"},
         "D",
         false},
        {"an error character 0 is kept while NULs are stripped",
         both,
         {std::string("\0\xff\0x\0", 5)},
         std::string("\0", 1),
         false},
        {"the event character is seen", event, {"ab", "q"}, "abq", true},
        {"no event character, no event", event, {"abc"}, "abc", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ReceiveFilter filter;
        filter.Configure(row.settings);
        bool seen = false;
        EXPECT_EQ(FilterPieces(filter, row.pieces, seen), row.kept);
        EXPECT_EQ(seen, row.event);
    }
}

TEST(ReceiveFilter, PurgeAndSwitchingMarksOffForgetAHalfReadMark) {
    ReceiveFilter::Settings replace;
    replace.replace_errors = true;
    replace.error_char = '?';
    ReceiveFilter filter;
    filter.Configure(replace);
    bool seen = false;
    EXPECT_EQ(FilterPieces(filter, {"A\xff"}, seen), "A");
    filter.Reset();
    EXPECT_EQ(FilterPieces(filter, {std::string("\0x", 2)}, seen), std::string("\0x", 2));
    EXPECT_EQ(FilterPieces(filter, {"\xff"}, seen), "");
    filter.Configure(ReceiveFilter::Settings{});
    EXPECT_EQ(FilterPieces(filter, {std::string("\0x", 2)}, seen), std::string("\0x", 2));
}

}  // namespace
}  // namespace comm
