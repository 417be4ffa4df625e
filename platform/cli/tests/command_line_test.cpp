// The programs' command lines as a newcomer meets them: number options with their real ranges
// and readable messages, and the defaults in every --help.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/cli/number_option.h"
#include "platform/comm/testing/child_process.h"

namespace cli_support {
namespace {

using comm::testing::ChildProcess;

TEST(WholeNumber, ChecksTheTextAndTheRange) {
    struct Row {
        const char* name;
        const char* text;
        const char* expected;
    } rows[] = {
        {"inside", "9600", ""},
        {"lowest", "50", ""},
        {"highest", "4000000", ""},
        {"letters after digits", "12x", "12x is not a number"},
        {"empty", "", " is not a number"},
        {"trailing space", "9600 ", "9600  is not a number"},
        {"fraction", "1.5", "1.5 is not a number"},
        {"below", "0", "must be 50 to 4000000"},
        {"negative", "-1", "must be 50 to 4000000"},
        {"above", "4000001", "must be 50 to 4000000"},
        {"beyond 64 bits", "99999999999999999999", "must be 50 to 4000000"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CheckWholeNumber(row.text, kMinBaud, kMaxBaud), row.expected);
    }
}

TEST(NumberOptions, EveryProgramNamesTheOptionAndItsRange) {
    struct Row {
        const char* program;
        std::vector<std::string> args;
        const char* message;
    } rows[] = {
        {"porvane-cli", {"term", "ttyS0", "--baud", "12x"}, "--baud: 12x is not a number\n"},
        {"porvane-cli", {"term", "ttyS0", "--baud", "0"}, "--baud: must be 50 to 4000000\n"},
        {"porvane-cli", {"term", "ttyS0", "--data", "9"}, "--data: must be 5 to 8\n"},
        {"porvane-cli", {"term", "ttyS0", "--linger", "60001"}, "--linger: must be 0 to 60000\n"},
        {"porvane-cli",
         {"test", "ttyS0", "--seconds", "-1"},
         "--seconds: must be 0 to 2147483647\n"},
        {"porvane-cli", {"test", "ttyS0", "--baud", "4000001"}, "--baud: must be 50 to 4000000\n"},
        {"brevant-cli",
         {"run", "x.ini", "--port", "0"},
         "--port: 0 is neither a port number (1 to 255) nor a device path\n"},
        {"brevant-cli", {"run", "x.ini", "--baud", "fast"}, "--baud: fast is not a number\n"},
        {"brevant-cli", {"run", "x.ini", "--wait", "0"}, "--wait: must be 1 to 60000\n"},
        {"quor-sim", {"/tmp/r", "--status", "256"}, "--status: must be 0 to 255\n"},
        {"quor-sim", {"/tmp/r", "--burst", "-3"}, "--burst: must be 0 to 2147483647\n"},
        {"quor-sim", {"/tmp/r", "--delay", "1s"}, "--delay: 1s is not a number\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.program) + " " + row.args.back());
        ChildProcess program(row.program, row.args);
        const std::string error = program.ReadAllError();
        EXPECT_EQ(program.Wait(), 2);
        // "PROGRAM: MESSAGE (see PROGRAM COMMAND --help)": the help of the command in error
        // (quor-sim has no commands: its first word is a path).
        const std::string message(row.message, std::strlen(row.message) - 1);
        const std::string help =
            std::string(row.program) + (row.args[0][0] == '/' ? "" : " " + row.args[0]) + " --help";
        EXPECT_EQ(error.substr(0, error.find('\n') + 1),
                  std::string(row.program) + ": " + message + " (see " + help + ")\n");
    }
}

TEST(Help, ShowsTheDefaults) {
    struct Row {
        const char* program;
        std::vector<std::string> args;
        std::vector<std::string> shown;
    } rows[] = {
        {"porvane-cli", {"term", "--help"}, {"=9600", "=200", "=no", "=8"}},
        {"porvane-cli",
         {"test", "--help"},
         {"=9600", "=2^15-1", "=none", "first clean", "second are printed as comment lines"}},
        {"brevant-cli", {"--help"}, {"COMn"}},
        {"brevant-cli",
         {"run", "--help"},
         {"9600", "COMn", "/*****************/", "brevant/examples/commands.ini"}},
        {"quor-sim", {"--help"}, {"=20", "=3A7C9105"}},
        {"vport", {"--help"}, {"SIGHUP", "SIGTERM"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.program) + " " + row.args.front());
        ChildProcess program(row.program, row.args);
        const std::string help = program.ReadAllOutput();
        EXPECT_EQ(program.Wait(), 0);
        for (const std::string& text : row.shown)
            EXPECT_NE(help.find(text), std::string::npos) << text << " missing from\n" << help;
    }
}

}  // namespace
}  // namespace cli_support
