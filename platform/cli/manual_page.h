#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <utility>
#include <vector>

namespace cli_support {

// What a manual page says besides the option definitions.
struct ManualSections {
    // Command lines (without the program's name) and what each does.
    std::vector<std::pair<std::string, std::string>> examples;
    // Environment variables the program reads and what each changes.
    std::vector<std::pair<std::string, std::string>> environment;
    // Further pages, "stty(1)", after the toolkit's other programs.
    std::vector<std::string> see_also;
};

// The program's manual page (roff, man(7) macros, section 1) made from its option definitions:
// name and description, a synopsis line per command, every option a user can give with its value,
// choices and default, each command's arguments and options, and the help footers (exit
// statuses, environment, file formats) as they stand; then the sections' EXAMPLES, ENVIRONMENT
// and SEE ALSO (the toolkit's other programs first). Characters beyond ASCII are written as
// groff's Unicode escapes with a "<U+XXXX>" fallback, so that the page renders in any locale:
// as the characters where the output can show them, as their code points where it cannot.
std::string ManualPage(const CLI::App& app, const std::string& version,
                       const ManualSections& sections = {});

// text made safe for a roff text line: backslashes escaped, a line starting with a control
// character guarded.
std::string RoffText(const std::string& text);

}  // namespace cli_support
