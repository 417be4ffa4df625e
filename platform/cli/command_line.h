#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "platform/cli/manual_page.h"

namespace cli_support {

// The exit status of every usage error (unknown option or command, bad or missing value), in
// every program, so that a script tells "you called it wrongly" apart from "it did not work".
inline constexpr int kUsageError = 2;

// "NAME VERSION" with the project's version.
std::string VersionText(const std::string& program);

// Parses the command line with the conventions every program shares: the app takes the name
// program; --version prints VersionText; --help prints the help; the hidden "--generate man" and
// "--generate bash-completion" print the manual page or the completion script made from the
// same option definitions; a parse error prints its message on standard error (for an unknown
// command, its name and the list of commands) and ends with kUsageError. Returns the status to
// exit with when the program is done, nothing when it goes on to its work.
// sections: what the manual page says besides the options (examples, environment, see also).
std::optional<int> ParseCommandLine(CLI::App& app, const std::string& program, int argc,
                                    char** argv, const ManualSections& sections = {});

// The first argument of a windowed program that Qt would not take as one of its own options
// (-platform NAME, -style NAME, -reverse, ...), or nothing. Checked before Qt starts, so that a
// usage error never needs a display.
std::optional<std::string> FirstNonQtArgument(int argc, char** argv);

// A window program's check before its windowing system is reached, for which a missing display
// is fatal (an abort). With neither DISPLAY nor WAYLAND_DISPLAY set and no other platform chosen
// (-platform, QT_QPA_PLATFORM), the arguments left after ParseCommandLine are looked at: a word
// that is neither a window system option ("-name") nor the value after one is a usage error
// (kUsageError); otherwise the program says that it needs a display and names the terminal one
// (kNoDisplay). Nothing when the window system may start.
inline constexpr int kNoDisplay = 1;
std::optional<int> RefuseWithoutDisplay(const std::string& program, const std::string& terminal,
                                        int argc, char** argv);

}  // namespace cli_support
