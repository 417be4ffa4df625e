#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

// Reading a CLI::App's definitions for the texts made from them (manual page, completion).
namespace cli_support::app_walk {

// The options a user sees, in definition order: no hidden ones (empty group), no positionals.
std::vector<const CLI::Option*> NamedOptions(const CLI::App& app);
// The positional arguments, in order.
std::vector<const CLI::Option*> Positionals(const CLI::App& app);
// The subcommands, in definition order.
std::vector<const CLI::App*> Commands(const CLI::App& app);
// True when the option is followed by a value.
bool TakesValue(const CLI::Option& option);
// The values an IsMember check allows, in order; empty for a free value.
std::vector<std::string> Choices(const CLI::Option& option);
// Every name of a named option, long names first: "--baud", "-h".
std::vector<std::string> Names(const CLI::Option& option);

}  // namespace cli_support::app_walk
