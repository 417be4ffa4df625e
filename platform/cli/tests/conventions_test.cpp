// What every program's command line has in common: --version, usage errors with status 2 that no
// other failure shares, and a manual page and bash completion that list what --help lists.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/comm/testing/child_process.h"

namespace cli_support {
namespace {

using comm::testing::ChildProcess;

std::vector<std::string> Programs() {
    std::vector<std::string> programs = {"porvane-cli", "brevant-cli", "sievrad", "vport",
                                         "quor-sim"};
#ifdef PORVANE_WITH_WINDOWS
    programs.push_back("porvane");
    programs.push_back("brevant");
#endif
    return programs;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunProgram(const std::string& program, const std::vector<std::string>& args) {
    ChildProcess child(program, args);
    Outcome run;
    run.out = child.ReadAllOutput();
    run.err = child.ReadAllError();
    run.status = child.Wait();
    return run;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The commands a --help lists under "Subcommands:".
std::vector<std::string> HelpCommands(const std::string& help) {
    std::vector<std::string> commands;
    bool listing = false;
    for (const std::string& line : Lines(help)) {
        if (line == "Subcommands:") {
            listing = true;
        } else if (listing && line.rfind("  ", 0) == 0 && line[2] != ' ') {
            commands.push_back(line.substr(2, line.find(' ', 2) - 2));
        } else if (listing && line.empty()) {
            listing = false;
        }
    }
    return commands;
}

// The option names a --help lists (the lines of its option table: "  -h,--help ...").
std::vector<std::string> HelpOptions(const std::string& help) {
    std::vector<std::string> names;
    // A flag's value when given bare shows as --name{value}.
    const std::regex option_line(R"(^  (-[^ {]+))");
    for (const std::string& line : Lines(help)) {
        std::smatch match;
        if (!std::regex_search(line, match, option_line))
            continue;
        std::istringstream parts(match[1].str());
        for (std::string name; std::getline(parts, name, ',');)
            names.push_back(name);
    }
    return names;
}

std::string ReadFile(const std::string& path) {
    return RunProgram("/bin/cat", {path}).out;
}

std::string Share(const std::string& what) {
    return ChildProcess::BinDir() + "/../share/" + what;
}

// The words the program's completion offers for the command line words (the last is the word
// being completed).
std::vector<std::string> Completions(const std::string& program,
                                     const std::vector<std::string>& words) {
    const std::string script = Share("bash-completion/completions/" + program);
    std::string array;
    for (const std::string& word : words)
        array += " '" + word + "'";
    const std::string line =
        "source '" + script + "' && COMP_WORDS=(" + program + array +
        ") && COMP_CWORD=" + std::to_string(words.size()) + " && $(complete -p " + program +
        " | sed -n 's/.* -F \\([^ ]*\\) .*/\\1/p') && printf '%s\\n' \"${COMPREPLY[@]}\"";
    const Outcome run = RunProgram("/bin/bash", {"--norc", "-c", line});
    EXPECT_EQ(run.status, 0) << run.err;
    return Lines(run.out);
}

bool Contains(const std::vector<std::string>& words, const std::string& word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

TEST(Conventions, EveryProgramAnswersVersion) {
    for (const std::string& program : Programs()) {
        SCOPED_TRACE(program);
        const Outcome run = RunProgram(program, {"--version"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, program + " " + PORVANE_VERSION + "\n");
        const Outcome unknown = RunProgram(program, {"--no-such-option"});
        EXPECT_EQ(unknown.status, 2) << unknown.err;
        EXPECT_NE(unknown.err.find("--no-such-option"), std::string::npos) << unknown.err;
    }
}

TEST(Conventions, UsageErrorsAloneExitTwo) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    struct Row {
        const char* program;
        std::vector<std::string> args;
        int status;
        const char* message;
    } rows[] = {
        {"porvane-cli",
         {"bogus"},
         2,
         "porvane-cli: unknown command 'bogus' (commands: ports, term"},
        {"porvane-cli", {}, 2, "porvane-cli: A subcommand is required"},
        {"porvane-cli", {"term"}, 2, "porvane-cli: PORT is required"},
        {"porvane-cli",
         {"term", "/dev/x", "--parity", "none"},
         2,
         "porvane-cli: --parity: none not in"},
        {"porvane-cli", {"test", "/dev/x", "--pattern", "2"}, 2, "porvane-cli: --pattern takes"},
        {"porvane-cli", {"term", "/dev/no-such-port"}, 1, "porvane-cli: /dev/no-such-port: No"},
        {"brevant-cli", {"bogus"}, 2, "brevant-cli: unknown command 'bogus' (commands: run;"},
        {"brevant-cli", {"run", "x.ini", "--send", "bin"}, 2, "brevant-cli: --send: bin not in"},
        {"vport", {"plug", "/tmp/x"}, 2, "vport: unknown command 'plug' (commands: loop, pair;"},
        {"quor-sim", {"/tmp/x", "--serial", "12"}, 2, "quor-sim: --serial takes 8 hex digits"},
        {"sievrad", {"extra"}, 2, "sievrad: unexpected argument 'extra'"},
#ifdef PORVANE_WITH_WINDOWS
        {"porvane", {"--bogus"}, 2, "porvane: unexpected argument '--bogus'"},
        {"brevant", {"bogus"}, 2, "brevant: unexpected argument 'bogus'"},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.program) + " " + (row.args.empty() ? "" : row.args[0]));
        const Outcome run = RunProgram(row.program, row.args);
        EXPECT_EQ(run.status, row.status);
        // A line of its own (Qt may have said something of its own first).
        const std::vector<std::string> lines = Lines(run.err);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&row](const std::string& line) {
            return line.rfind(row.message, 0) == 0;
        })) << run.err;
    }
}

#ifdef PORVANE_WITH_WINDOWS
// Without a display the window programs end with a message instead of the window system's abort.
TEST(Conventions, WindowProgramsWithoutADisplaySaySo) {
    const std::string display = getenv("DISPLAY") != nullptr ? getenv("DISPLAY") : "";
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    struct Row {
        const char* program;
        std::vector<std::string> args;
        int status;
        const char* message;
    } rows[] = {
        {"porvane", {}, 1, "porvane: no display to open a window on"},
        {"porvane", {"--bogus"}, 2, "porvane: unexpected argument '--bogus'"},
        {"brevant", {"-style", "fusion"}, 1, "brevant: no display to open a window on"},
        {"brevant", {"bogus"}, 2, "brevant: unexpected argument 'bogus'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.program) + " " + (row.args.empty() ? "" : row.args[0]));
        const Outcome run = RunProgram(row.program, row.args);
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(run.err.rfind(row.message, 0), 0u) << run.err;
    }
    if (!display.empty())
        setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}
#endif

// Each page names every option that --help lists for the program and each of its commands, and
// man renders it without a warning.
TEST(ManualPages, ListEveryOptionAndRenderCleanly) {
    for (const std::string& program : Programs()) {
        SCOPED_TRACE(program);
        const std::string page_file = Share("man/man1/" + program + ".1");
        const std::string page = ReadFile(page_file);
        ASSERT_FALSE(page.empty());
        const std::string help = RunProgram(program, {"--help"}).out;
        std::vector<std::string> options = HelpOptions(help);
        for (const std::string& command : HelpCommands(help)) {
            const std::string heading = ".SS " + program + " " + command;
            EXPECT_NE(page.find(std::regex_replace(heading, std::regex("-"), "\\-")),
                      std::string::npos)
                << command;
            for (const std::string& option :
                 HelpOptions(RunProgram(program, {command, "--help"}).out))
                options.push_back(option);
        }
        ASSERT_GE(options.size(), 3u);  // --help, -h, --version at least
        for (const std::string& option : options) {
            const std::string roff = std::regex_replace(option, std::regex("-"), "\\-");
            EXPECT_NE(page.find("\\fB" + roff + "\\fR"), std::string::npos) << option;
        }
        for (const char* section : {".SH EXAMPLES\n", ".SH \"SEE ALSO\"\n"})
            EXPECT_NE(page.find(section), std::string::npos) << section;
        // In a UTF-8 locale and in the plain C one, where the Chinese texts cannot be shown.
        for (const char* locale : {"C.UTF-8", "C"}) {
            SCOPED_TRACE(locale);
            const Outcome man = RunProgram(
                "/bin/sh", {"-c", std::string("LC_ALL=") + locale + " LANG=" + locale +
                                      " man --warnings -l '" + page_file + "' 2>&1 >/dev/null"});
            EXPECT_EQ(man.status, 0);
            EXPECT_EQ(man.out, "");
        }
    }
}

// porvane-cli's page names every variable its commands read, and shows the Chinese texts as
// characters in a UTF-8 locale.
TEST(ManualPages, PorvaneCliNamesItsEnvironment) {
    const std::string page_file = Share("man/man1/porvane-cli.1");
    const std::string page = ReadFile(page_file);
    const size_t environment = page.find(".SH ENVIRONMENT\n");
    ASSERT_NE(environment, std::string::npos);
    for (const char* variable :
         {"PORVANE_DEVICE_MAP", "SIEVRA_RUNTIME_DIR", "SIEVRA_SYSROOT", "SIEVRA_REPLY_MS",
          "SIEVRA_DISABLE", "SIEVRA_MAP", "SIEVRA_LINKS"}) {
        EXPECT_NE(page.find(variable, environment), std::string::npos) << variable;
    }
    const Outcome shown = RunProgram(
        "/bin/sh", {"-c", "LC_ALL=C.UTF-8 MANWIDTH=200 man -l '" + page_file + "' 2>&1"});
    EXPECT_NE(shown.out.find("串口"), std::string::npos);
    // A flag whose value may follow shows that value.
    EXPECT_NE(shown.out.find("--time, -t [MODE]"), std::string::npos);
}

TEST(BashCompletion, OffersCommandsOptionsAndChoices) {
    for (const std::string& program : Programs()) {
        SCOPED_TRACE(program);
        const std::string help = RunProgram(program, {"--help"}).out;
        const std::vector<std::string> commands = HelpCommands(help);
        const std::vector<std::string> first = Completions(program, {""});
        for (const std::string& command : commands)
            EXPECT_TRUE(Contains(first, command)) << command;
        EXPECT_TRUE(Contains(Completions(program, {"--"}), "--version"));
        for (const std::string& command : commands) {
            const std::vector<std::string> offered = Completions(program, {command, "--"});
            for (const std::string& option :
                 HelpOptions(RunProgram(program, {command, "--help"}).out)) {
                if (option.rfind("--", 0) == 0) {
                    EXPECT_TRUE(Contains(offered, option)) << command << " " << option;
                }
            }
        }
    }
    EXPECT_EQ(Completions("porvane-cli", {"te"}), (std::vector<std::string>{"term", "test"}));
    EXPECT_EQ(Completions("porvane-cli", {"term", "/dev/x", "--parity", ""}),
              (std::vector<std::string>{"no", "odd", "even", "mark", "space"}));
    EXPECT_EQ(Completions("porvane-cli", {"driver", "re"}), (std::vector<std::string>{"remove"}));
}

// A PORT is offered the ports the program itself lists; after an option taking a number,
// nothing; after one taking a file name, files.
TEST(BashCompletion, OffersThePortsTheProgramListsAndFilesOnlyWhereFilesGo) {
    comm::testing::TempDir dir;
    const std::string port = dir.path() + "/bench-port";
    std::ofstream(dir.path() + "/map") << "ttyS0=" << port << "\n";
    std::ofstream(dir.path() + "/log.txt") << "";
    setenv("PORVANE_DEVICE_MAP", (dir.path() + "/map").c_str(), 1);
    auto offered = [&](const std::string& words) {
        const std::string line = "cd '" + dir.path() + "' && source '" +
                                 Share("bash-completion/completions/porvane-cli") +
                                 "' && COMP_WORDS=('" + ChildProcess::BinDir() + "/porvane-cli' " +
                                 words + ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && " +
                                 "_porvane_cli_complete && printf '%s\\n' \"${COMPREPLY[@]}\"";
        return Lines(RunProgram("/bin/bash", {"--norc", "-c", line}).out);
    };
    EXPECT_EQ(offered("term ''"), (std::vector<std::string>{port}));
    EXPECT_EQ(offered("monitor ''"), (std::vector<std::string>{port}));
    EXPECT_EQ(offered("term x --baud ''"), (std::vector<std::string>{""}));
    EXPECT_EQ(offered("term x --log lo"), (std::vector<std::string>{"log.txt"}));
    unsetenv("PORVANE_DEVICE_MAP");
}

}  // namespace
}  // namespace cli_support
