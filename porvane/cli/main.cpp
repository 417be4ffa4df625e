// porvane-cli: the workbench's serial core on the command line, for scripts and headless benches.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/cli/command_line.h"
#include "platform/cli/number_option.h"
#include "platform/comm/rfc2217_serial_device.h"
#include "platform/comm/unique_fd.h"
#include "porvane/cli/driver_command.h"
#include "porvane/cli/filter_command.h"
#include "porvane/cli/line_clock.h"
#include "porvane/cli/manual_sections.h"
#include "porvane/cli/monitor_command.h"
#include "porvane/cli/ports_command.h"
#include "porvane/cli/replay_command.h"
#include "porvane/cli/serve_command.h"
#include "porvane/cli/show_command.h"
#include "porvane/cli/term_keys.h"
#include "porvane/cli/term_session.h"
#include "porvane/cli/test_command.h"
#include "porvane/cli/watch_command.h"
#include "porvane/decode/frame_decoder.h"

namespace {

constexpr char kTestFooter[] =
    "Prints a commented header, then one line a second: tick, bits, bit errors, characters,\n"
    "no signal, loss of synchronisation, errored second (1 when the second had bit errors),\n"
    "total bit errors. The checker starts unsynchronised: the seconds before its first clean\n"
    "second are printed as comment lines, and the figures, the summary (errored seconds, G.821\n"
    "severely errored and unavailable seconds) and the report count from that second on.\n"
    "A port that vanishes ends the test at once: the figures so far, the summary and the report\n"
    "are written, then \"串口已断开: <port>\" (\"<port> (<device>)\" for a link).\n"
    "Exit status: 0 done (also when stopped or when the output is closed), 1 the port did not\n"
    "open, 2 usage error, 3 the line never synchronised, 4 the report cannot be written, 5 the\n"
    "port vanished.";

// The interactive keys, generated from the command table so that the help cannot drift.
std::string TermFooter() {
    return "With standard input a terminal, term puts it in raw mode and sends each key as typed\n"
           "(Ctrl-C included); " +
           std::string(porvane::cli::kEscapeKeyName) +
           " followed by a letter is a command (shown at start too):\n" +
           porvane::cli::TermCommandList("\n") +
           "With standard input a file or pipe, it is copied to the port until it ends, and term\n"
           "ends once the port has been silent for --linger milliseconds, however long it talks.\n"
           "A line setting the port (or its server) takes otherwise than asked is said; given on\n"
           "the command line, term does not use the port (status 1). A local port gets the\n"
           "settings it had back when term ends.\n"
           "A port that vanishes ends term with \"串口已断开: <port>\" (\"<port> (<device>)\"\n"
           "for a link to the device). With --reconnect term says so and waits for the same\n"
           "adapter (the same USB serial number or /dev/serial/by-id name) to come back, for a\n"
           "port without either (a link, a pseudo-terminal) until its path is a device again,\n"
           "or connects again every second to a port on another machine until its server takes\n"
           "it back; it reopens the port with the same settings and goes on; " +
           std::string(porvane::cli::kEscapeKeyName) +
           " q and\nCtrl-C quit while it waits (status 5).\n"
           "Exit status: 0 done (also when stopped or when the output is closed), 1 the port did\n"
           "not open or did not take a line setting given, 2 usage error, 4 the log cannot be\n"
           "written, 5 the port vanished.";
}

constexpr char kWatchFooter[] =
    "Follows the program and every process it starts by their system calls (ptrace), whatever\n"
    "their image, and watches every terminal device they open but this terminal (--port: only\n"
    "those); the program's calls stay as they are. Each record is one line, prefixed with its\n"
    "port; line breaks, zero bytes and other control characters in data are shown escaped\n"
    "(\\r, \\n, \\t, \\xNN). A refused call is marked [failed: ERRNO, reason]; a change of\n"
    "terminal settings adds a line \"stty: ...\". After the program ends, one summary line per\n"
    "port: requests, bytes written and read, errors.\n"
    "-w FILE writes a pcapng capture that Wireshark and tshark open and 'porvane-cli show'\n"
    "prints: an interface per port, a packet per call (direction in the packet flags, the\n"
    "process as a comment). As with tcpdump -w, the lines are then not printed (--print or -o:\n"
    "they are) and the summary goes to standard error.\n"
    "Exit status: the program's, 125 when it cannot be started, 4 when the --output file or the\n"
    "capture cannot be written (checked before the program starts; written records lost later\n"
    "also give 4).";

// Each command's help lists the exit statuses that command gives.
constexpr char kPortsFooter[] =
    "A port may be named by its /dev/serial/by-id or by-path name wherever a port is named.\n"
    "\"in use by\" shows a process that holds the port open; without root only the user's "
    "own\nprocesses can be seen.\n"
    "Exit status: 0 done (--follow: stopped), 1 no port, or the device map cannot be read or\n"
    "followed, 2 usage error.";

constexpr char kMonitorFooter[] =
    "-w FILE writes a pcapng capture instead of the lines (--print: both), as watch -w does.\n"
    "Exit status: 0 stopped (Ctrl-C, SIGTERM), 1 the port cannot be watched (not in the device\n"
    "map, no driver host, access denied) or the driver's host went away, 2 usage error, 4 the\n"
    "capture cannot be written.";

constexpr char kShowFooter[] =
    "Prints a capture that watch -w or monitor -w wrote as watch prints its records: the same\n"
    "lines (or JSON objects), each prefixed with its port, then a summary line per port. Made on\n"
    "one machine, read on another: no driver, port or Wireshark needed.\n"
    "Exit status: 0 done (also when the output is closed), 2 usage error, 4 the output cannot be\n"
    "written, 9 the capture cannot be read: missing, not a capture of the ports' calls, malformed\n"
    "or cut short (the calls before the fault are printed, then where it is).";

constexpr char kFilterFooter[] =
    "Exit status: 0 stopped (Ctrl-C, SIGTERM), 1 the port cannot be filtered (as for monitor,\n"
    "or the port is not open) or the driver's host went away, 2 usage error (also a rule\n"
    "missing, given twice or malformed).";

constexpr char kServeFooter[] =
    "Serves the port over the network with RFC 2217 (Telnet Com Port Control) to one client at a\n"
    "time; the port is held from the start, as a local open holds it. A client that comes while\n"
    "another is served is told that the port is busy and closed. Prints where it listens, then a\n"
    "line for each client arriving, leaving (and why) or turned away. Anyone who reaches the\n"
    "address may use the port: limit it with ADDR or a firewall. A port that vanishes ends serve\n"
    "with \"串口已断开: <port>\" (\"<port> (<device>)\" for a link). A port that takes none of a\n"
    "client's data for a minute ends that session, its data dropped; each session's end puts\n"
    "the flow control back as serve found it.\n"
    "Exit status: 0 stopped (Ctrl-C, SIGTERM), 1 the port did not open, 2 usage error, 5 the port\n"
    "vanished, 6 the address cannot be listened on.";

// --time, --time=MODE and --time MODE (joined into --time=MODE before parsing): a flag with an
// optional value, shown in the help as such. Given bare, the flag's value is "true": absolute.
CLI::Option* AddTimeOption(CLI::App* command, const std::string& names, std::string& value,
                           const std::string& description) {
    return command->add_flag(names, value, description)
        ->type_name("[MODE]")
        ->transform(CLI::Validator(
            [](std::string& mode) {
                if (mode == "true")
                    mode = "absolute";
                return mode == "absolute" || mode == "delta"
                           ? std::string()
                           : mode + " is neither absolute nor delta";
            },
            "", "stamp mode"));
}

void AddDecodeOption(CLI::App* command, std::string& value) {
    std::string names = porvane::decode::DecoderNames();
    std::replace(names.begin(), names.end(), '|', ',');
    command
        ->add_option("--decode", value,
                     std::string("Decode the data as ") + porvane::decode::DecoderNames() +
                         ": each frame (or bytes that make none) on a line of its own, marked "
                         "» W or » R, under the record that completes it")
        ->type_name("PROTOCOL")
        // Described as an IsMember check is, so that the completion and the manual offer them.
        ->check(CLI::Validator(
            [](std::string& name) { return porvane::decode::DecoderNameProblem(name); },
            "{" + names + "}", "protocol"));
}

constexpr char kRecordTimeHelp[] =
    "Prefix each line with the time (HH:MM:SS.microseconds; MODE absolute, the default); "
    "--time delta (or --time=delta): the seconds since the previous line";

// -w FILE and --print: a capture of the records, and the lines besides.
void AddCaptureOptions(CLI::App* command, std::string& file, bool& print) {
    command->add_option("-w,--write", file,
                        "Write a pcapng capture of the records to FILE (Wireshark, tshark, show); "
                        "checked before anything starts");
    command->add_flag("--print", print, "With -w, print the lines as well");
}

// False, after saying so, when --print is given without a capture to print beside.
bool CaptureOptionsValid(const CLI::App* command) {
    if (command->count("--print") == 0 || command->count("--write") > 0)
        return true;
    std::fprintf(stderr, "porvane-cli: --print needs -w FILE (see porvane-cli %s --help)\n",
                 command->get_name().c_str());
    return false;
}

// The arguments with "--" put before the program that watch is to run, when it is not there
// already: everything from the program on is the program's own, as for strace and timeout.
std::vector<std::string> WithProgramSeparator(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    const auto watch = std::find(args.begin() + std::min(argc, 1), args.end(), "watch");
    if (watch == args.end() || std::any_of(args.begin() + 1, watch, [](const std::string& a) {
            return a.empty() || a.front() != '-';
        })) {
        return args;
    }
    static const std::set<std::string> kTakesValue = {"-o",     "--output", "-w",      "--write",
                                                      "--port", "--pid",    "--decode"};
    for (auto at = watch + 1; at != args.end(); ++at) {
        if (*at == "--")
            break;
        if (!at->empty() && at->front() == '-') {
            const bool stamp_mode = *at == "--time" && at + 1 != args.end() &&
                                    (at[1] == "delta" || at[1] == "absolute");
            if ((kTakesValue.count(*at) != 0 || stamp_mode) && at + 1 != args.end())
                ++at;
            continue;
        }
        args.insert(at, "--");
        break;
    }
    return args;
}

// The stamp mode of a --time value; nullopt (after a message) when it is neither.
std::optional<porvane::cli::StampMode> StampModeOf(const std::string& value) {
    if (value.empty())
        return porvane::cli::StampMode::kNone;
    const auto mode = porvane::cli::ParseStampMode(value);
    if (!mode)
        std::fprintf(stderr, "porvane-cli: --time: %s is neither absolute nor delta\n",
                     value.c_str());
    return mode;
}

constexpr char kExitFooter[] =
    "Exit status: 0 done, 1 the port did not open, 2 usage error (unknown command or option, bad\n"
    "value), 3 the line never synchronised, 4 an output, report or log file cannot be written,\n"
    "5 the port vanished, 6 the address cannot be listened on (serve), 7 the filter driver is\n"
    "not installed (driver status), 8 it was not installed or removed (driver), 9 the capture\n"
    "cannot be read (show); watch exits with the program's status.";

// The port and line options that "term" and "test" share, with their defaults in the help.
void AddLineOptions(CLI::App* command, porvane::cli::TermOptions& line) {
    command
        ->add_option("PORT", line.port,
                     "Port name (ttyUSB0, opened as /dev/ttyUSB0), path (/..., ./..., ../...), or "
                     "rfc2217://HOST:PORT")
        ->required()
        // A malformed remote port name is a usage error, not a port that did not open.
        ->check(comm::RemotePortNameProblem, "");
    command->add_option("-b,--baud", line.baud, "Baud rate")
        ->check(cli_support::WholeNumber(cli_support::kMinBaud, cli_support::kMaxBaud))
        ->capture_default_str();
    command->add_option("-d,--data", line.data_bits, "Data bits")
        ->check(cli_support::WholeNumber(5, 8))
        ->capture_default_str();
    command->add_option("-p,--parity", line.parity, "Parity")
        ->check(CLI::IsMember({"no", "odd", "even", "mark", "space"}))
        ->capture_default_str();
    command->add_option("-s,--stop", line.stop, "Stop bits")
        ->check(CLI::IsMember({"1", "1.5", "2"}))
        ->capture_default_str();
}

// The words of the command line, with term's and watch's "--time delta" (or "-t delta") joined
// into "--time=delta": the flag takes its value after a space too. Only the command's own words
// are looked at, none after "--" (watch's program has one put before it).
std::vector<std::string> JoinTimeValue(std::vector<std::string> words) {
    const auto command = std::find_if(words.begin() + (words.empty() ? 0 : 1), words.end(),
                                      [](const std::string& w) { return w.rfind('-', 0) != 0; });
    if (command == words.end() || (*command != "term" && *command != "watch" && *command != "show"))
        return words;
    for (auto word = command + 1; word != words.end() && *word != "--"; ++word) {
        const auto value = word + 1;
        if ((*word == "--time" || *word == "-t") && value != words.end() &&
            (*value == "delta" || *value == "absolute")) {
            *word = "--time=" + *value;
            words.erase(value);
        }
    }
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Serial workbench on the command line"};
    app.require_subcommand(1);
    app.footer(kExitFooter);

    CLI::App* ports = app.add_subcommand("ports", "List the serial ports, one name a line");
    bool show_map = false;
    ports->add_flag("--map", show_map, "Print the device map as device=port lines instead");
    porvane::cli::PortsOptions ports_options;
    ports
        ->add_flag("--long", ports_options.long_form,
                   "Each port with its device, by-id and by-path names, USB vendor and product, "
                   "serial number, driver and the process using it")
        ->excludes("--map");
    ports
        ->add_flag("--follow", ports_options.follow,
                   "After the list, print \"arrived PORT\" and \"departed PORT\" as adapters "
                   "come and go, until interrupted")
        ->excludes("--map");
    ports->footer(kPortsFooter);

    porvane::cli::TermOptions term_options;
    CLI::App* term =
        app.add_subcommand("term", "Copy standard input to a port and the port to standard output");
    AddLineOptions(term, term_options);
    term->footer(TermFooter());
    term->add_option("-f,--flow", term_options.flow,
                     "Flow control: none, rts (RTS/CTS), xon (XON/XOFF)")
        ->check(CLI::IsMember({"none", "rts", "xon"}))
        ->capture_default_str();
    term->add_flag("-x,--hex", term_options.hex,
                   "Show received bytes as \"%02x \" groups, 16 a line and a line a burst");
    AddTimeOption(term, "-t,--time", term_options.time,
                  "Stamp each received line (and burst) with the time (MODE absolute, the "
                  "default); --time delta (or --time=delta): the time since the previous one");
    term->add_option("-m,--map", term_options.map,
                     "What Enter sends: CR, LF or CRLF (default: as typed, CR from a terminal, LF "
                     "from a pipe)")
        ->check(CLI::IsMember({"CR", "LF", "CRLF"}));
    term->add_flag("-e,--echo", term_options.echo, "Show what is sent as well (local echo)");
    AddDecodeOption(term, term_options.decoder);
    term->add_flag(
        "-r,--reconnect", term_options.reconnect,
        "When the port vanishes, wait for its adapter (or server) to come back and reopen it");
    term->add_option("--escape", term_options.escape,
                     "The escape key's letter: t for Ctrl-T (the default), a for Ctrl-A, ...");
    term->add_flag("--no-dtr", term_options.no_dtr,
                   "Hold DTR low from the open on (Linux raises it for the moment of a local "
                   "open; a remote port's open leaves it as it is)");
    term->add_flag("--no-rts", term_options.no_rts, "Hold RTS low from the open on");
    term->add_option("-l,--log", term_options.log,
                     "Append a raw copy of the received bytes to this file; checked before the "
                     "port opens");
    term->add_flag("--log-marked", term_options.log_marked,
                   "The log gets a line per burst each way instead: the time, < received or > "
                   "sent, and the bytes with control characters escaped")
        ->needs("--log");
    term->add_option("--imap", term_options.imap,
                     std::string("Map received bytes before they are shown, a comma-separated "
                                 "list of: ") +
                         porvane::cli::CharacterMap::kRuleNames);
    term->add_option("--omap", term_options.omap,
                     "Map bytes before they are sent (after --map), the same rules");
    term->add_option(
            "--linger", term_options.linger_ms,
            "Milliseconds of silence that end a piped session once its input has been sent")
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
    monitor
        ->add_option(
            "PORT", monitor_options.ports,
            "Port names as 'ports' lists them: several interleave in time order, each line "
            "naming its port (a port named twice is monitored once)")
        ->required();
    monitor->footer(kMonitorFooter);
    monitor->add_flag("--hex", monitor_options.hex, "Show data as hex groups, 32 a line");
    monitor->add_flag("--data-only", monitor_options.data_only,
                      "Only the data written (W) and read (R)");
    std::string monitor_time;
    AddTimeOption(monitor, "--time", monitor_time, kRecordTimeHelp);
    AddDecodeOption(monitor, monitor_options.decoder);
    AddCaptureOptions(monitor, monitor_options.capture, monitor_options.print);

    porvane::cli::FilterOptions filter_options;
    CLI::App* filter = app.add_subcommand(
        "filter", "Inject one error rule into a port's data stream and print the events");
    filter->add_option("PORT", filter_options.port, "Port name as 'ports' lists it")->required();
    filter->footer(kFilterFooter);
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
    watch->add_flag("--hex", watch_options.hex, "Show data as hex groups, 32 a line");
    watch->add_flag("--data-only", watch_options.data_only,
                    "Only the data written (W) and read (R)");
    std::string watch_time;
    AddTimeOption(watch, "--time", watch_time, kRecordTimeHelp);
    AddDecodeOption(watch, watch_options.decoder);
    watch->add_flag("--json", watch_options.json,
                    "One JSON object per record (time, process, port, request, text, fields, data "
                    "as hex), and per port a summary object at the end");
    watch->add_option("-o,--output", watch_options.output,
                      "Write the records to FILE instead of standard output (checked before the "
                      "program starts)");
    AddCaptureOptions(watch, watch_options.capture, watch_options.print);
    watch->footer(kWatchFooter);
    watch->add_flag("--trace", watch_options.trace,
                    "Follow the program's system calls (the default), or fail");
    watch->add_flag("--preload", watch_options.preload,
                    "Preload the attachment into the program instead (the device map's ports)");
    watch
        ->add_option("--port", watch_options.ports,
                     "Watch only this port (a path; links are followed); repeatable")
        ->type_name("PATH")
        ->allow_extra_args(false);
    watch->add_option("--pid", watch_options.pid, "Follow a running program, until Ctrl-C")
        ->check(cli_support::WholeNumber(1, std::numeric_limits<int>::max()));
    watch->add_option("PROGRAM", watch_options.command, "[--] PROGRAM ARGS...");

    porvane::cli::ReplayOptions replay_options;
    CLI::App* replay = app.add_subcommand(
        "replay", "Send what a program read (or wrote) in a capture or record to a port");
    replay
        ->add_option("FILE", replay_options.file,
                     "A capture (watch -w FILE) or records written by watch --json -o FILE")
        ->required();
    replay->add_option("PORT", replay_options.port, "The port to send to (a path)")->required();
    replay
        ->add_option("--direction", replay_options.direction,
                     "read: what the program read, so that a program on the far end gets the "
                     "device's side again (default); write: what it wrote")
        ->check(CLI::IsMember({"read", "write"}));
    replay->add_option("--speed", replay_options.speed,
                       "Timing factor: 1 as recorded (default), 2 twice as fast, 0 as fast as the "
                       "line goes");
    replay->add_option("-b,--baud", replay_options.baud, "The ports' speed (9600)");
    replay->add_option("--from", replay_options.from,
                       "The recorded port to play, when the record holds several");
    replay->add_option("--compare", replay_options.compare,
                       "Read this port (it may be PORT) meanwhile and report the first byte that "
                       "differs from what the record says went the other way");
    replay->footer(
        "Exit status: 0 sent (and the same came back), 1 a port did not open or failed, 2 usage "
        "error,\n3 the file is unreadable or holds no read or write, 6 what came back differs.");

    porvane::cli::ServeOptions serve_options;
    CLI::App* serve = app.add_subcommand(
        "serve", "Serve a port to network clients (RFC 2217), one client at a time");
    serve
        ->add_option("PORT", serve_options.port,
                     "Port name (ttyUSB0, opened as /dev/ttyUSB0) or path")
        ->required();
    serve
        ->add_option("--listen", serve_options.listen,
                     "[ADDR:]PORT to listen on: ADDR a host name or address ([ADDR] for IPv6); "
                     "without ADDR every interface, IPv4 and IPv6; PORT 0 lets the system pick")
        ->required();
    serve->footer(kServeFooter);

    porvane::cli::ShowOptions show_options;
    CLI::App* show = app.add_subcommand(
        "show", "Print a capture written by watch -w or monitor -w as watch prints its records");
    show->add_option("FILE", show_options.file, "The capture (pcapng); - for standard input")
        ->required();
    show->add_flag("--hex", show_options.hex, "Show data as hex groups, 32 a line");
    show->add_flag("--data-only", show_options.data_only, "Only the data written (W) and read (R)");
    show->add_flag("--json", show_options.json,
                   "One JSON object per record, and per port a summary object, as watch --json");
    std::string show_time;
    AddTimeOption(show, "--time", show_time, kRecordTimeHelp);
    AddDecodeOption(show, show_options.decoder);
    show->footer(kShowFooter);

    std::string driver_action;
    std::string driver_root;
    CLI::App* driver = app.add_subcommand("driver", "Install or remove the filter driver");
    driver->add_option("ACTION", driver_action, "status, install or remove")
        ->required()
        ->check(CLI::IsMember({"status", "install", "remove"}));
    driver->add_option("--root", driver_root, "System root to install under (default /)");
    driver->footer(
        "remove also disables the driver host's unit (sievra.service), or says why it stays\n"
        "enabled. Exit status: 0 done (status: installed), 2 usage error, 7 not installed\n"
        "(status), 8 not installed or not removed (install, remove; the reason on stderr).");
    std::vector<std::string> words = JoinTimeValue(WithProgramSeparator(argc, argv));
    std::vector<char*> word_pointers;
    for (std::string& word : words)
        word_pointers.push_back(word.data());
    if (const auto done = cli_support::ParseCommandLine(
            app, "porvane-cli", static_cast<int>(word_pointers.size()), word_pointers.data(),
            porvane::cli::PorvaneCliManualSections()))
        return *done;
    if (driver->parsed())
        return porvane::cli::RunDriverCommand(driver_action, driver_root, stdout, stderr);

    // A reader that goes away (`| head`) makes writes fail with EPIPE, which each command takes
    // as its end, instead of killing the program. (The driver's helpers keep the default.)
    signal(SIGPIPE, SIG_IGN);
    if (ports->parsed() && !ports_options.follow) {
        if (show_map)
            return porvane::cli::RunMapCommand(stdout, stderr);
        return ports_options.long_form
                   ? porvane::cli::RunPortsCommand(ports_options, -1, stdout, stderr)
                   : porvane::cli::RunPortsCommand(stdout, stderr);
    }

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    comm::UniqueFd stop_fd(signalfd(-1, &stop_signals, SFD_CLOEXEC));
    // Caught here, so that every guard (the raw terminal's above all) is unwound on the way out.
    try {
        if (ports->parsed())
            return porvane::cli::RunPortsCommand(ports_options, stop_fd.get(), stdout, stderr);
        if (monitor->parsed()) {
            const auto stamp = StampModeOf(monitor_time);
            if (!stamp || !CaptureOptionsValid(monitor))
                return 2;
            monitor_options.stamp = *stamp;
            return porvane::cli::RunMonitorCommand(monitor_options, stop_fd.get(), stdout, stderr);
        }
        if (filter->parsed())
            return porvane::cli::RunFilterCommand(filter_options, stop_fd.get(), stdout, stderr);
        if (watch->parsed()) {
            const auto stamp = StampModeOf(watch_time);
            if (!stamp || !CaptureOptionsValid(watch))
                return 2;
            watch_options.stamp = *stamp;
            return porvane::cli::RunWatchCommand(watch_options, stop_fd.get(), stdout, stderr);
        }
        if (show->parsed()) {
            const auto stamp = StampModeOf(show_time);
            if (!stamp)
                return 2;
            show_options.stamp = *stamp;
            return porvane::cli::RunShowCommand(show_options, stdout, stderr);
        }
        if (serve->parsed())
            return porvane::cli::RunServeCommand(serve_options, stop_fd.get(), stdout, stderr);
        if (replay->parsed())
            return porvane::cli::RunReplayCommand(replay_options, stop_fd.get(), stdout, stderr);
        if (test->parsed()) {
            return porvane::cli::RunTestCommand(test_options, stop_fd.get(), stdout, stderr);
        }
        for (const char* option : {"--baud", "--data", "--parity", "--stop", "--flow"}) {
            if (term->count(option) > 0)
                term_options.given.push_back(option);
        }
        porvane::cli::TermSession session(term_options, STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO,
                                          stop_fd.get());
        return session.Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "porvane-cli: %s\n", e.what());
        return 1;
    }
}
