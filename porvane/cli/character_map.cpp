#include "porvane/cli/character_map.h"

#include <sstream>

namespace porvane::cli {
namespace {

struct Rule {
    const char* name;
    unsigned char from;
    const char* to;  // what the byte becomes; empty: dropped
};

constexpr Rule kRules[] = {
    {"crlf", '\r', "\n"},  {"crcrlf", '\r', "\r\n"}, {"igncr", '\r', ""},
    {"lfcr", '\n', "\r"},  {"lfcrlf", '\n', "\r\n"}, {"ignlf", '\n', ""},
    {"delbs", 0x7F, "\b"}, {"bsdel", '\b', "\x7F"},
};

}  // namespace

std::optional<CharacterMap> CharacterMap::Parse(const std::string& list, std::string& error) {
    CharacterMap map;
    std::istringstream names(list);
    std::string name;
    while (std::getline(names, name, ',')) {
        if (name.empty())
            continue;
        const Rule* found = nullptr;
        for (const Rule& rule : kRules) {
            if (name == rule.name)
                found = &rule;
        }
        if (found == nullptr) {
            error = name + " is no map rule (" + kRuleNames + ")";
            return std::nullopt;
        }
        std::optional<std::string>& slot = map.replacement_[found->from];
        if (slot) {
            error = name + " maps a byte that an earlier rule maps already";
            return std::nullopt;
        }
        slot = found->to;
        map.empty_ = false;
    }
    return map;
}

std::string CharacterMap::Apply(std::string_view bytes) const {
    if (empty_)
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const std::optional<std::string>& slot = replacement_[static_cast<unsigned char>(c)];
        if (slot)
            out += *slot;
        else
            out += c;
    }
    return out;
}

}  // namespace porvane::cli
