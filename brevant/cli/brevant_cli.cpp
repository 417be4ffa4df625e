// brevant-cli: sends the rows of a command file to the reader as the send-all sequence does and
// prints what came back.
//   brevant-cli run FILE [--port N|DEVICE] [--baud N] [--send hex|asc] [--recv hex|asc] [--wait MS]
//                        [--answer-handshake]
#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "brevant/app_settings.h"
#include "brevant/command_file.h"
#include "brevant/command_port.h"
#include "brevant/event_port.h"
#include "brevant/reply_collector.h"
#include "brevant/row_frame.h"
#include "platform/cli/command_line.h"
#include "platform/cli/number_option.h"
#include "platform/comm/com_port.h"
#include "platform/comm/recording_opener.h"
#include "platform/comm/rfc2217_serial_device.h"

namespace {

using Clock = brevant::ReplyCollector::Clock;
constexpr int kDefaultReplyWindowMs = 300;  // as the window's send-all sequence waits
constexpr size_t kMostReplyBytes = brevant::ReplyCollector::kMostBytes;

// Exit statuses.
constexpr int kExitPortNotOpened = 1;
constexpr int kExitBadFile = 3;
constexpr int kExitNotAnswered = 4;

// Collects each row's reply over its window as the window's row records it (ReplyCollector).
// Bytes reported before the frame went out are the previous row's tail, which the write's purge
// would have dropped: not a reply. With answer, the reader's announcement of its reply is
// answered with 0x06 from the thread that waits out the row.
class Collector : public brevant::EventPortOwner {
  public:
    Collector(int receive_format, std::chrono::milliseconds window,
              std::function<void()> answer = {})
        : receive_format_(receive_format), window_(window), answer_(std::move(answer)) {
        reply_.set_answer_handshake(static_cast<bool>(answer_));
    }

    void OnWritten() override {
        std::lock_guard lock(mutex_);
        written_ = true;
    }
    void OnPortMessage(uint32_t message, uint32_t wparam, uint32_t) override {
        std::lock_guard lock(mutex_);
        if (!written_)
            return;
        if (message == brevant::PortMsgRxChar) {
            if (!first_byte_)
                first_byte_ = Clock::now();
            if (reply_.Take(static_cast<uint8_t>(wparam))) {
                answer_due_ = true;
                changed_.notify_all();
            }
        } else if (message == brevant::PortMsgRxFlag) {
            reply_.EndBurst(Clock::now());
        }
    }
    void ShowErrorBox(const std::string& text) override {
        std::fprintf(stderr, "%s: %s", brevant::kErrorBoxCaption, text.c_str());
    }

    // Called before the row's frame is queued.
    void StartRow() {
        std::lock_guard lock(mutex_);
        first_byte_.reset();
        written_ = false;
        sent_ = Clock::now();
        reply_.Start(sent_);
        answer_due_ = false;
    }
    struct Reply {
        std::string text;        // the bytes kept, at most kMostReplyBytes
        uint64_t bytes = 0;      // the bytes that came, kept or not
        std::optional<long> ms;  // to the end of the reply's last recorded burst
        bool unended = false;    // bytes came with no pause: ms runs to the first byte
    };
    // Waits out the row's window, however long the line goes on talking; returns what came.
    Reply FinishRow() {
        std::unique_lock lock(mutex_);
        while (changed_.wait_until(lock, sent_ + window_, [this] { return answer_due_; })) {
            answer_due_ = false;
            lock.unlock();
            answer_();
            lock.lock();
        }
        Reply reply{reply_.Text(receive_format_), reply_.byte_count(), {}, false};
        if (const auto elapsed = reply_.elapsed()) {
            reply.ms = elapsed->count();
        } else if (first_byte_) {
            // A line that never paused: the reply is there, its end is not.
            reply.ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(*first_byte_ - sent_).count();
            reply.unended = true;
        }
        return reply;
    }

  private:
    const int receive_format_;
    const std::chrono::milliseconds window_;
    const std::function<void()> answer_;  // sends 0x06; empty when not answering
    std::mutex mutex_;                    // guards everything below
    std::condition_variable changed_;
    brevant::ReplyCollector reply_;
    bool answer_due_ = false;
    bool written_ = false;  // the row's frame has gone to the port
    Clock::time_point sent_;
    std::optional<Clock::time_point> first_byte_;
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
    "sent as a frame: 20, the data, the check byte, 03. The separators belong on lines 1, 4,\n"
    "7, ...: a line before the first one shifts every row, as it does in the window, and the\n"
    "file is refused. Example: brevant/examples/commands.ini in the source tree.\n"
    "Every row is checked before anything is sent: a row whose data the window would mark\n"
    "(empty, fewer than 6 hex digits, an odd count, a character that is not a hex digit, a\n"
    "frame over 512 bytes) or a file whose lines are out of step with the three-line layout\n"
    "is named with its reason, and nothing is sent.\n"
    "Prints one line per command: row, comment, frame, reply, milliseconds (or timeout); a\n"
    "command without a reply within --wait ends the run. The reply is every byte the reader\n"
    "sent within --wait, in as many bursts as it took, as the window's row shows it; the\n"
    "milliseconds run from the send to the end of the reply's last burst, as in the window, or,\n"
    "on a line that never pauses, to its first byte (and the run says so). A reply is kept up\n"
    "to 4608 bytes (the 512-byte frame and 4 KiB more); a longer one is cut there, and the run\n"
    "says so.\n"
    "--port takes n of COMn or a device path (/dev/ttyUSB0, a virtual port's link, or\n"
    "rfc2217://HOST:PORT for a port served over the network). Port n is /dev/ttyS(n-1) unless\n"
    "the environment variable COMn (COM1, COM2, ...) names a device:\n"
    "COM1=/tmp/reader brevant-cli run commands.ini --port 1\n"
    "COM2=rfc2217://benchpc:7000 brevant-cli run commands.ini --port 2\n"
    "Defaults come from $XDG_CONFIG_HOME/brevant/Config.INI (~/.config/brevant/Config.INI),\n"
    "which a first start writes: port 1, 9600 baud, parity N, 8 data bits, 1 stop bit, hex.\n"
    "Exit status: 0 every command answered, 1 the port did not open, 2 usage error, 3 the\n"
    "command file is unreadable, holds no commands or has rows that cannot be framed, 4 a\n"
    "command was not answered.";

int CountCommands(const brevant::CommandRows& rows) {
    int count = 0;
    for (int r = 1; r <= brevant::kCommandRows; ++r)
        count += rows.data[r].empty() ? 0 : 1;
    return count;
}

// A row's text for a message (rows hold UTF-8): control characters as \xNN, and a long text cut
// with "..." between characters.
std::string Shown(const std::string& text) {
    constexpr size_t kMaxShown = 60;
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (shown.size() >= kMaxShown && (c & 0xC0) != 0x80) {
            shown += "...";
            break;
        }
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

// What the window's warning means, for a reader of the command line's message.
std::string WarningMeaning(const std::string& warning) {
    if (warning == brevant::kMessageEmptyData)
        return " (no data)";
    if (warning == brevant::kMessageErr1)
        return " (fewer than 6 hex digits)";
    if (warning == brevant::kMessageErr2)
        return " (an odd number of hex digits)";
    if (warning == brevant::kMessageErr3)
        return " (a character outside 0 to f)";
    return {};
}

// The rows' frames, or a message for each row that cannot be framed as the window would send it
// and each place where the file's layout shifts the rows.
struct CheckedRows {
    std::vector<std::pair<int, brevant::RowFrame>> frames;  // row number and frame, in order
    std::vector<std::string> problems;
};

CheckedRows CheckRows(const brevant::CommandRows& rows,
                      const std::vector<brevant::CommandFileFault>& faults, int send_format) {
    CheckedRows checked;
    for (const brevant::CommandFileFault& fault : faults) {
        checked.problems.push_back("line " + std::to_string(fault.line) + ", row " +
                                   std::to_string(fault.row) + ": " + fault.reason);
    }
    for (int r = 1; r <= brevant::kCommandRows; ++r) {
        if (rows.data[r].empty())
            continue;
        brevant::RowFrame frame = brevant::BuildRowFrame(rows.data[r], send_format);
        std::string why;
        for (const std::string& warning : frame.warnings)
            why += (why.empty() ? "" : ", ") + warning + WarningMeaning(warning);
        if (why.empty()) {
            // Characters the window lets through ("G" lies between "0" and "f") still stop the
            // hex conversion, which would send a cut-off frame with a check over zero bytes.
            const std::string& data = rows.data[r];
            const size_t bad = data.find_first_not_of("0123456789abcdefABCDEF ");
            if (bad != std::string::npos) {
                size_t end = bad + 1;  // the whole character, when it is a UTF-8 sequence
                while (end < data.size() && (static_cast<unsigned char>(data[end]) & 0xC0) == 0x80)
                    ++end;
                why = "\"" + Shown(data.substr(bad, end - bad)) + "\" at column " +
                      std::to_string(bad + 1) + " is not a hex digit";
            }
        }
        if (why.empty() && frame.wire.size() > brevant::kCommandWriteBufferSize) {
            why = "the frame of " + std::to_string(frame.wire.size()) + " bytes does not fit the " +
                  std::to_string(brevant::kCommandWriteBufferSize) + "-byte write buffer";
        }
        if (!why.empty()) {
            checked.problems.push_back("row " + std::to_string(r) + " \"" + Shown(rows.data[r]) +
                                       "\": " + why);
        } else {
            checked.frames.emplace_back(r, std::move(frame));
        }
    }
    return checked;
}

// --port: n of COMn (1 to 255) or a device path; empty when it is neither.
struct PortChoice {
    int number = -1;
    std::string device;
};

std::optional<PortChoice> ParsePortOption(const std::string& text) {
    if (!comm::RemotePortNameProblem(text).empty())
        return std::nullopt;
    if (text.find('/') != std::string::npos)
        return PortChoice{-1, text};
    if (cli_support::CheckWholeNumber(text, 1, 255).empty())
        return PortChoice{std::atoi(text.c_str()), {}};
    return std::nullopt;
}

// "COM4 (/dev/ttyS3, as COM4 is not set)" or "COM4 (/tmp/reader)": the port and its device.
std::string PortDescription(int number) {
    const std::string name = "COM" + std::to_string(number);
    const char* set = std::getenv(name.c_str());
    const bool named = set != nullptr && *set != '\0';
    return name + " (" + comm::ComPortPath(number) +
           (named ? ")" : ", as " + name + " is not set)");
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
    std::string port_text;
    int baud = -1;
    std::string send, recv;
    int wait_ms = kDefaultReplyWindowMs;
    bool answer_handshake = false;
    run->footer(kRunFooter);
    run->add_option("FILE", file, "Command file (format below)")->required();
    run->add_option("--port", port_text,
                    "Port number n of COMn, or a device path (default: COM of Config.INI, 1)")
        ->check(
            [](const std::string& text) {
                if (const std::string problem = comm::RemotePortNameProblem(text); !problem.empty())
                    return problem;
                return ParsePortOption(text) ? std::string()
                                             : text +
                                                   " is neither a port number (1 to 255) nor a "
                                                   "device path";
            },
            "N|DEVICE");
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
    run->add_flag("--answer-handshake", answer_handshake,
                  "Answer the reader's announcement of its reply (20) with 06, so that the reply "
                  "frame itself comes and is printed (default: HANDSHAKE of Config.INI, off)");
    cli_support::ManualSections manual;
    manual.examples = {
        {"run commands.ini --port /dev/ttyUSB0",
         "Sends each command of the file to the reader on /dev/ttyUSB0 and prints the replies."},
        {"run commands.ini --port 2 --baud 19200 --wait 1000",
         "The same on COM2 (see COMn below) at 19200 baud, a second for each reply."},
    };
    manual.environment = {
        {"COM1, COM2, ...",
         "The device (or rfc2217://HOST:PORT) that port n opens instead of\n"
         "/dev/ttyS(n-1)."},
        {"XDG_CONFIG_HOME, HOME",
         "Where Config.INI lives: $XDG_CONFIG_HOME/brevant, else\n"
         "$HOME/.config/brevant."},
    };
    if (const auto done = cli_support::ParseCommandLine(app, "brevant-cli", argc, argv, manual))
        return *done;

    brevant::IniFile ini(brevant::ConfigIniPath());
    brevant::AppSettings settings = brevant::ReadSettings(ini);
    const PortChoice port = port_text.empty() ? PortChoice{} : *ParsePortOption(port_text);
    if (port.number > 0)
        settings.port = port.number;
    if (baud > 0)
        settings.baud = baud;
    if (!send.empty())
        settings.send_format = FormatIndex(send);
    if (!recv.empty())
        settings.receive_format = FormatIndex(recv);
    if (answer_handshake)
        settings.answer_handshake = true;

    brevant::CommandRows rows;
    std::vector<brevant::CommandFileFault> faults;
    errno = 0;
    if (!brevant::LoadCommandFile(file, rows, nullptr, &faults)) {
        // A FIFO or a device is refused unread (it may never end): say so in words.
        const int error = errno != 0 ? errno : EIO;
        std::fprintf(stderr, "brevant-cli: cannot read %s: %s\n", file.c_str(),
                     error == EINVAL ? "not a regular file" : std::strerror(error));
        return kExitBadFile;
    }
    if (CountCommands(rows) == 0 && faults.empty()) {
        std::fprintf(stderr,
                     "brevant-cli: %s holds no commands: each command is a separator line "
                     "/*****************/, a comment line and a data line (see brevant-cli run "
                     "--help)\n",
                     file.c_str());
        return kExitBadFile;
    }
    // Checked whole before the port opens: a bench run either sends every row or none.
    const CheckedRows checked = CheckRows(rows, faults, settings.send_format);
    if (!checked.problems.empty()) {
        for (const std::string& problem : checked.problems)
            std::fprintf(stderr, "brevant-cli: %s: %s\n", file.c_str(), problem.c_str());
        std::fprintf(stderr, "brevant-cli: nothing was sent\n");
        return kExitBadFile;
    }
    brevant::EventPort* answering_port = nullptr;  // set once the port is made, below
    std::function<void()> answer;
    if (settings.answer_handshake) {
        answer = [&answering_port] {
            const uint8_t go = 0x06;
            answering_port->Write(&go, 1);
        };
    }
    Collector collector(settings.receive_format, std::chrono::milliseconds(wait_ms), answer);
    // A device path replaces the COMn lookup: the port opens that device whatever n it has, and a
    // failure names that device.
    comm::RecordingOpener opener;
    const comm::RecordingOpener::Opener open_port = opener.opener();
    const std::string port_name =
        port.device.empty() ? PortDescription(settings.port) : port.device;
    brevant::EventPort event_port(
        port.device.empty() ? open_port : [open_port, device = port.device](const std::string&) {
            return open_port(device);
        });
    answering_port = &event_port;
    if (!brevant::OpenCommandPort(event_port, &collector, settings)) {
        const std::string reason = opener.failed() ? opener.Describe() : port_name;
        if (port.device.empty()) {
            std::fprintf(stderr, "%s (COM%d: %s)\n", brevant::kPortNotFoundMessage, settings.port,
                         reason.c_str());
        } else {
            std::fprintf(stderr, "%s (%s)\n", brevant::kPortNotFoundMessage, reason.c_str());
        }
        if (port.device.empty() && port_name.find(", as ") != std::string::npos) {
            std::fprintf(stderr,
                         "brevant-cli: %s; set COM%d=DEVICE or give --port DEVICE for another "
                         "device\n",
                         port_name.c_str(), settings.port);
        }
        return kExitPortNotOpened;
    }
    bool all_answered = true;
    for (const auto& [r, frame] : checked.frames) {
        collector.StartRow();
        if (!event_port.Write(frame.wire.data(), frame.wire.size())) {
            std::fprintf(stderr, "brevant-cli: row %d could not be written to %s\n", r,
                         port_name.c_str());
            all_answered = false;
            break;
        }
        const auto [reply, bytes, ms, unended] = collector.FinishRow();
        std::printf("%d\t%s\t%s\t%s\t%s\n", r, rows.comment[r].c_str(), HexOf(frame.wire).c_str(),
                    reply.c_str(), ms ? std::to_string(*ms).c_str() : "timeout");
        std::fflush(stdout);
        if (bytes > kMostReplyBytes) {
            std::fprintf(stderr,
                         "brevant-cli: row %d: the reply was cut after %zu bytes; %llu bytes came "
                         "within %d ms\n",
                         r, kMostReplyBytes, static_cast<unsigned long long>(bytes), wait_ms);
        }
        if (unended) {
            std::fprintf(stderr,
                         "brevant-cli: row %d: the reply was still coming after %d ms; its time "
                         "is to its first byte\n",
                         r, wait_ms);
        }
        if (!ms) {
            // A late reply ends the sequence, as in the window.
            std::fprintf(stderr, "brevant-cli: row %d was not answered within %d ms on %s\n", r,
                         wait_ms, port_name.c_str());
            all_answered = false;
            break;
        }
    }
    event_port.Shutdown();
    return all_answered ? 0 : kExitNotAnswered;
}
