#pragma once

#include <cstddef>
#include <string_view>

namespace text {

// The length of the well-formed UTF-8 sequence at text[at] (shortest form, no surrogates, at
// most U+10FFFF), or 0 when there is none.
size_t Utf8SequenceLength(std::string_view text, size_t at);

}  // namespace text
