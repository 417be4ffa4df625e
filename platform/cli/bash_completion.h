#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace cli_support {

// A bash completion script for the program, made from its option definitions: it offers the
// commands, each command's options, the choices of an option or argument with a fixed set of
// values, and file names for the other values and arguments.
std::string BashCompletion(const CLI::App& app);

}  // namespace cli_support
