#include "platform/cli/command_line.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string_view>

#include "platform/cli/app_walk.h"
#include "platform/cli/bash_completion.h"
#include "platform/cli/manual_page.h"

namespace cli_support {
namespace {

// The word the user gave where a command was expected, when it names none; empty otherwise.
std::string UnknownCommand(const CLI::App& app) {
    if (app_walk::Commands(app).empty() || !app.get_subcommands().empty())
        return {};
    for (const std::string& word : app.remaining()) {
        if (!word.empty() && word.front() != '-')
            return word;
    }
    return {};
}

std::string CommandList(const CLI::App& app) {
    std::string list;
    for (const CLI::App* command : app_walk::Commands(app))
        list += (list.empty() ? "" : ", ") + command->get_name();
    return list;
}

}  // namespace

std::string VersionText(const std::string& program) {
    return program + " " + PORVANE_VERSION;
}

std::optional<int> ParseCommandLine(CLI::App& app, const std::string& program, int argc,
                                    char** argv, const ManualSections& sections) {
    app.name(program);
    // Both answer at once, before a missing command or argument is complained about.
    app.add_flag_callback(
        "--version",
        [program] {
            std::cout << VersionText(program) << std::endl;
            throw CLI::Success();
        },
        "Print the program's name and version and exit");
    app.add_option_function<std::string>(
           "--generate",
           [&app, &sections](const std::string& what) {
               if (what == "man")
                   std::cout << ManualPage(app, PORVANE_VERSION, sections) << std::flush;
               else if (what == "bash-completion")
                   std::cout << BashCompletion(app) << std::flush;
               else
                   throw CLI::ValidationError("--generate", "takes man or bash-completion");
               throw CLI::Success();
           },
           "Print the manual page or the bash completion script")
        ->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0)
            return app.exit(error);
        // The help of the command the error is in, which lists that command's options.
        std::string help = program;
        for (const CLI::App* command = &app; !command->get_subcommands().empty();) {
            command = command->get_subcommands().front();
            help += " " + command->get_name();
        }
        help += " --help";
        if (const std::string word = UnknownCommand(app); !word.empty()) {
            std::cerr << program << ": unknown command '" << word
                      << "' (commands: " << CommandList(app) << "; see " << help << ")"
                      << std::endl;
            return kUsageError;
        }
        // A word nothing took is the first thing to say, before a missing command or argument.
        // (A command's own leftovers count too.)
        // The "--" that ends the options is no such word: the parser keeps it among them.
        std::vector<std::string> left = app.remaining(true);
        left.erase(std::remove(left.begin(), left.end(), "--"), left.end());
        if (!left.empty()) {
            const std::string word = left.front();
            std::cerr << program << ": "
                      << (word.rfind('-', 0) == 0 ? "unknown option '" : "unexpected argument '")
                      << word << "' (see " << help << ")" << std::endl;
            return kUsageError;
        }
        // Named like every other message of the program, rather than the parser's bare text.
        std::cerr << program << ": " << error.what() << " (see " << help << ")" << std::endl;
        return kUsageError;
    }
    return std::nullopt;
}

std::optional<std::string> FirstNonQtArgument(int argc, char** argv) {
    // Qt's options, with and without a value; each may also be written with two dashes.
    static const std::set<std::string> with_value = {"platform",      "platformpluginpath",
                                                     "platformtheme", "plugin",
                                                     "qmljsdebugger", "qwindowgeometry",
                                                     "qwindowicon",   "qwindowtitle",
                                                     "session",       "display",
                                                     "geometry",      "style",
                                                     "stylesheet",    "title",
                                                     "name",          "visual"};
    static const std::set<std::string> without_value = {"reverse", "widgetcount", "nograb",
                                                        "dograb", "sync"};
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        std::string name = word.rfind("--", 0) == 0  ? word.substr(2)
                           : word.rfind('-', 0) == 0 ? word.substr(1)
                                                     : std::string();
        const size_t equals = name.find('=');
        const bool inline_value = equals != std::string::npos;
        if (inline_value)
            name.resize(equals);
        if (with_value.count(name) != 0) {
            if (!inline_value && ++i >= argc)
                return word;
            continue;
        }
        if (!inline_value && without_value.count(name) != 0)
            continue;
        return word;
    }
    return std::nullopt;
}

std::optional<int> RefuseWithoutDisplay(const std::string& program, const std::string& terminal,
                                        int argc, char** argv) {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (set("DISPLAY") || set("WAYLAND_DISPLAY"))
        return std::nullopt;
    // A platform that needs no display (offscreen, vnc, linuxfb, ...) is the window system's
    // business; xcb and wayland without their variables fail.
    if (const char* platform = std::getenv("QT_QPA_PLATFORM");
        platform != nullptr && *platform != '\0' && std::string_view(platform) != "xcb" &&
        std::string_view(platform).rfind("wayland", 0) != 0) {
        return std::nullopt;
    }
    bool may_be_value = false;  // a word after a window system option may be its value
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "-platform")
            return std::nullopt;
        const bool option = word.size() >= 2 && word[0] == '-' && word[1] != '-';
        const bool value = may_be_value && !word.empty() && word[0] != '-';
        may_be_value = option;
        if (!option && !value) {
            std::cerr << program << ": unexpected argument '" << word << "' (see " << program
                      << " --help)" << std::endl;
            return kUsageError;
        }
    }
    std::cerr << program
              << ": no display to open a window on (DISPLAY and WAYLAND_DISPLAY are unset); "
              << terminal << " does the same work on a terminal" << std::endl;
    return kNoDisplay;
}

}  // namespace cli_support
