// porvane-cli: the workbench's serial core on the command line, for scripts and headless benches.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "platform/comm/unique_fd.h"
#include "porvane/cli/ports_command.h"
#include "porvane/cli/term_session.h"
#include "porvane/cli/test_command.h"

int main(int argc, char** argv) {
    CLI::App app{"Serial workbench on the command line"};
    app.require_subcommand(1);

    CLI::App* ports = app.add_subcommand("ports", "List the serial ports, one name a line");
    bool show_map = false;
    ports->add_flag("--map", show_map, "Print the device map as device=port lines instead");

    porvane::cli::TermOptions term_options;
    CLI::App* term =
        app.add_subcommand("term", "Copy standard input to a port and the port to standard output");
    term->add_option("PORT", term_options.port, "Port name (ttyUSB0) or device path")->required();
    term->add_option("--baud", term_options.baud, "Baud rate")->check(CLI::PositiveNumber);
    term->add_option("--data", term_options.data_bits, "Data bits")->check(CLI::Range(5, 8));
    term->add_option("--parity", term_options.parity, "Parity")
        ->check(CLI::IsMember({"no", "odd", "even", "mark", "space"}));
    term->add_option("--stop", term_options.stop, "Stop bits")
        ->check(CLI::IsMember({"1", "1.5", "2"}));
    term->add_flag("--hex", term_options.hex, "Show received bytes as hex groups");
    term->add_option("--linger", term_options.linger_ms,
                     "Milliseconds of silence to wait for replies after the input has been sent")
        ->check(CLI::Range(0, 60000));

    porvane::cli::TestOptions test_options;
    CLI::App* test =
        app.add_subcommand("test", "Run the line tester on a port (loop-back plug or far tester)");
    test->add_option("PORT", test_options.line.port, "Port name (ttyUSB0) or device path")
        ->required();
    test->add_option("--baud", test_options.line.baud, "Baud rate")->check(CLI::PositiveNumber);
    test->add_option("--data", test_options.line.data_bits, "Data bits")->check(CLI::Range(5, 8));
    test->add_option("--parity", test_options.line.parity, "Parity")
        ->check(CLI::IsMember({"no", "odd", "even", "mark", "space"}));
    test->add_option("--stop", test_options.line.stop, "Stop bits")
        ->check(CLI::IsMember({"1", "1.5", "2"}));
    test->add_option("--pattern", test_options.pattern,
                     "2^15-1, 2^11-1, 2^9-1 or up to 16 digits 0/1");
    test->add_option("--insert", test_options.insert, "Error insertion")
        ->check(CLI::IsMember({"none", "1/10000", "1/1000"}));
    test->add_option("--seconds", test_options.seconds, "Seconds to test (default: until stopped)")
        ->check(CLI::NonNegativeNumber);
    test->add_option("--report", test_options.report, "Write the test report to this file");
    CLI11_PARSE(app, argc, argv);

    if (ports->parsed()) {
        return show_map ? porvane::cli::RunMapCommand(stdout, stderr)
                        : porvane::cli::RunPortsCommand(stdout, stderr);
    }

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    comm::UniqueFd stop_fd(signalfd(-1, &stop_signals, SFD_CLOEXEC));
    if (test->parsed()) {
        return porvane::cli::RunTestCommand(test_options, stop_fd.get(), stdout, stderr);
    }
    porvane::cli::TermSession session(term_options, STDIN_FILENO, STDOUT_FILENO, stop_fd.get());
    return session.Run();
}
