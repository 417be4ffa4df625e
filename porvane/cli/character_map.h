#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace porvane::cli {

// A translation of single bytes on their way in or out of the terminal, built from a list of
// rules such as "crlf,delbs": crlf (CR becomes LF), crcrlf (CR becomes CR LF), igncr (CR is
// dropped), lfcr, lfcrlf, ignlf (the same for LF), delbs (DEL becomes BS) and bsdel (BS becomes
// DEL). Every other byte passes as it is.
class CharacterMap {
  public:
    // The rule names, for the help.
    static constexpr char kRuleNames[] = "crlf, crcrlf, igncr, lfcr, lfcrlf, ignlf, delbs, bsdel";

    CharacterMap() = default;
    // The map of a comma-separated list; nullopt, with error saying why, for an unknown rule or
    // two rules for one byte.
    static std::optional<CharacterMap> Parse(const std::string& list, std::string& error);

    bool empty() const { return empty_; }
    std::string Apply(std::string_view bytes) const;

  private:
    std::array<std::optional<std::string>, 256> replacement_;  // per byte, when it is mapped
    bool empty_ = true;
};

}  // namespace porvane::cli
