#include "platform/text/gbk.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace text {
namespace {

// One iconv descriptor, released on every path.
class Iconv {
  public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
        }
    }
    ~Iconv() { iconv_close(cd_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Converts as much as possible; on a bad or unconvertible sequence it appends `bad` and skips
    // `skip` bytes (1, or the length of the bad UTF-8 sequence when skip_utf8 is set).
    std::string Convert(std::string_view in, std::string_view bad, bool skip_utf8) {
        std::string out;
        out.reserve(in.size() * 3 / 2 + 4);
        char buffer[4096];
        auto* src = const_cast<char*>(in.data());
        size_t left = in.size();
        while (left > 0) {
            char* dst = buffer;
            size_t room = sizeof buffer;
            size_t rc = iconv(cd_, &src, &left, &dst, &room);
            out.append(buffer, dst - buffer);
            if (rc != static_cast<size_t>(-1)) {
                continue;
            }
            if (errno == E2BIG) {
                continue;
            }
            // EILSEQ or EINVAL (truncated at the end): replace and skip.
            out.append(bad);
            size_t skip = skip_utf8 ? Utf8SequenceLength(static_cast<unsigned char>(*src)) : 1;
            if (skip > left) {
                skip = left;
            }
            src += skip;
            left -= skip;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

  private:
    static size_t Utf8SequenceLength(unsigned char lead) {
        if (lead >= 0xF0 && lead < 0xF8)
            return 4;
        if (lead >= 0xE0)
            return lead < 0xF0 ? 3 : 1;
        if (lead >= 0xC0)
            return 2;
        return 1;
    }

    iconv_t cd_;
};

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
    Iconv cd("UTF-8", "GBK");
    return cd.Convert(gbk, "\xEF\xBF\xBD", false);
}

std::string Utf8ToGbk(std::string_view utf8) {
    Iconv cd("GBK", "UTF-8");
    return cd.Convert(utf8, "?", true);
}

}  // namespace text
