// porvane-cli: the workbench's serial core on the command line, for scripts and headless benches.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <limits>

#include "platform/cli/number_option.h"
#include "platform/comm/unique_fd.h"
#include "porvane/cli/driver_command.h"
#include "porvane/cli/filter_command.h"
#include "porvane/cli/monitor_command.h"
#include "porvane/cli/ports_command.h"
#include "porvane/cli/term_session.h"
#include "porvane/cli/test_command.h"
#include "porvane/cli/watch_command.h"

namespace {

constexpr char kTestFooter[] =
    "Prints a commented header, then one line a second: tick, bits, bit errors, characters,\n"
    "no signal, loss of synchronisation, errored second (1 when the second had bit errors),\n"
    "total bit errors. The checker starts unsynchronised: the seconds before its first clean\n"
    "second are printed as comment lines, and the figures, the summary (errored seconds, G.821\n"
    "severely errored and unavailable seconds) and the report count from that second on.\n"
    "Exit status: 0 done, 1 the port did not open, 2 the report cannot be written, 3 the line\n"
    "never synchronised.";

// The port and line options that "term" and "test" share, with their defaults in the help.
void AddLineOptions(CLI::App* command, porvane::cli::TermOptions& line) {
    command->add_option("PORT", line.port, "Port name (ttyUSB0, opened as /dev/ttyUSB0) or path")
        ->required();
    command->add_option("--baud", line.baud, "Baud rate")
        ->check(cli_support::WholeNumber(cli_support::kMinBaud, cli_support::kMaxBaud))
        ->capture_default_str();
    command->add_option("--data", line.data_bits, "Data bits")
        ->check(cli_support::WholeNumber(5, 8))
        ->capture_default_str();
    command->add_option("--parity", line.parity, "Parity")
        ->check(CLI::IsMember({"no", "odd", "even", "mark", "space"}))
        ->capture_default_str();
    command->add_option("--stop", line.stop, "Stop bits")
        ->check(CLI::IsMember({"1", "1.5", "2"}))
        ->capture_default_str();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Serial workbench on the command line"};
    app.require_subcommand(1);

    CLI::App* ports = app.add_subcommand("ports", "List the serial ports, one name a line");
    bool show_map = false;
    ports->add_flag("--map", show_map, "Print the device map as device=port lines instead");

    porvane::cli::TermOptions term_options;
    CLI::App* term =
        app.add_subcommand("term", "Copy standard input to a port and the port to standard output");
    AddLineOptions(term, term_options);
    term->add_flag("--hex", term_options.hex, "Show received bytes as \"%02x \" groups");
    term->add_option("--linger", term_options.linger_ms,
                     "Milliseconds of silence to wait for replies after the input has been sent")
        ->check(cli_support::WholeNumber(0, 60000))
        ->capture_default_str();

    porvane::cli::TestOptions test_options;
    CLI::App* test =
        app.add_subcommand("test", "Run the line tester on a port (loop-back plug or far tester)");
    test->footer(kTestFooter);
    AddLineOptions(test, test_options.line);
    test->add_option("--pattern", test_options.pattern,
                     "2^15-1, 2^11-1, 2^9-1 or up to 16 digits 0/1")
        ->capture_default_str();
    test->add_option("--insert", test_options.insert, "Error insertion")
        ->check(CLI::IsMember({"none", "1/10000", "1/1000"}))
        ->capture_default_str();
    test->add_option("--seconds", test_options.seconds,
                     "Seconds to run, synchronisation included (0: until Ctrl-C or SIGTERM)")
        ->check(cli_support::WholeNumber(0, std::numeric_limits<int>::max()))
        ->capture_default_str();
    test->add_option("--report", test_options.report,
                     "Write the test report (GBK) to this file; checked before the test starts");

    // The filter driver's jobs: monitor, filter, watch, driver.
    porvane::cli::MonitorOptions monitor_options;
    CLI::App* monitor = app.add_subcommand(
        "monitor", "Print the decoded requests of the program that uses a port, until stopped");
    monitor->add_option("PORT", monitor_options.port, "Port name as 'ports' lists it")->required();
    monitor->add_flag("--hex", monitor_options.hex, "Show data as hex groups");
    monitor->add_flag("--data-only", monitor_options.data_only,
                      "Only the data written (W) and read (R)");

    porvane::cli::FilterOptions filter_options;
    CLI::App* filter = app.add_subcommand(
        "filter", "Inject one error rule into a port's data stream and print the events");
    filter->add_option("PORT", filter_options.port, "Port name as 'ports' lists it")->required();
    filter->add_option("--action", filter_options.action, "flip, replace or delete")
        ->check(CLI::IsMember({"flip", "replace", "delete"}));
    filter->add_option("--byte", filter_options.byte, "Mask or replacement byte, hexadecimal");
    filter->add_option("--send-count", filter_options.send_count, "Act on the Nth byte sent")
        ->check(cli_support::WholeNumber(0, std::numeric_limits<int>::max()));
    filter->add_option("--recv-count", filter_options.recv_count, "Act on the Nth byte received")
        ->check(cli_support::WholeNumber(0, std::numeric_limits<int>::max()));
    filter
        ->add_option("--send-seconds", filter_options.send_seconds,
                     "Act on a byte sent T seconds from now")
        ->check(cli_support::WholeNumber(0, std::numeric_limits<int>::max()));
    filter
        ->add_option("--recv-seconds", filter_options.recv_seconds,
                     "Act on a byte received T seconds from now")
        ->check(cli_support::WholeNumber(0, std::numeric_limits<int>::max()));
    filter->add_flag("--periodic", filter_options.periodic, "Repeat every N bytes or T seconds");
    filter->add_option("--force", filter_options.force,
                       "Force BAUD,DATA,PARITY,STOP on the port (e.g. 9600,8,no,1)");

    porvane::cli::WatchOptions watch_options;
    CLI::App* watch = app.add_subcommand(
        "watch", "Run a program and print how it drives its serial ports (no installation)");
    watch->add_flag("--hex", watch_options.hex, "Show data as hex groups");
    watch->add_flag("--data-only", watch_options.data_only,
                    "Only the data written (W) and read (R)");
    watch->add_flag("--trace", watch_options.trace,
                    "Follow the program's system calls (chosen by itself for a static program)");
    watch->add_flag("--preload", watch_options.preload, "Preload the attachment into the program");
    watch->add_option("--pid", watch_options.pid, "Follow a running program, until Ctrl-C")
        ->check(cli_support::WholeNumber(1, std::numeric_limits<int>::max()));
    watch->add_option("PROGRAM", watch_options.command, "-- PROGRAM ARGS...");

    std::string driver_action;
    std::string driver_root;
    CLI::App* driver = app.add_subcommand("driver", "Install or remove the filter driver");
    driver->add_option("ACTION", driver_action, "status, install or remove")
        ->required()
        ->check(CLI::IsMember({"status", "install", "remove"}));
    driver->add_option("--root", driver_root, "System root to install under (default /)");
    CLI11_PARSE(app, argc, argv);
    if (driver->parsed())
        return porvane::cli::RunDriverCommand(driver_action, driver_root, stdout, stderr);

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
    if (monitor->parsed())
        return porvane::cli::RunMonitorCommand(monitor_options, stop_fd.get(), stdout, stderr);
    if (filter->parsed())
        return porvane::cli::RunFilterCommand(filter_options, stop_fd.get(), stdout, stderr);
    if (watch->parsed())
        return porvane::cli::RunWatchCommand(watch_options, stop_fd.get(), stdout, stderr);
    if (test->parsed()) {
        return porvane::cli::RunTestCommand(test_options, stop_fd.get(), stdout, stderr);
    }
    porvane::cli::TermSession session(term_options, STDIN_FILENO, STDOUT_FILENO, stop_fd.get());
    return session.Run();
}
