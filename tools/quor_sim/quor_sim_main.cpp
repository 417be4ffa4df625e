// quor-sim: the card reader on a virtual port, for tests and for users without hardware.
//   quor-sim PATH [--no-ack] [--bad-check K] [--status S] [--burst N] [--burst-gap MS]
//            [--delay MS] [--serial HEX8]
// PATH becomes a symbolic link to the reader's terminal; point COM1 (or COM2..COM4) at it.
#include <signal.h>
#include <sys/signalfd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <limits>

#include "platform/cli/command_line.h"
#include "platform/cli/number_option.h"
#include "platform/comm/unique_fd.h"
#include "reader/sim/reader_simulator.h"
#include "tools/vport/virtual_port.h"

int main(int argc, char** argv) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    CLI::App app{"Contactless card reader simulator with a MIFARE Classic 1K card in its field"};
    app.footer(
        "Exit status: 0 stopped by SIGINT, SIGTERM or SIGHUP, 1 the port could not be made, 2 "
        "usage\n"
        "error.");
    std::string path;
    reader::sim::SimulatorFaults faults;
    int status = -1;
    std::string serial_hex = "3A7C9105";
    constexpr long long kMaxCount = std::numeric_limits<int>::max();
    app.add_option("PATH", path, "Symbolic link to create for the reader's port")->required();
    app.add_flag("--no-ack", faults.never_acknowledge, "Never acknowledge a request");
    app.add_option("--bad-check", faults.bad_check_replies,
                   "Wrong check byte on the first K replies")
        ->check(cli_support::WholeNumber(0, kMaxCount))
        ->capture_default_str();
    app.add_option("--status", status, "Answer every command with this status (default: none)")
        ->check(cli_support::WholeNumber(0, 255));
    app.add_option("--burst", faults.burst_size, "Send replies in bursts of N bytes (0: at once)")
        ->check(cli_support::WholeNumber(0, kMaxCount))
        ->capture_default_str();
    app.add_option("--burst-gap", faults.burst_gap_ms, "Milliseconds between bursts")
        ->check(cli_support::WholeNumber(0, 10000))
        ->capture_default_str();
    app.add_option("--delay", faults.reply_delay_ms, "Milliseconds to wait before each reply")
        ->check(cli_support::WholeNumber(0, 60000))
        ->capture_default_str();
    app.add_option("--serial", serial_hex, "The card's serial number, 8 hex digits in card order")
        ->capture_default_str();
    cli_support::ManualSections manual;
    manual.examples = {
        {"/tmp/reader &", "A reader at /tmp/reader, for COM1=/tmp/reader brevant-cli run ..."},
        {"/tmp/reader --delay 700 --bad-check 1",
         "A slow reader whose first reply has a wrong check byte."},
    };
    if (const auto done = cli_support::ParseCommandLine(app, "quor-sim", argc, argv, manual))
        return *done;
    if (status >= 0) {
        faults.status = static_cast<uint8_t>(status);
    }
    std::array<uint8_t, 4> serial{};
    if (serial_hex.size() != 8 ||
        serial_hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        std::fprintf(stderr, "quor-sim: --serial takes 8 hex digits\n");
        return 2;
    }
    for (int i = 0; i < 4; ++i) {
        serial[i] = static_cast<uint8_t>(std::stoul(serial_hex.substr(2 * i, 2), nullptr, 16));
    }

    try {
        tools::PublishedPty port(path);
        std::printf("%s -> %s\n", port.link_path().c_str(), port.slave_path().c_str());
        std::fflush(stdout);
        comm::UniqueFd stop_fd(signalfd(-1, &stop, SFD_CLOEXEC));
        reader::sim::ReaderSimulator simulator(faults, serial);
        simulator.Serve(port.master(), stop_fd.get());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quor-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
