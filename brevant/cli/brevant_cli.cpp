// brevant-cli: sends the rows of a command file to the reader as the send-all sequence does and
// prints what came back.
//   brevant-cli run FILE [--port N] [--baud N] [--send hex|asc] [--recv hex|asc] [--wait MS]
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "brevant/app_settings.h"
#include "brevant/command_file.h"
#include "brevant/command_port.h"
#include "brevant/event_port.h"
#include "brevant/row_frame.h"
#include "platform/cli/command_line.h"
#include "platform/cli/number_option.h"
#include "platform/comm/com_port.h"
#include "platform/comm/recording_opener.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDefaultReplyWindowMs = 300;  // as the window's send-all sequence waits

// Collects the bytes and the first burst end after each send.
class Collector : public brevant::EventPortOwner {
  public:
    Collector(int receive_format, std::chrono::milliseconds window)
        : receive_format_(receive_format), window_(window) {}

    void OnPortMessage(uint32_t message, uint32_t wparam, uint32_t) override {
        std::lock_guard lock(mutex_);
        if (message == brevant::PortMsgRxChar) {
            reply_ += brevant::ReceivedByteText(static_cast<uint8_t>(wparam), receive_format_);
        } else if (message == brevant::PortMsgRxFlag && !reply_.empty() && !first_burst_) {
            first_burst_ = Clock::now();
            changed_.notify_all();
        }
    }
    void ShowErrorBox(const std::string& text) override {
        std::fprintf(stderr, "%s: %s", brevant::kErrorBoxCaption, text.c_str());
    }

    void StartRow() {
        std::lock_guard lock(mutex_);
        reply_.clear();
        first_burst_.reset();
        sent_ = Clock::now();
    }
    // Waits out the row's window; returns the reply text and the milliseconds to the first burst.
    std::pair<std::string, std::optional<long>> FinishRow() {
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, sent_ + window_, [this] { return false; });
        std::optional<long> ms;
        if (first_burst_) {
            ms = std::chrono::duration_cast<std::chrono::milliseconds>(*first_burst_ - sent_)
                     .count();
        }
        return {reply_, ms};
    }

  private:
    const int receive_format_;
    const std::chrono::milliseconds window_;
    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::string reply_;
    Clock::time_point sent_;
    std::optional<Clock::time_point> first_burst_;
};

std::string HexOf(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, i + 1 < bytes.size() ? "%02X " : "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

int FormatIndex(const std::string& text) {
    return text == "asc" ? 1 : 0;
}

constexpr char kRunFooter[] =
    "A command file (.ini, as the window's save writes it) holds three lines per command:\n"
    "  /*****************/      the separator: a slash, 17 asterisks, a slash\n"
    "  request                  a comment, possibly empty\n"
    "  00 41 01 52              the data: hex pairs (address, command, length, data), or the\n"
    "                           frame's characters with --send asc\n"
    "and after the last command one more separator and a line of two spaces. Each command is\n"
    "sent as a frame: 20, the data, the check byte, 03. Lines before the first separator are\n"
    "ignored. Example: brevant/examples/commands.ini in the source tree.\n"
    "Prints one line per command: row, comment, frame, reply, milliseconds (or timeout); a\n"
    "command without a reply within --wait ends the run.\n"
    "Port n is /dev/ttyS(n-1) unless the environment variable COMn (COM1, COM2, ...) names a\n"
    "device: COM1=/tmp/reader brevant-cli run commands.ini --port 1\n"
    "Defaults come from $XDG_CONFIG_HOME/brevant/Config.INI (~/.config/brevant/Config.INI),\n"
    "which a first start writes: port 1, 9600 baud, parity N, 8 data bits, 1 stop bit, hex.\n"
    "Exit status: 0 every command answered, 1 otherwise (unreadable file, no commands, port\n"
    "not opened, a command not answered).";

int CountCommands(const brevant::CommandRows& rows) {
    int count = 0;
    for (int r = 1; r <= brevant::kCommandRows; ++r)
        count += rows.data[r].empty() ? 0 : 1;
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The reader command assistant on the command line"};
    app.require_subcommand(1);
    app.footer(
        "Port n is /dev/ttyS(n-1) unless the environment variable COMn (COM1, COM2, ...)\n"
        "names a device. \"brevant-cli run --help\" describes the command file.");
    CLI::App* run =
        app.add_subcommand("run", "Send the rows of a command file and print the replies");
    std::string file;
    int port = -1;
    int baud = -1;
    std::string send, recv;
    int wait_ms = kDefaultReplyWindowMs;
    run->footer(kRunFooter);
    run->add_option("FILE", file, "Command file (format below)")->required();
    run->add_option("--port", port, "Port number n of COMn (default: COM of Config.INI, 1)")
        ->check(cli_support::WholeNumber(1, 255));
    run->add_option("--baud", baud, "Baud rate (default: BAND of Config.INI, 9600)")
        ->check(cli_support::WholeNumber(cli_support::kMinBaud, cli_support::kMaxBaud));
    run->add_option("--send", send, "Send format (default: SENDTYPE of Config.INI, hex)")
        ->check(CLI::IsMember({"hex", "asc"}));
    run->add_option("--recv", recv, "Receive format (default: REVICETYPE of Config.INI, hex)")
        ->check(CLI::IsMember({"hex", "asc"}));
    run->add_option("--wait", wait_ms,
                    "Milliseconds each command collects its reply (default: 300, as the window's "
                    "send-all waits)")
        ->check(cli_support::WholeNumber(1, 60000));
    if (const auto done = cli_support::ParseCommandLine(app, "brevant-cli", argc, argv))
        return *done;

    brevant::IniFile ini(brevant::ConfigIniPath());
    brevant::AppSettings settings = brevant::ReadSettings(ini);
    if (port > 0)
        settings.port = port;
    if (baud > 0)
        settings.baud = baud;
    if (!send.empty())
        settings.send_format = FormatIndex(send);
    if (!recv.empty())
        settings.receive_format = FormatIndex(recv);

    brevant::CommandRows rows;
    errno = 0;
    if (!brevant::LoadCommandFile(file, rows)) {
        std::fprintf(stderr, "brevant-cli: cannot read %s: %s\n", file.c_str(),
                     std::strerror(errno != 0 ? errno : EIO));
        return 1;
    }
    if (CountCommands(rows) == 0) {
        std::fprintf(stderr,
                     "brevant-cli: %s holds no commands: each command is a separator line "
                     "/*****************/, a comment line and a data line (see brevant-cli run "
                     "--help)\n",
                     file.c_str());
        return 1;
    }
    Collector collector(settings.receive_format, std::chrono::milliseconds(wait_ms));
    comm::RecordingOpener opener;
    brevant::EventPort event_port(opener.opener());
    if (!brevant::OpenCommandPort(event_port, &collector, settings)) {
        std::fprintf(
            stderr, "%s (COM%d: %s)\n", brevant::kPortNotFoundMessage, settings.port,
            opener.failed() ? opener.Describe().c_str() : comm::ComPortPath(settings.port).c_str());
        return 1;
    }
    bool all_answered = true;
    for (int r = 1; r <= brevant::kCommandRows && all_answered; ++r) {
        if (rows.data[r].empty())
            continue;
        const brevant::RowFrame frame = brevant::BuildRowFrame(rows.data[r], settings.send_format);
        for (const std::string& warning : frame.warnings)
            std::fprintf(stderr, "row %d: %s\n", r, warning.c_str());
        collector.StartRow();
        if (!event_port.Write(frame.wire.data(), frame.wire.size())) {
            std::fprintf(stderr, "row %d: the frame does not fit the %zu-byte write buffer\n", r,
                         brevant::kCommandWriteBufferSize);
            all_answered = false;
            break;
        }
        const auto [reply, ms] = collector.FinishRow();
        std::printf("%d\t%s\t%s\t%s\t%s\n", r, rows.comment[r].c_str(), HexOf(frame.wire).c_str(),
                    reply.c_str(), ms ? std::to_string(*ms).c_str() : "timeout");
        std::fflush(stdout);
        all_answered = ms.has_value();  // a late reply ends the sequence
    }
    event_port.Shutdown();
    return all_answered ? 0 : 1;
}
