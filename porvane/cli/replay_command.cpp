#include "porvane/cli/replay_command.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "driver/sievra_protocol.h"
#include "platform/comm/unique_fd.h"
#include "porvane/capture/serial_capture_reader.h"

namespace porvane::cli {
namespace {

constexpr int kExitPort = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFile = 3;
constexpr int kExitDiffers = 6;
// How long --compare waits, after the last step and the last byte that came, for the rest.
constexpr auto kQuietEnd = std::chrono::seconds(5);

// The string value of "key":"..." in one of watch's JSON lines, escapes left as they are (the
// values read here never hold any); nothing when absent.
std::optional<std::string> StringField(const std::string& line, const std::string& key,
                                       bool last = false) {
    const std::string head = "\"" + key + "\":";
    const size_t at = last ? line.rfind(head) : line.find(head);
    if (at == std::string::npos)
        return std::nullopt;
    size_t start = line.find_first_not_of(' ', at + head.size());  // "key": "..." as jq writes
    if (start == std::string::npos || line[start] != '"')
        return std::nullopt;
    ++start;
    const size_t end = line.find('"', start);
    if (end == std::string::npos)
        return std::nullopt;
    return line.substr(start, end - start);
}

// "2026-12-09T15:25:00.123456Z" as microseconds since 1970.
std::optional<int64_t> ParseTime(const std::string& text) {
    struct tm utc {};
    int micro = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6dZ", &utc.tm_year, &utc.tm_mon,
                    &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &micro) != 7) {
        return std::nullopt;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const time_t seconds = timegm(&utc);
    if (seconds == static_cast<time_t>(-1))
        return std::nullopt;
    return static_cast<int64_t>(seconds) * 1000000 + micro;
}

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text) {
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const auto digit = [](char c) -> int {
            return c >= '0' && c <= '9'   ? c - '0'
                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                          : -1;
        };
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

speed_t SpeedCode(uint32_t baud) {
    static const std::pair<uint32_t, speed_t> kSpeeds[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& [rate, code] : kSpeeds) {
        if (rate == baud)
            return code;
    }
    return B0;
}

// The port opened raw at baud; invalid (with error) when it cannot be.
comm::UniqueFd OpenRaw(const std::string& path, uint32_t baud, std::string& error) {
    comm::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios modes{};
    if (!fd.valid() || ::tcgetattr(fd.get(), &modes) != 0) {
        error = path + ": " + std::strerror(errno);
        return {};
    }
    ::cfmakeraw(&modes);
    modes.c_cflag |= CLOCAL | CREAD;
    if (::cfsetspeed(&modes, SpeedCode(baud)) != 0 || ::tcsetattr(fd.get(), TCSANOW, &modes) != 0) {
        error = path + ": " + std::strerror(errno);
        return {};
    }
    return fd;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Waits until the wall clock's steady counterpart reaches `at`, or stop_fd becomes readable
// (false then).
bool WaitUntil(std::chrono::steady_clock::time_point at, int stop_fd) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            at - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        pollfd p{stop_fd, POLLIN, 0};
        const int r = ::poll(&p, stop_fd >= 0 ? 1 : 0, static_cast<int>(left.count()));
        if (r > 0)
            return false;
    }
}

}  // namespace

// The reads and writes of a pcapng capture (watch -w).
std::optional<std::vector<ReplayStep>> LoadCaptureSteps(const std::string& path,
                                                        std::string& error) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbe"),
                                                               std::fclose);
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    capture::SerialCaptureReader reader(file.get());
    std::vector<ReplayStep> steps;
    capture::SerialCall call;
    capture::SerialCaptureReader::Result result;
    while ((result = reader.Next(call)) == capture::SerialCaptureReader::Result::kCall) {
        if (call.kind == sievra::kKindRead || call.kind == sievra::kKindWrite)
            steps.push_back({static_cast<int64_t>(call.time_us), call.kind == sievra::kKindWrite,
                             call.port, call.data});
    }
    if (result == capture::SerialCaptureReader::Result::kFault) {
        error = path + ": " + reader.fault();
        return std::nullopt;
    }
    return steps;
}

std::optional<std::vector<ReplayStep>> LoadReplaySteps(const std::string& path,
                                                       std::string& error) {
    // A capture starts with its section header block, whose type reads 0x0A0D0D0A either way.
    if (std::ifstream probe(path, std::ios::binary); probe) {
        char magic[4] = {};
        if (probe.read(magic, 4) && std::memcmp(magic, "\x0A\x0D\x0D\x0A", 4) == 0)
            return LoadCaptureSteps(path, error);
    }
    std::ifstream file(path);
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<ReplayStep> steps;
    size_t number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        if (line.empty())
            continue;
        if (line.front() != '{') {
            error = path + ":" + std::to_string(number) +
                    ": not a record of watch --json (a line of text output?)";
            return std::nullopt;
        }
        const auto request = StringField(line, "request");
        if (!request || (*request != "read" && *request != "write"))
            continue;  // opens, settings, summaries: not sent
        const auto time = StringField(line, "time");
        const auto port = StringField(line, "port");
        const auto data = StringField(line, "data", true);
        const auto when = time ? ParseTime(*time) : std::nullopt;
        const auto bytes = data ? ParseHex(*data) : std::nullopt;
        if (!when || !port || !bytes) {
            // The last line of a watch that was killed may be cut: what comes before it plays.
            if (file.peek() == std::char_traits<char>::eof() && line.back() != '}')
                break;
            error = path + ":" + std::to_string(number) +
                    ": a read or write without its time, port or data";
            return std::nullopt;
        }
        steps.push_back({*when, *request == "write", *port, *bytes});
    }
    return steps;
}

int RunReplayCommand(const ReplayOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    if (options.direction != "read" && options.direction != "write") {
        std::fprintf(err, "porvane-cli: --direction takes read or write\n");
        return kExitUsage;
    }
    // A factor so small that the waits would outlast any clock is refused with the others.
    if (!(options.speed >= 0) || std::isinf(options.speed) ||
        (options.speed > 0 && options.speed < 1e-6)) {
        std::fprintf(err, "porvane-cli: --speed takes 0 (no waits) or a factor above 0\n");
        return kExitUsage;
    }
    std::string error;
    std::optional<std::vector<ReplayStep>> steps = LoadReplaySteps(options.file, error);
    if (!steps) {
        std::fprintf(err, "porvane-cli: %s\n", error.c_str());
        return kExitFile;
    }
    if (SpeedCode(options.baud) == B0) {
        std::fprintf(err,
                     "porvane-cli: -b takes 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, "
                     "230400, 460800 or 921600\n");
        return kExitUsage;
    }
    std::set<std::string> ports;
    for (const ReplayStep& step : *steps)
        ports.insert(step.port);
    std::string from = options.from;
    if (from.empty() && ports.size() == 1)
        from = *ports.begin();
    if (ports.count(from) == 0) {
        std::string names;
        for (const std::string& p : ports)
            names += (names.empty() ? "" : ", ") + p;
        std::fprintf(err, "porvane-cli: %s: %s\n", options.file.c_str(),
                     ports.empty() ? "no read or write on record"
                     : options.from.empty()
                         ? ("say which port to play with --from: " + names).c_str()
                         : (options.from + " is not on record (" + names + ")").c_str());
        return ports.empty() ? kExitFile : kExitUsage;
    }
    const bool play_written = options.direction == "write";
    struct Play {
        const ReplayStep* step;
        size_t answers;  // bytes the record says went the other way before it
        int64_t after;   // the time of the last of them (the step's own when none)
    };
    std::vector<Play> play;
    std::vector<uint8_t> expected;  // what the record says went the other way
    int64_t last_other = -1;
    for (const ReplayStep& step : *steps) {
        if (step.port != from)
            continue;
        if (step.written == play_written) {
            play.push_back({&step, expected.size(), last_other < 0 ? step.time_us : last_other});
        } else {
            expected.insert(expected.end(), step.bytes.begin(), step.bytes.end());
            last_other = step.time_us;
        }
    }
    comm::UniqueFd port = OpenRaw(options.port, options.baud, error);
    if (!port.valid()) {
        std::fprintf(err, "porvane-cli: %s\n", error.c_str());
        return kExitPort;
    }
    comm::UniqueFd compare_fd;
    int compare = -1;
    if (!options.compare.empty()) {
        if (options.compare == options.port) {
            compare = port.get();
        } else {
            compare_fd = OpenRaw(options.compare, options.baud, error);
            if (!compare_fd.valid()) {
                std::fprintf(err, "porvane-cli: %s\n", error.c_str());
                return kExitPort;
            }
            compare = compare_fd.get();
        }
    }
    // The comparing side reads on its own thread, so that a peer that answers at once is never
    // held up by the sending side's waits.
    std::mutex mutex;  // guards arrived
    std::vector<uint8_t> arrived;
    std::atomic<bool> stop_reading{false};
    std::atomic<bool> port_lost{false};
    std::thread reader;
    if (compare >= 0) {
        reader = std::thread([&] {
            uint8_t buffer[4096];
            while (!stop_reading) {
                pollfd p{compare, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::read(compare, buffer, sizeof buffer);
                if (n <= 0) {
                    port_lost = true;
                    return;
                }
                const std::lock_guard lock(mutex);
                arrived.insert(arrived.end(), buffer, buffer + n);
            }
        });
    }
    // Without --compare the steps go by the clock. With it, each waits first for what the
    // record says the far end sent before it (the program under test answers at its own pace),
    // then for as long after that as the record shows.
    auto start = std::chrono::steady_clock::now();
    int64_t first = play.empty() ? 0 : play.front().step->time_us;
    bool stopped = false;
    bool failed = false;
    size_t sent = 0;
    size_t writes = 0;
    for (const Play& next : play) {
        const ReplayStep* step = next.step;
        if (compare >= 0 && next.answers > 0) {
            auto waited_from = std::chrono::steady_clock::now();
            size_t have = 0;
            for (;;) {
                {
                    const std::lock_guard lock(mutex);
                    if (arrived.size() >= next.answers)
                        break;
                    if (arrived.size() != have) {
                        have = arrived.size();
                        waited_from = std::chrono::steady_clock::now();
                    }
                }
                if (port_lost || std::chrono::steady_clock::now() >= waited_from + kQuietEnd)
                    break;
                if (!WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(5),
                               stop_fd)) {
                    stopped = true;
                    break;
                }
            }
            if (stopped)
                break;
            start = std::chrono::steady_clock::now();
            first = next.after;
        }
        if (options.speed > 0) {
            // Clamped to a year, so that a capture's far-apart times never overflow the clock.
            const double wait_us = std::min(
                static_cast<double>(step->time_us - first) / options.speed, 365.0 * 86400e6);
            const auto offset = std::chrono::microseconds(static_cast<int64_t>(wait_us));
            if (!WaitUntil(start + offset, stop_fd)) {
                stopped = true;
                break;
            }
        }
        if (!WriteAll(port.get(), step->bytes)) {
            std::fprintf(err, "porvane-cli: %s: %s\n", options.port.c_str(), std::strerror(errno));
            failed = true;
            break;
        }
        sent += step->bytes.size();
        ++writes;
    }
    ::tcdrain(port.get());
    if (stopped) {
        stop_reading = true;
        if (reader.joinable())
            reader.join();
        std::fprintf(out, "replay: stopped after %zu bytes in %zu of %zu writes\n", sent, writes,
                     play.size());
        return 0;
    }
    int status = failed ? kExitPort : 0;
    if (compare >= 0) {
        // What the record says came back has its time to arrive: until it is all there, or
        // differs already, or nothing more came for a while after the last step.
        size_t seen = 0;
        auto last_change = std::chrono::steady_clock::now();
        for (;;) {
            {
                const std::lock_guard lock(mutex);
                const size_t n = std::min(arrived.size(), expected.size());
                if (arrived.size() >= expected.size() ||
                    !std::equal(arrived.begin(), arrived.begin() + static_cast<std::ptrdiff_t>(n),
                                expected.begin()))
                    break;
                if (arrived.size() != seen) {
                    seen = arrived.size();
                    last_change = std::chrono::steady_clock::now();
                }
            }
            if (stopped || port_lost ||
                std::chrono::steady_clock::now() >= last_change + kQuietEnd ||
                !WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20),
                           stop_fd)) {
                break;
            }
        }
        stop_reading = true;
        reader.join();
        if (port_lost) {
            std::fprintf(err, "porvane-cli: %s: the port failed or went away while compared\n",
                         options.compare.c_str());
            return kExitPort;
        }
        const size_t same = static_cast<size_t>(
            std::mismatch(expected.begin(), expected.end(), arrived.begin(),
                          arrived.begin() + static_cast<std::ptrdiff_t>(
                                                std::min(arrived.size(), expected.size())))
                .first -
            expected.begin());
        if (same == expected.size() && arrived.size() == expected.size()) {
            std::fprintf(out, "replay: %zu bytes sent; %zu bytes came back as recorded\n", sent,
                         expected.size());
        } else if (same < std::min(arrived.size(), expected.size())) {
            std::fprintf(out,
                         "replay: %zu bytes sent; byte %zu differs: 0x%02x came, the record says "
                         "0x%02x\n",
                         sent, same, arrived[same], expected[same]);
            status = kExitDiffers;
        } else {
            std::fprintf(out, "replay: %zu bytes sent; %zu bytes came back, the record says %zu\n",
                         sent, arrived.size(), expected.size());
            status = kExitDiffers;
        }
    } else {
        std::fprintf(out, "replay: %zu bytes sent in %zu writes\n", sent, writes);
    }
    return status;
}

}  // namespace porvane::cli
