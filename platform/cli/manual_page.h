#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace cli_support {

// The program's manual page (roff, man(7) macros, section 1) made from its option definitions:
// name and description, a synopsis line per command, every option a user can give with its value,
// choices and default, each command's arguments and options, and the help footers (exit
// statuses, environment, file formats) as they stand.
std::string ManualPage(const CLI::App& app, const std::string& version);

// text made safe for a roff text line: backslashes escaped, a line starting with a control
// character guarded.
std::string RoffText(const std::string& text);

}  // namespace cli_support
