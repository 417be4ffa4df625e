#pragma once

#include <string>
#include <string_view>

namespace text {

// Converts GBK bytes to UTF-8. Bytes that are not GBK become U+FFFD, one per bad byte, so the
// result always has the same characters a reader of the original would see, minus the bad ones.
std::string GbkToUtf8(std::string_view gbk);

// Converts UTF-8 to GBK. Characters GBK cannot hold become '?'; malformed UTF-8 bytes too.
std::string Utf8ToGbk(std::string_view utf8);

}  // namespace text
