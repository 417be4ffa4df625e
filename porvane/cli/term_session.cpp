#include "porvane/cli/term_session.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <regex>
#include <sstream>
#include <string_view>
#include <tuple>

#include "platform/cli/number_option.h"
#include "platform/comm/comm_constants.h"
#include "platform/comm/event_fd.h"
#include "platform/comm/rfc2217_serial_device.h"
#include "platform/devicemap/listed_ports.h"
#include "platform/devicemap/port_watcher.h"
#include "porvane/cli/exit_status.h"
#include "porvane/cli/open_message.h"
#include "porvane/cli/output_file.h"
#include "porvane/cli/output_watch.h"
#include "porvane/cli/raw_terminal.h"
#include "porvane/serial/page_notify.h"

namespace porvane::cli {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Keeps this much written but not yet gone before reading more input, so that a slow line does
// not make the queue grow without bound. A network port's bytes are gone only once its server
// has them, and the line then waits a round trip for the next ones: it is given a window that
// keeps the connection busy meanwhile.
uint64_t MostOutstanding(const std::string& device) {
    return comm::IsRemotePortName(device) ? 1024 * 1024 : 64 * 1024;
}
// Silence that ends a burst of received bytes (and its hex line).
constexpr auto kBurstGap = std::chrono::milliseconds(100);
// How long a break lasts on the line, and a pulse of DTR or RTS.
constexpr int kBreakMs = 250;
constexpr int kPulseMs = 250;
// A marked log record holds at most this many bytes of one burst.
constexpr size_t kMaxLogRecord = 4096;

bool WriteAllTo(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAllTo(int fd, const std::string& text) {
    return WriteAllTo(fd, text.data(), text.size());
}

// The decoders' clock: microseconds since 1970.
int64_t MicrosecondsOf(std::chrono::system_clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
}

int MillisecondsUntil(SteadyClock::time_point when) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - SteadyClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left) + 1;
}

// Time the line needs for the outstanding bytes, at ten bits a character, twice over.
int DrainMs(uint64_t bytes, uint32_t baud) {
    return static_cast<int>(bytes * 10 * 2 * 1000 / baud) + 2000;
}

// A line of the marked log: "HH:MM:SS.uuuuuu < text" for received bytes, ">" for sent ones,
// with line ends, other control characters and backslashes escaped.
std::string LogRecord(char mark, std::string_view bytes,
                      std::chrono::system_clock::time_point when) {
    std::string line = LineClock(StampMode::kAbsolute).Stamp(when) + mark + ' ';
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            line += "\\\\";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\t') {
            line += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            line += escaped;
        } else {
            line += ch;
        }
    }
    return line + '\n';
}

const char* OnOff(bool on) {
    return on ? "on" : "off";
}

// An inotify watch on the folder of path, readable when an entry appears there or changes (a
// link made again, a device node created); invalid when the folder cannot be watched.
comm::UniqueFd WatchFolderOf(const std::string& path) {
    comm::UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    if (fd.valid() &&
        ::inotify_add_watch(fd.get(), folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0)
        fd.Reset();
    return fd;
}

void DrainNonBlocking(int fd) {
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

bool IsCharacterDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

bool BuildTermSettings(const TermOptions& o, serial::LineSettings& s, std::string& error) {
    s = serial::PanelDefaultLineSettings();
    if (!serial::SetPortName(s, o.port)) {
        error = "port name too long: " + o.port;
        return false;
    }
    if (o.baud == 0) {
        error = "baud rate must be positive";
        return false;
    }
    s.dcb.BaudRate = o.baud;
    if (o.data_bits < 5 || o.data_bits > 8) {
        error = "data bits must be 5, 6, 7 or 8";
        return false;
    }
    s.dcb.ByteSize = static_cast<uint8_t>(o.data_bits);
    static const char* const kParities[] = {"no", "odd", "even", "mark", "space"};
    bool parity_found = false;
    for (uint8_t i = 0; i < 5; ++i) {
        if (o.parity == kParities[i]) {
            s.dcb.Parity = i;
            parity_found = true;
        }
    }
    if (!parity_found) {
        error = "parity must be no, odd, even, mark or space";
        return false;
    }
    if (o.stop == "1") {
        s.dcb.StopBits = comm::ONESTOPBIT;
    } else if (o.stop == "1.5") {
        s.dcb.StopBits = comm::ONE5STOPBITS;
    } else if (o.stop == "2") {
        s.dcb.StopBits = comm::TWOSTOPBITS;
    } else {
        error = "stop bits must be 1, 1.5 or 2";
        return false;
    }
    if (o.flow == "rts") {
        s.dcb.fOutxCtsFlow = 1;
        s.dcb.fRtsControl = comm::RTS_CONTROL_HANDSHAKE;
    } else if (o.flow == "xon") {
        s.dcb.fOutX = 1;
        s.dcb.fInX = 1;
        s.dcb.XonChar = 0x11;
        s.dcb.XoffChar = 0x13;
    } else if (o.flow != "none") {
        error = "flow control must be none, rts or xon";
        return false;
    }
    if (o.no_rts && o.flow == "rts") {
        error = "--no-rts: RTS follows the flow control (--flow rts)";
        return false;
    }
    if (o.no_dtr)
        s.dcb.fDtrControl = comm::DTR_CONTROL_DISABLE;
    if (o.no_rts)
        s.dcb.fRtsControl = comm::RTS_CONTROL_DISABLE;
    return true;
}

bool ApplyLineWords(const std::string& text, TermOptions& options, std::string& error) {
    static const std::regex kFrame("([5-8])([NOEMSnoems])(1|1\\.5|2)");
    static const char* const kParities[] = {"no", "odd", "even", "mark", "space"};
    std::istringstream words(text);
    std::string word;
    bool any = false;
    for (; words >> word; any = true) {
        std::smatch frame;
        if (word == "none" || word == "rts" || word == "xon") {
            options.flow = word;
        } else if (std::regex_match(word, frame, kFrame)) {
            options.data_bits = frame[1].str()[0] - '0';
            const char parity = static_cast<char>(std::toupper(frame[2].str()[0]));
            options.parity = kParities[std::string_view("NOEMS").find(parity)];
            options.stop = frame[3].str();
        } else if (cli_support::CheckWholeNumber(word, cli_support::kMinBaud, cli_support::kMaxBaud)
                       .empty()) {
            options.baud = static_cast<uint32_t>(std::stoul(word));
        } else {
            error = word + " is neither a speed (" + std::to_string(cli_support::kMinBaud) +
                    " to " + std::to_string(cli_support::kMaxBaud) +
                    "), a frame such as 7E1 nor a flow control (none, rts, xon)";
            return false;
        }
    }
    if (!any)
        error = "nothing to change";
    return any;
}

std::string DescribeLine(const comm::Dcb& dcb) {
    static const char kParityLetters[] = "NOEMS";
    static const char* const kStops[] = {"1", "1.5", "2"};
    return std::to_string(dcb.BaudRate) + " " + std::to_string(dcb.ByteSize) +
           (dcb.Parity < 5 ? kParityLetters[dcb.Parity] : '?') +
           (dcb.StopBits < 3 ? kStops[dcb.StopBits] : "?");
}

TermSession::TermSession(const TermOptions& options, int input_fd, int output_fd, int message_fd,
                         int stop_fd, serial::SerialChannel::DeviceOpener opener)
    : options_(options),
      input_fd_(input_fd),
      output_fd_(output_fd),
      message_fd_(message_fd),
      stop_fd_(stop_fd),
      device_(comm::DevicePathForPort(devicemap::PortToOpen(options.port))),
      opener_(opener ? std::move(opener) : [this](const std::string& path) {
          if (!comm::IsRemotePortName(path))
              return comm::OpenSerialDeviceRestoring(path);
          // Said as every other message, which a raw terminal needs ended with "\r\n".
          comm::Rfc2217SerialDevice::Options remote;
          remote.notice = [this](const std::string& line) { Say("porvane-cli: " + line); };
          // The channel sets DTR and RTS as the session wants them right after the open; raised
          // first, a held-low DTR would pulse on the far board.
          remote.raise_lines_at_open = false;
          return comm::Rfc2217SerialDevice::Open(path, remote);
      }),
      channel_(opener_.opener()),
      wake_(comm::MakeEventFd()),
      view_(options.hex, StampMode::kNone, "\n") {}

intptr_t TermSession::PageNotify(uint32_t code, void* data) {
    if (code == serial::PN_RECV_DATA) {
        const auto* block = static_cast<serial::DataBlock*>(data);
        std::lock_guard lock(mutex_);
        receive_count_ += block->count;
        last_receive_ = SteadyClock::now();
        const auto now = std::chrono::system_clock::now();
        const std::string_view bytes(reinterpret_cast<const char*>(block->data), block->count);
        const bool waited_for_pause = view_.WaitsForPause() || !log_received_.empty();
        if (options_.log_marked) {
            if (log_received_.empty())
                log_received_at_ = now;
            log_received_ += bytes;
            if (log_received_.size() >= kMaxLogRecord)
                FlushReceivedRecord();
        } else if (log_.valid() && log_error_ == 0 && !log_paused_ &&
                   !WriteAllTo(log_.get(), bytes.data(), bytes.size())) {
            log_error_ = errno;
        }
        bool failed = log_error_ != 0;
        if (!output_failed_) {
            const std::string mapped = in_map_.Apply(bytes);
            const std::string text =
                view_.Add(reinterpret_cast<const uint8_t*>(mapped.data()), mapped.size(), now);
            if (!WriteOutput(text))
                output_failed_ = failed = true;
        }
        bool silence_due = false;
        if (decoder_) {
            const int64_t before = decoder_->SilenceEnds();
            WriteFrames(decoder_->Take(
                {decode::Flow::kRead, block->data, block->count, MicrosecondsOf(now)}));
            silence_due = decoder_->SilenceEnds() >= 0 && decoder_->SilenceEnds() != before;
        }
        // A line (or log record, or frame) that the next pause ends has begun: the main thread,
        // which may be waiting without a limit, sets its wait by the pause from now on.
        if (failed || silence_due ||
            (!waited_for_pause && (view_.WaitsForPause() || !log_received_.empty())))
            comm::SignalEventFd(wake_.get());
    } else if (code == serial::PN_SEND_EMPTY) {
        {
            std::lock_guard lock(mutex_);
            acknowledged_ += *static_cast<uint32_t*>(data);
        }
        comm::SignalEventFd(wake_.get());
    } else if (code == serial::PN_PORT_GONE) {
        {
            std::lock_guard lock(mutex_);
            port_gone_ = true;
        }
        comm::SignalEventFd(wake_.get());
    }
    return 0;
}

void TermSession::ShowMessage(const std::string& text) {
    if (quiet_opens_)
        return;  // a server being tried again: the wait for it has been said once
    Say(OpenFailureMessage(text, opener_));
}

void TermSession::WriteMessage(const std::string& text) {
    std::lock_guard lock(mutex_);
    // A hex line under way is ended first, so that the message stands on a line of its own.
    if (raw_ && view_.hex())
        WriteOutput(view_.Pause());
    // Received text that stopped mid-line on the same screen would run into the message.
    if (output_shares_screen_ && output_mid_line_ && !text.empty() && text != "\r\n")
        WriteAllTo(message_fd_, "\r\n");
    output_mid_line_ = false;
    WriteAllTo(message_fd_, text);
}

bool TermSession::WriteOutput(const std::string& text) {
    if (text.empty())
        return true;
    output_mid_line_ = text.back() != '\n';
    return WriteAllTo(output_fd_, text);
}

void TermSession::Say(const std::string& text) {
    // "\r" first: after a device's bare line feed the cursor is not at the start of the line.
    WriteMessage(raw_ ? "\r" + text + "\r\n" : text + "\n");
}

void TermSession::ClosePort() {
    channel_.ClosePort();
    // The event thread has ended: the hex groups are complete and get their line end.
    std::lock_guard lock(mutex_);
    FlushReceivedRecord();
    if (decoder_)
        WriteFrames(decoder_->Finish());
    if (!output_failed_)
        WriteOutput(view_.Finish());
    // On the terminal, whatever comes next (the shell's prompt) starts on a line of its own, at
    // its start: a device's bare line feeds leave the cursor where the line ended.
    if (!output_failed_ && output_shares_screen_)
        WriteOutput(output_mid_line_ ? "\r\n" : "\r");
}

void TermSession::EndPausedLine() {
    std::lock_guard lock(mutex_);
    // A frame whose end only a pause tells is written once the pause has passed, whatever
    // comes next.
    if (decoder_ && decoder_->SilenceEnds() >= 0)
        WriteFrames(decoder_->Quiet(MicrosecondsOf(std::chrono::system_clock::now())));
    if (SteadyClock::now() - last_receive_ < kBurstGap)
        return;
    if (view_.WaitsForPause() && !output_failed_ && !WriteOutput(view_.Pause()))
        output_failed_ = true;
    FlushReceivedRecord();
}

void TermSession::FlushReceivedRecord() {
    if (log_received_.empty())
        return;
    WriteLog(LogRecord('<', log_received_, log_received_at_));
    log_received_.clear();
}

void TermSession::WriteLog(const std::string& record) {
    if (log_.valid() && log_error_ == 0 && !log_paused_ && !WriteAllTo(log_.get(), record))
        log_error_ = errno;
}

TermSession::End TermSession::Wait(int timeout_ms, pollfd* input) {
    {
        std::lock_guard lock(mutex_);
        if (view_.WaitsForPause() || !log_received_.empty()) {
            const int pause_ms = MillisecondsUntil(last_receive_ + kBurstGap);
            if (timeout_ms < 0 || pause_ms < timeout_ms)
                timeout_ms = pause_ms;
        }
        if (const int64_t ends = decoder_ ? decoder_->SilenceEnds() : -1; ends >= 0) {
            // Just past the end of the silence, in whole milliseconds.
            const int64_t left_us = ends - MicrosecondsOf(std::chrono::system_clock::now());
            const int silence_ms = static_cast<int>(std::max<int64_t>(0, left_us / 1000 + 1));
            if (timeout_ms < 0 || silence_ms < timeout_ms)
                timeout_ms = silence_ms;
        }
    }
    pollfd fds[4] = {{stop_fd_, POLLIN, 0},
                     {wake_.get(), POLLIN, 0},
                     OutputClosedPollFd(output_fd_),
                     {-1, 0, 0}};
    if (input != nullptr)
        fds[3] = *input;
    const int ready = ::poll(fds, 4, timeout_ms);
    if (ready < 0 && errno != EINTR)
        return End::kStopped;
    if (input != nullptr)
        input->revents = ready > 0 ? fds[3].revents : 0;
    if (ready > 0 && (fds[0].revents & POLLIN))
        return End::kStopped;
    if (ready > 0 && (fds[1].revents & POLLIN))
        comm::DrainEventFd(wake_.get());
    EndPausedLine();
    std::lock_guard lock(mutex_);
    if (port_gone_)
        return End::kPortGone;
    if (log_error_ != 0)
        return End::kLogFailed;
    if (output_failed_ || (ready > 0 && OutputClosedIn(fds[2])))
        return End::kOutputClosed;
    return End::kNone;
}

TermSession::End TermSession::Pause(int ms) {
    const auto until = SteadyClock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const int left = MillisecondsUntil(until);
        if (left <= 0 || SteadyClock::now() >= until)
            return End::kNone;
        if (const End end = Wait(left, nullptr); end != End::kNone)
            return end;
    }
}

TermSession::End TermSession::WaitForTransmit(uint64_t target, int timeout_ms) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (acknowledged_ >= target)
                return End::kNone;
        }
        if (SteadyClock::now() >= deadline)
            return End::kStalled;
        if (const End end = Wait(MillisecondsUntil(deadline), nullptr); end != End::kNone)
            return end;
    }
}

TermSession::End TermSession::WaitForQuietLine() {
    // Silence counts from the later of the last byte received and the end of sending, and the
    // wait goes on for as long as the port talks.
    const auto sent = SteadyClock::now();
    for (;;) {
        SteadyClock::time_point last;
        {
            std::lock_guard lock(mutex_);
            last = std::max(last_receive_, sent);
        }
        const auto quiet_at = last + std::chrono::milliseconds(options_.linger_ms);
        if (SteadyClock::now() >= quiet_at)
            return End::kNone;
        if (const End end = Wait(MillisecondsUntil(quiet_at), nullptr); end != End::kNone)
            return end;
    }
}

void TermSession::Send(const std::string& typed) {
    const std::string bytes = out_map_.Apply(typed);
    if (bytes.empty())
        return;
    if (options_.echo || options_.log_marked) {
        std::lock_guard lock(mutex_);
        if (options_.echo && !output_failed_ &&
            !WriteOutput(raw_ ? MapEnter(bytes, '\r', "\r\n") : bytes)) {
            output_failed_ = true;
        }
        if (options_.log_marked) {
            FlushReceivedRecord();  // what came before the send is logged before it
            WriteLog(LogRecord('>', bytes, std::chrono::system_clock::now()));
        }
    }
    // Decoded before they go: an echo or a reply may be read before WritePort returns, and is
    // known for one only once the command is.
    if (decoder_) {
        std::lock_guard lock(mutex_);
        WriteFrames(
            decoder_->Take({decode::Flow::kWritten, reinterpret_cast<const uint8_t*>(bytes.data()),
                            bytes.size(), MicrosecondsOf(std::chrono::system_clock::now())}));
    }
    channel_.WritePort(reinterpret_cast<const uint8_t*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()));
    written_ += bytes.size();
}

void TermSession::NoteSpeedForDecoder(uint32_t baud) {
    const std::lock_guard lock(mutex_);
    if (decoder_)
        decoder_->SetSpeed(baud);
}

void TermSession::WriteFrames(const std::vector<decode::Frame>& frames) {
    const std::string line_end = output_shares_screen_ ? "\r\n" : "\n";
    for (const decode::Frame& frame : frames) {
        if (output_failed_)
            return;
        const std::string line = view_.BreakLine() +
                                 (frame.flow == decode::Flow::kWritten ? "» W " : "» R ") +
                                 frame.text + line_end;  // decoders say bytes as hex
        if (!WriteOutput(line))
            output_failed_ = true;
    }
}

int TermSession::Run() {
    std::string error;
    if (!BuildTermSettings(options_, channel_.settings(), error)) {
        Say("porvane-cli: " + error);
        return kExitUsage;
    }
    const std::optional<std::string> enter = EnterBytes(options_.map);
    const std::optional<StampMode> stamp =
        options_.time.empty() ? StampMode::kNone : ParseStampMode(options_.time);
    if (!enter || !stamp) {
        Say(!enter ? "porvane-cli: --map takes CR, LF or CRLF"
                   : "porvane-cli: --time takes absolute or delta");
        return kExitUsage;
    }
    enter_sends_ = *enter;
    if (!options_.decoder.empty()) {
        decoder_ = decode::MakeFrameDecoder(options_.decoder);
        if (!decoder_) {
            Say("porvane-cli: --decode: " + decode::DecoderNameProblem(options_.decoder));
            return kExitUsage;
        }
        decoder_->SetSpeed(options_.baud);
    }
    if (!options_.escape.empty()) {
        const std::optional<EscapeKey> escape = ParseEscapeKey(options_.escape);
        if (!escape) {
            Say("porvane-cli: --escape takes a letter for its control key (t for Ctrl-T), not "
                "c, h, i, j or m");
            return kExitUsage;
        }
        escape_ = *escape;
    }
    for (const auto& [option, list, map] :
         {std::tuple{"--imap", &options_.imap, &in_map_}, {"--omap", &options_.omap, &out_map_}}) {
        std::optional<CharacterMap> parsed = CharacterMap::Parse(*list, error);
        if (!parsed) {
            Say(std::string("porvane-cli: ") + option + ": " + error);
            return kExitUsage;
        }
        *map = std::move(*parsed);
    }
    if (!wake_.valid()) {
        Say(std::string("porvane-cli: eventfd: ") + std::strerror(errno));
        return kExitPortNotOpen;
    }
    if (!options_.log.empty()) {
        log_ = OpenOutputFile(options_.log, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (!log_.valid()) {
            Say("porvane-cli: --log: " + options_.log + ": " + std::strerror(errno));
            return kExitFileNotWritten;
        }
    }
    const bool interactive = ::isatty(input_fd_) == 1;
    // A raw terminal moves to the next line only on "\r\n".
    output_shares_screen_ = interactive && ::isatty(output_fd_) == 1;
    view_ = ReceivedView(options_.hex, *stamp, output_shares_screen_ ? "\r\n" : "\n");
    dtr_on_ = channel_.settings().dcb.fDtrControl == comm::DTR_CONTROL_ENABLE;
    rts_on_ = channel_.settings().dcb.fRtsControl == comm::RTS_CONTROL_ENABLE;
    // Resolved before the open: a port that vanishes at once takes its link's target along.
    device_behind_ = DeviceBehind(device_);
    if (channel_.OpenPort(this) != 1)
        return kExitPortNotOpen;
    if (SayLineNotTaken()) {
        channel_.ClosePort();
        return kExitPortNotOpen;
    }
    if (options_.reconnect)
        adapter_ = devicemap::IdentifyPort(options_.port);
    // Raw for the whole session, the waits for a vanished port's adapter included, so that no
    // key typed meanwhile is lost to a change of modes.
    std::optional<RawTerminal> raw;
    bool keys = interactive;
    if (interactive) {
        raw.emplace(input_fd_);
        if (!raw->active()) {
            Say(std::string("porvane-cli: the terminal cannot be put in raw mode: ") +
                std::strerror(errno));
            raw.reset();
            keys = false;
        }
    }
    raw_ = keys;
    End end = End::kNone;
    for (;;) {
        end = keys ? RunInteractive() : RunPipe();
        if (end != End::kPortGone || !options_.reconnect)
            break;
        ClosePort();
        Say(PortGoneMessage(device_, device_behind_));
        const End waited = AwaitAdapter(keys);
        if (waited != End::kNone) {
            // The port stays gone: a quit while waiting still ends as a vanished port.
            return waited == End::kOutputClosed || waited == End::kLogFailed ? Finish(waited)
                                                                             : kExitPortVanished;
        }
    }
    ClosePort();
    return Finish(end);
}

std::string TermSession::ReturnedPort(const devicemap::DeviceMap& map, const std::string& lost,
                                      bool& lost_departed) const {
    const bool lost_listed =
        std::any_of(map.entries.begin(), map.entries.end(),
                    [&](const auto& entry) { return comm::DevicePathForPort(entry.port) == lost; });
    // The lost device may be listed a moment longer, until the system has taken it down: it is
    // not the adapter come back until it has gone from the map once.
    lost_departed = lost_departed || !lost_listed;
    const bool known = adapter_ && (!adapter_->serial.empty() || !adapter_->by_id.empty());
    for (const devicemap::DeviceMapEntry& entry : map.entries) {
        const std::string path = comm::DevicePathForPort(entry.port);
        if (path == lost && !lost_departed)
            continue;
        if (!known) {
            // Nothing tells this adapter from another: only its own name coming back counts.
            if (path == lost)
                return entry.port;
            continue;
        }
        const std::optional<devicemap::PortIdentity> candidate =
            devicemap::IdentifyPort(entry.port);
        if (candidate && devicemap::SameAdapter(*adapter_, *candidate))
            return entry.port;
    }
    return {};
}

bool TermSession::Reopen(const std::string& port) {
    serial::SetPortName(channel_.settings(), port);
    device_ = comm::DevicePathForPort(devicemap::PortToOpen(port));
    {
        std::lock_guard lock(mutex_);
        port_gone_ = false;
        // Bytes that were on their way when the port vanished are lost; nothing waits for them.
        written_ = acknowledged_;
    }
    device_behind_ = DeviceBehind(device_);
    if (channel_.OpenPort(this) != 1)
        return false;
    SayLineNotTaken();
    Say(std::string("porvane-cli: the ") +
        (comm::IsRemotePortName(device_) ? "server" : "adapter") + " is back: " + device_ + ", " +
        DescribeLine(LineInUse()));
    return true;
}

namespace {

// The flow control option's word for a line state.
const char* FlowName(const comm::Dcb& d) {
    return d.fOutxCtsFlow || d.fRtsControl == comm::RTS_CONTROL_HANDSHAKE ? "rts"
           : d.fOutX                                                      ? "xon"
                                                                          : "none";
}

// "9600 8N1, flow none".
std::string DescribeLineAndFlow(const comm::Dcb& dcb) {
    return DescribeLine(dcb) + ", flow " + FlowName(dcb);
}

}  // namespace

comm::Dcb TermSession::LineInUse() {
    comm::Dcb taken;
    return channel_.GetLineState(taken) ? taken : channel_.settings().dcb;
}

bool TermSession::SayLineNotTaken() {
    comm::Dcb taken;
    if (!channel_.GetLineState(taken))
        return false;
    const comm::Dcb& asked = channel_.settings().dcb;
    static const char* const kParities[] = {"no", "odd", "even", "mark", "space"};
    static const char* const kStops[] = {"1", "1.5", "2"};
    auto parity = [](uint8_t p) { return std::string(p < 5 ? kParities[p] : "?") + " parity"; };
    auto stop = [](uint8_t s) { return std::string(s < 3 ? kStops[s] : "?") + " stop bits"; };
    auto flow = [](const comm::Dcb& d) { return std::string("flow control ") + FlowName(d); };
    const struct {
        const char* option;
        std::string asked, taken;
    } settings[] = {
        {"--baud", std::to_string(asked.BaudRate) + " baud",
         std::to_string(taken.BaudRate) + " baud"},
        {"--data", std::to_string(asked.ByteSize) + " data bits",
         std::to_string(taken.ByteSize) + " data bits"},
        {"--parity", parity(asked.Parity), parity(taken.Parity)},
        {"--stop", stop(asked.StopBits), stop(taken.StopBits)},
        {"--flow", flow(asked), flow(taken)},
    };
    bool given_refused = false;
    for (const auto& setting : settings) {
        // A speed within 2 % is the one asked for: the UART's divider rounds, the line works.
        const bool near_speed =
            setting.option == std::string("--baud") &&
            std::abs(static_cast<double>(taken.BaudRate) - asked.BaudRate) <= asked.BaudRate * 0.02;
        if (setting.asked == setting.taken || near_speed)
            continue;
        Say("porvane-cli: " + device_ + ": the port took " + setting.taken + ", not " +
            setting.asked);
        given_refused = given_refused || std::find(options_.given.begin(), options_.given.end(),
                                                   setting.option) != options_.given.end();
    }
    return given_refused;
}

TermSession::End TermSession::TakeWaitingKeys(TermKeys& keys) {
    char buffer[256];
    const ssize_t n = ::read(input_fd_, buffer, sizeof buffer);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN ? End::kNone : End::kInputDone;
    if (n == 0)
        return End::kInputDone;
    for (ssize_t i = 0; i < n; ++i) {
        const TermKeys::Key key = keys.Feed(buffer[i]);
        // No port takes keys now: Ctrl-C, which would go to the port, quits instead.
        if (key.command == 'q' || key.send.find('\x03') != std::string::npos)
            return End::kQuit;
        if (key.command != 0 || !key.send.empty()) {
            Say(std::string("porvane-cli: waiting for the ") +
                (comm::IsRemotePortName(device_) ? "server" : "adapter") + "; " + escape_.name +
                " q or Ctrl-C quits");
        }
    }
    return End::kNone;
}

TermSession::End TermSession::AwaitServer(bool interactive) {
    Say(std::string("porvane-cli: waiting for the server to come back (") +
        (interactive ? escape_.name + " q or Ctrl-C quits)" : "Ctrl-C quits)"));
    TermKeys keys(enter_sends_, escape_.byte);
    for (;;) {
        quiet_opens_ = true;
        const bool back = Reopen(options_.port);
        quiet_opens_ = false;
        if (back)
            return End::kNone;
        pollfd fds[3] = {{stop_fd_, POLLIN, 0},
                         OutputClosedPollFd(output_fd_),
                         {interactive ? input_fd_ : -1, POLLIN, 0}};
        const int ready = ::poll(fds, 3, kServerRetryMs);
        if (ready < 0 && errno != EINTR)
            return End::kStopped;
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            return End::kStopped;
        if (OutputClosedIn(fds[1]))
            return End::kOutputClosed;
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (const End end = TakeWaitingKeys(keys); end != End::kNone)
                return end;
        }
    }
}

TermSession::End TermSession::AwaitAdapter(bool interactive) {
    // A port on another machine has no adapter here to wait for: its server is asked again.
    if (comm::IsRemotePortName(device_))
        return AwaitServer(interactive);
    // A port that nothing tells from another (a link to a pseudo-terminal, an adapter without
    // serial number) is back when its path is a device again: its folder is watched, and the
    // path checked each second as well, for a link whose target comes later than the link.
    const bool by_path = !adapter_ || (adapter_->serial.empty() && adapter_->by_id.empty());
    const comm::UniqueFd folder = by_path ? WatchFolderOf(device_) : comm::UniqueFd();
    std::string error;
    const std::unique_ptr<devicemap::PortWatcher> watcher = devicemap::PortWatcher::Open(&error);
    if (!watcher && !by_path) {
        Say("porvane-cli: cannot wait for the adapter: " + error);
        return End::kPortGone;
    }
    Say(std::string("porvane-cli: waiting for the adapter to come back (") +
        (interactive ? escape_.name + " q or Ctrl-C quits)" : "Ctrl-C quits)"));
    const std::string lost = device_;
    const std::string lost_port = options_.port;
    bool lost_departed = false;
    TermKeys keys(enter_sends_, escape_.byte);
    End end = End::kNone;
    while (end == End::kNone) {
        if (const std::string port =
                watcher ? ReturnedPort(watcher->Current(), lost, lost_departed) : std::string();
            !port.empty() && Reopen(port)) {
            break;
        }
        if (by_path && IsCharacterDevice(lost)) {
            // Tried again each second until it opens: quietly, the wait has been said.
            quiet_opens_ = true;
            const bool back = Reopen(lost_port);
            quiet_opens_ = false;
            if (back)
                break;
        }
        pollfd fds[5] = {{stop_fd_, POLLIN, 0},
                         {watcher ? watcher->fd() : -1, POLLIN, 0},
                         OutputClosedPollFd(output_fd_),
                         {interactive ? input_fd_ : -1, POLLIN, 0},
                         {folder.valid() ? folder.get() : -1, POLLIN, 0}};
        if (::poll(fds, 5, by_path ? kPathCheckMs : -1) < 0) {
            if (errno == EINTR)
                continue;
            end = End::kStopped;
        } else if (fds[0].revents & POLLIN) {
            end = End::kStopped;
        } else if (OutputClosedIn(fds[2])) {
            end = End::kOutputClosed;
        } else if (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) {
            end = TakeWaitingKeys(keys);
        }
        if (fds[1].revents & POLLIN)
            watcher->TakeChanges();
        if (fds[4].revents & POLLIN)
            DrainNonBlocking(folder.get());
    }
    return end;
}

int TermSession::Finish(End end) {
    switch (end) {
        case End::kPortGone:
            Say(PortGoneMessage(device_, device_behind_));
            return kExitPortVanished;
        case End::kLogFailed: {
            int error;
            {
                std::lock_guard lock(mutex_);
                error = log_error_;
            }
            Say("porvane-cli: --log: " + options_.log + ": " + std::strerror(error));
            return kExitFileNotWritten;
        }
        case End::kStalled:
            Say("porvane-cli: the port stopped sending");
            return kExitPortNotOpen;
        default:
            return kExitDone;
    }
}

TermSession::End TermSession::RunPipe() {
    // As much as a pipe holds at once: every read is one write to the port, and a network
    // port's every write one message to its server.
    char buffer[64 * 1024];
    for (;;) {
        pollfd input{input_fd_, POLLIN, 0};
        if (const End end = Wait(-1, &input); end != End::kNone)
            return end;
        if (!(input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            continue;
        const ssize_t n = ::read(input_fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // end of input
        Send(MapEnter({buffer, static_cast<size_t>(n)}, '\n', enter_sends_));
        if (written_ > MostOutstanding(device_)) {
            const End end = WaitForTransmit(written_ - MostOutstanding(device_),
                                            DrainMs(MostOutstanding(device_), options_.baud));
            if (end != End::kNone)
                return end;
        }
    }
    if (const End end = WaitForTransmit(written_, DrainMs(MostOutstanding(device_), options_.baud));
        end != End::kNone)
        return end;
    return WaitForQuietLine();
}

// --- interactive --------------------------------------------------------------------------

TermSession::End TermSession::TakeKey(char& c) {
    while (pending_at_ >= pending_keys_.size()) {
        pollfd input{input_fd_, POLLIN, 0};
        if (const End end = Wait(-1, &input); end != End::kNone)
            return end;
        if (!(input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            continue;
        char buffer[4096];
        const ssize_t n = ::read(input_fd_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return End::kInputDone;  // the terminal hung up
        pending_keys_.assign(buffer, static_cast<size_t>(n));
        pending_at_ = 0;
    }
    c = pending_keys_[pending_at_++];
    return End::kNone;
}

TermSession::End TermSession::RunInteractive() {
    if (!greeted_) {
        Say("porvane-cli: " + device_ + ", " + DescribeLine(LineInUse()) + ": " + escape_.name +
            " q quits, " + escape_.name + " h lists the commands");
        greeted_ = true;
    }
    TermKeys keys(enter_sends_, escape_.byte);
    End end = End::kNone;
    while (end == End::kNone) {
        char c;
        end = TakeKey(c);
        // What was typed in one go goes out in one write, up to a command.
        std::string typed;
        while (end == End::kNone) {
            const TermKeys::Key key = keys.Feed(c);
            typed += key.send;
            if (key.command != 0) {
                Send(typed);
                typed.clear();
                end = RunCommand(key.command);
            }
            if (end != End::kNone || pending_at_ >= pending_keys_.size())
                break;
            c = pending_keys_[pending_at_++];
        }
        Send(typed);
    }
    return end;
}

TermSession::End TermSession::RunCommand(char letter) {
    switch (letter) {
        case 'q':
            return End::kQuit;
        case 'h':
        case '?':
            WriteMessage("\r" + TermCommandList("\r\n", escape_.name));
            return End::kNone;
        case 'b':
            return SendBreak();
        case 'd':
            ToggleLine(true);
            return End::kNone;
        case 'r':
            ToggleLine(false);
            return End::kNone;
        case 's':
            return ChangeBaud();
        case 'x':
            ToggleHex();
            return End::kNone;
        case 'f': {
            std::string path;
            bool accepted = false;
            const End end = Prompt("file to send: ", path, accepted);
            return end != End::kNone || !accepted ? end : SendFile(path);
        }
        case 'i':
            ShowSettings();
            return End::kNone;
        case 'c':
            return ChangeLine();
        case 'p':
            return PulseLine();
        case 'w':
            return SendHex();
        case 'e':
            options_.echo = !options_.echo;
            Say(std::string("porvane-cli: local echo ") + OnOff(options_.echo));
            return End::kNone;
        case 't':
            ToggleStamps();
            return End::kNone;
        case 'l':
            return ToggleLog();
        case 'n':
            ShowCounts();
            return End::kNone;
        default:
            Say("porvane-cli: " + escape_.name + " " +
                (static_cast<unsigned char>(letter) >= 0x20 ? std::string(1, letter)
                                                            : std::string("?")) +
                " is no command; " + escape_.name + " h lists them");
            return End::kNone;
    }
}

TermSession::End TermSession::Prompt(const std::string& label, std::string& answer,
                                     bool& accepted) {
    WriteMessage("\rporvane-cli: " + label);
    PromptEditor editor(escape_.byte);
    accepted = false;
    for (;;) {
        char c;
        if (const End end = TakeKey(c); end != End::kNone) {
            WriteMessage("\r\n");
            return end;
        }
        std::string echo;
        const PromptEditor::State state = editor.Feed(c, echo);
        WriteMessage(echo);
        if (state == PromptEditor::State::kEditing)
            continue;
        WriteMessage("\r\n");
        accepted = state == PromptEditor::State::kAccepted;
        if (!accepted)
            Say("porvane-cli: cancelled");
        answer = editor.text();
        return End::kNone;
    }
}

TermSession::End TermSession::SendBreak() {
    if (!channel_.EscapeFunction(comm::Escape::SetBreak)) {
        Say("porvane-cli: this port cannot send a break");
        return End::kNone;
    }
    const End end = Pause(kBreakMs);
    channel_.EscapeFunction(comm::Escape::ClrBreak);
    if (end == End::kNone)
        Say("porvane-cli: break sent");
    return end;
}

void TermSession::ToggleLine(bool dtr) {
    comm::Dcb& dcb = channel_.settings().dcb;
    if (!dtr && dcb.fRtsControl == comm::RTS_CONTROL_HANDSHAKE) {
        Say("porvane-cli: RTS follows the flow control (--flow rts)");
        return;
    }
    bool& on = dtr ? dtr_on_ : rts_on_;
    const comm::Escape function = dtr ? (on ? comm::Escape::ClrDtr : comm::Escape::SetDtr)
                                      : (on ? comm::Escape::ClrRts : comm::Escape::SetRts);
    const char* name = dtr ? "DTR" : "RTS";
    if (!channel_.EscapeFunction(function)) {
        Say(std::string("porvane-cli: this port has no ") + name + " line");
        return;
    }
    on = !on;
    // A later change of the line settings keeps the state chosen here.
    if (dtr)
        dcb.fDtrControl = on ? comm::DTR_CONTROL_ENABLE : comm::DTR_CONTROL_DISABLE;
    else
        dcb.fRtsControl = on ? comm::RTS_CONTROL_ENABLE : comm::RTS_CONTROL_DISABLE;
    Say(std::string("porvane-cli: ") + name + " " + OnOff(on));
}

TermSession::End TermSession::ChangeBaud() {
    std::string text;
    bool accepted = false;
    if (const End end = Prompt("baud rate: ", text, accepted); end != End::kNone || !accepted)
        return end;
    const std::string problem =
        cli_support::CheckWholeNumber(text, cli_support::kMinBaud, cli_support::kMaxBaud);
    if (!problem.empty()) {
        Say("porvane-cli: baud rate: " + problem);
        return End::kNone;
    }
    comm::Dcb& dcb = channel_.settings().dcb;
    const uint32_t previous = dcb.BaudRate;
    dcb.BaudRate = static_cast<uint32_t>(std::stoul(text));
    if (!channel_.ApplySettings(channel_.settings())) {
        Say("porvane-cli: the port refused " + std::to_string(dcb.BaudRate) + " baud");
        dcb.BaudRate = previous;
        return End::kNone;
    }
    options_.baud = dcb.BaudRate;
    NoteSpeedForDecoder(dcb.BaudRate);
    SayLineNotTaken();
    Say("porvane-cli: " + DescribeLineAndFlow(LineInUse()));
    return End::kNone;
}

void TermSession::ToggleHex() {
    bool hex;
    {
        std::lock_guard lock(mutex_);
        hex = !view_.hex();
        if (!output_failed_ && !WriteOutput(view_.SetHex(hex)))
            output_failed_ = true;
    }
    Say(std::string("porvane-cli: hex view ") + OnOff(hex));
}

TermSession::End TermSession::SendFile(const std::string& path) {
    comm::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!file.valid() || ::fstat(file.get(), &info) != 0) {
        Say("porvane-cli: " + path + ": " + std::strerror(errno));
        return End::kNone;
    }
    if (S_ISDIR(info.st_mode)) {
        Say("porvane-cli: " + path + ": " + std::strerror(EISDIR));
        return End::kNone;
    }
    Say("porvane-cli: sending " + path + " (" + std::to_string(info.st_size) + " bytes)");
    uint64_t sent = 0;
    auto next_progress = SteadyClock::now() + std::chrono::seconds(1);
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            Say("porvane-cli: " + path + ": " + std::strerror(errno) + " after " +
                std::to_string(sent) + " bytes");
            return End::kNone;
        }
        if (n == 0)
            break;
        Send(std::string(buffer, static_cast<size_t>(n)));
        sent += static_cast<uint64_t>(n);
        const uint64_t target =
            written_ > MostOutstanding(device_) ? written_ - MostOutstanding(device_) : 0;
        End end = WaitForTransmit(target, DrainMs(MostOutstanding(device_), options_.baud));
        if (end == End::kStalled) {
            Say("porvane-cli: " + path + ": the port stopped sending after " +
                std::to_string(sent) + " bytes");
            return End::kNone;
        }
        if (end != End::kNone)
            return end;
        if (SteadyClock::now() >= next_progress) {
            Say("porvane-cli: " + path + ": " + std::to_string(sent) + " of " +
                std::to_string(info.st_size) + " bytes");
            next_progress += std::chrono::seconds(1);
        }
    }
    const End end = WaitForTransmit(written_, DrainMs(MostOutstanding(device_), options_.baud));
    if (end == End::kStalled) {
        Say("porvane-cli: " + path + ": the port stopped sending");
        return End::kNone;
    }
    if (end == End::kNone)
        Say("porvane-cli: sent " + path + " (" + std::to_string(sent) + " bytes)");
    return end;
}

void TermSession::ShowSettings() {
    bool hex;
    {
        std::lock_guard lock(mutex_);
        hex = view_.hex();
    }
    Say("porvane-cli: " + device_ + " " + DescribeLineAndFlow(LineInUse()) + ", Enter sends " +
        (options_.map.empty() ? std::string("CR") : options_.map) + ", hex view " + OnOff(hex) +
        ", echo " + OnOff(options_.echo));
    uint32_t status = 0;
    uint32_t control = 0;
    if (!channel_.GetModemLines(status, control)) {
        Say("porvane-cli: modem lines: none on this port");
        return;
    }
    Say(std::string("porvane-cli: CTS ") + OnOff(status & comm::MS_CTS_ON) + ", DSR " +
        OnOff(status & comm::MS_DSR_ON) + ", RI " + OnOff(status & comm::MS_RING_ON) + ", DCD " +
        OnOff(status & comm::MS_RLSD_ON) + "; DTR " + OnOff(control & comm::kModemControlDtr) +
        ", RTS " + OnOff(control & comm::kModemControlRts));
}

TermSession::End TermSession::ChangeLine() {
    std::string text;
    bool accepted = false;
    if (const End end = Prompt("line (e.g. 115200 7E1 rts): ", text, accepted);
        end != End::kNone || !accepted)
        return end;
    TermOptions changed = options_;
    serial::LineSettings settings = channel_.settings();
    std::string error;
    if (!ApplyLineWords(text, changed, error) || !BuildTermSettings(changed, settings, error)) {
        Say("porvane-cli: line: " + error);
        return End::kNone;
    }
    // DTR and RTS stay as this session set them, unless the flow control now drives RTS.
    settings.dcb.fDtrControl = dtr_on_ ? comm::DTR_CONTROL_ENABLE : comm::DTR_CONTROL_DISABLE;
    if (settings.dcb.fRtsControl != comm::RTS_CONTROL_HANDSHAKE)
        settings.dcb.fRtsControl = rts_on_ ? comm::RTS_CONTROL_ENABLE : comm::RTS_CONTROL_DISABLE;
    if (!channel_.ApplySettings(settings)) {
        Say("porvane-cli: the port refused " + DescribeLine(settings.dcb));
        return End::kNone;
    }
    channel_.settings() = settings;
    // Field by field: the event thread reads other options meanwhile.
    options_.baud = changed.baud;
    NoteSpeedForDecoder(changed.baud);
    options_.data_bits = changed.data_bits;
    options_.parity = changed.parity;
    options_.stop = changed.stop;
    options_.flow = changed.flow;
    SayLineNotTaken();
    Say("porvane-cli: " + DescribeLineAndFlow(LineInUse()));
    return End::kNone;
}

TermSession::End TermSession::PulseLine() {
    std::string text;
    bool accepted = false;
    if (const End end = Prompt("pulse dtr or rts (dtr): ", text, accepted);
        end != End::kNone || !accepted)
        return end;
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text != "" && text != "dtr" && text != "rts") {
        Say("porvane-cli: pulse: dtr or rts, not " + text);
        return End::kNone;
    }
    const bool dtr = text != "rts";
    const char* name = dtr ? "DTR" : "RTS";
    if (!dtr && channel_.settings().dcb.fRtsControl == comm::RTS_CONTROL_HANDSHAKE) {
        Say("porvane-cli: RTS follows the flow control (--flow rts)");
        return End::kNone;
    }
    const bool on = dtr ? dtr_on_ : rts_on_;
    // The line goes to its other state for the pulse and back.
    const comm::Escape away = dtr ? (on ? comm::Escape::ClrDtr : comm::Escape::SetDtr)
                                  : (on ? comm::Escape::ClrRts : comm::Escape::SetRts);
    const comm::Escape back = dtr ? (on ? comm::Escape::SetDtr : comm::Escape::ClrDtr)
                                  : (on ? comm::Escape::SetRts : comm::Escape::ClrRts);
    if (!channel_.EscapeFunction(away)) {
        Say(std::string("porvane-cli: this port has no ") + name + " line");
        return End::kNone;
    }
    const End end = Pause(kPulseMs);
    channel_.EscapeFunction(back);
    if (end == End::kNone)
        Say(std::string("porvane-cli: ") + name + " pulsed " + (on ? "off" : "on") + " for " +
            std::to_string(kPulseMs) + " ms");
    return end;
}

TermSession::End TermSession::SendHex() {
    std::string text;
    bool accepted = false;
    if (const End end = Prompt("hex bytes: ", text, accepted); end != End::kNone || !accepted)
        return end;
    std::string bytes;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word.size() > 2 || !std::all_of(word.begin(), word.end(), [](char c) {
                return std::isxdigit(static_cast<unsigned char>(c)) != 0;
            })) {
            Say("porvane-cli: hex bytes: " + word + " is not a byte (00 to ff)");
            return End::kNone;
        }
        bytes += static_cast<char>(std::stoi(word, nullptr, 16));
    }
    Send(bytes);
    Say("porvane-cli: sent " + std::to_string(bytes.size()) + " bytes");
    return End::kNone;
}

void TermSession::ToggleStamps() {
    StampMode next;
    {
        std::lock_guard lock(mutex_);
        next = view_.stamp() == StampMode::kNone       ? StampMode::kAbsolute
               : view_.stamp() == StampMode::kAbsolute ? StampMode::kDelta
                                                       : StampMode::kNone;
        view_.SetStamp(next);
    }
    Say(std::string("porvane-cli: time stamps ") + (next == StampMode::kNone       ? "off"
                                                    : next == StampMode::kAbsolute ? "time of day"
                                                                                   : "delta"));
}

namespace {

// A log file name for the port and the time: "porvane-ttyUSB0-20260315-142501.log".
std::string SuggestedLogName(const std::string& device) {
    std::string port = device.substr(device.find_last_of('/') + 1);
    for (char& c : port) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            c = '_';
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", ::localtime_r(&now, &local));
    return "porvane-" + port + "-" + stamp + ".log";
}

}  // namespace

TermSession::End TermSession::ToggleLog() {
    if (!log_.valid()) {
        const std::string suggested = SuggestedLogName(device_);
        std::string path;
        bool accepted = false;
        if (const End end = Prompt("log to (Enter: " + suggested + "): ", path, accepted);
            end != End::kNone || !accepted)
            return end;
        if (path.empty())
            path = suggested;
        comm::UniqueFd file = OpenOutputFile(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (!file.valid()) {
            Say("porvane-cli: log " + path + ": " + std::strerror(errno));
            return End::kNone;
        }
        {
            std::lock_guard lock(mutex_);
            log_ = std::move(file);
            log_paused_ = false;
        }
        options_.log = path;
        Say("porvane-cli: log " + path + " on");
        return End::kNone;
    }
    bool paused;
    {
        std::lock_guard lock(mutex_);
        FlushReceivedRecord();
        paused = log_paused_ = !log_paused_;
    }
    Say("porvane-cli: log " + options_.log + " " + OnOff(!paused));
    return End::kNone;
}

void TermSession::ShowCounts() {
    uint64_t received;
    uint64_t gone;
    {
        std::lock_guard lock(mutex_);
        received = receive_count_;
        gone = acknowledged_;
    }
    Say("porvane-cli: sent " + std::to_string(written_) + " bytes (" + std::to_string(gone) +
        " gone out), received " + std::to_string(received) + " bytes");
}

}  // namespace porvane::cli
