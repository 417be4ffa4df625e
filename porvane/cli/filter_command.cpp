#include "porvane/cli/filter_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "driver/sievra_protocol.h"
#include "platform/comm/serial_ioctl.h"
#include "platform/comm/unique_fd.h"
#include "porvane/cli/open_port_link.h"
#include "porvane/cli/record_printer.h"
#include "porvane/cli/stop_watcher.h"
#include "porvane/monitor/driver_link.h"
#include "porvane/monitor/filter_texts.h"
#include "porvane/monitor/time_rule_period.h"

namespace porvane::cli {
namespace {

// "BAUD,DATA,PARITY,STOP" into the baud and the line control bytes (StopBits, Parity,
// WordLength), as the page's four lists give them.
bool ParseForce(const std::string& text, uint32_t& baud, std::array<uint8_t, 3>& line) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (parts.size() != 4)
        return false;
    char* end = nullptr;
    const unsigned long b = std::strtoul(parts[0].c_str(), &end, 10);
    if (parts[0].empty() || *end != '\0' || b == 0 || b > 4000000)
        return false;
    baud = static_cast<uint32_t>(b);
    if (parts[1].size() != 1 || parts[1][0] < '5' || parts[1][0] > '8')
        return false;
    const uint8_t data = static_cast<uint8_t>(parts[1][0] - '0');
    static const char* const kParity[] = {"no", "odd", "even", "mark", "space"};
    int parity = -1;
    for (int i = 0; i < 5; ++i) {
        if (parts[2] == kParity[i] || (parts[2].size() == 1 && parts[2][0] == kParity[i][0]))
            parity = i;
    }
    static const char* const kStop[] = {"1", "1.5", "2"};
    int stop = -1;
    for (int i = 0; i < 3; ++i) {
        if (parts[3] == kStop[i])
            stop = i;
    }
    if (parity < 0 || stop < 0)
        return false;
    line = {static_cast<uint8_t>(stop), static_cast<uint8_t>(parity), data};
    return true;
}

}  // namespace

int RunFilterCommand(const FilterOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    static const char* const kActions[] = {"flip", "replace", "delete"};
    uint32_t action = 3;
    for (uint32_t i = 0; i < 3; ++i) {
        if (options.action == kActions[i])
            action = i;
    }
    char* end = nullptr;
    const unsigned long byte = std::strtoul(options.byte.c_str(), &end, 16);
    if (action > 2 || options.byte.empty() || *end != '\0' || byte > 0xFF) {
        std::fprintf(err,
                     "porvane-cli: --action is flip, replace or delete; --byte one byte in "
                     "hexadecimal\n");
        return 2;
    }
    const int rules = (options.send_count >= 0) + (options.recv_count >= 0) +
                      (options.send_seconds >= 0) + (options.recv_seconds >= 0);
    if (rules != 1) {
        std::fprintf(err,
                     "porvane-cli: give exactly one of --send-count, --recv-count, "
                     "--send-seconds, --recv-seconds\n");
        return 2;
    }
    uint32_t force_baud = 0;
    std::array<uint8_t, 3> force_line{};
    if (!options.force.empty() && !ParseForce(options.force, force_baud, force_line)) {
        std::fprintf(err,
                     "porvane-cli: --force takes BAUD,DATA,PARITY,STOP, for example "
                     "9600,8,no,1\n");
        return 2;
    }
    monitor::DriverLink link;
    if (const int code = OpenPortLink(options.port, sievra::kLinkModeFilter,
                                      "不能开始过滤,驱动失败!!", link, err))
        return code;
    uint32_t baud = 0;
    link.Forward(comm::IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4);
    if (baud == 0) {
        std::fprintf(err, "要过滤的串口没有打开,请先打开\n");
        return 1;
    }
    if (!options.force.empty()) {
        link.Forward(comm::IOCTL_SERIAL_SET_LINE_CONTROL, force_line.data(), 3, nullptr, 0);
        link.Forward(comm::IOCTL_SERIAL_SET_BAUD_RATE, &force_baud, 4, nullptr, 0);
    }
    const uint8_t rule_byte = static_cast<uint8_t>(byte);
    const int count = options.send_count >= 0 ? options.send_count : options.recv_count;
    const int seconds = options.send_seconds >= 0 ? options.send_seconds : options.recv_seconds;
    if (count >= 0) {
        const monitor::FilterRow row = options.send_count >= 0 ? monitor::FilterRow::kSendCount
                                                               : monitor::FilterRow::kRecvCount;
        const auto n = static_cast<uint32_t>(count);
        sievra::FilterRule rule{action, n, n, static_cast<uint8_t>(options.periodic), rule_byte, 0};
        link.LoadRule(monitor::RuleCode(row), rule);
    }
    // A time rule is armed T seconds from now, and every T seconds with --periodic, by a timer
    // of its own; a signal or the end of the link stops it.
    comm::UniqueFd timer;
    comm::UniqueFd timer_wake_read, timer_wake_write;
    std::thread armer;
    if (seconds >= 0) {
        timer = comm::UniqueFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
        int wake[2];
        if (timer.get() < 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
            std::fprintf(err, "porvane-cli: timer: %s\n", std::strerror(errno));
            return 1;
        }
        timer_wake_read = comm::UniqueFd(wake[0]);
        timer_wake_write = comm::UniqueFd(wake[1]);
        const int period_ms = monitor::TimeRulePeriodMs(seconds);
        itimerspec spec{};
        spec.it_value.tv_sec = period_ms / 1000;
        spec.it_value.tv_nsec = static_cast<long>(period_ms % 1000) * 1000000;
        if (options.periodic)
            spec.it_interval = spec.it_value;
        ::timerfd_settime(timer.get(), 0, &spec, nullptr);
        const monitor::FilterRow row = options.send_seconds >= 0 ? monitor::FilterRow::kSendTime
                                                                 : monitor::FilterRow::kRecvTime;
        armer = std::thread([&, row] {
            for (;;) {
                pollfd p[2] = {{timer.get(), POLLIN, 0}, {timer_wake_read.get(), POLLIN, 0}};
                if (::poll(p, 2, -1) < 0)
                    continue;
                if (p[1].revents != 0)
                    return;
                uint64_t ticks = 0;
                if (::read(timer.get(), &ticks, sizeof ticks) != sizeof ticks)
                    continue;
                sievra::FilterRule rule{action, 1, 0, 0, rule_byte, 0};
                link.LoadRule(monitor::RuleCode(row), rule);
                if (!options.periodic)
                    return;
            }
        });
    }
    std::fprintf(err, "porvane-cli: filtering %s\n", options.port.c_str());
    std::fflush(err);
    int code = 0;
    {
        StopWatcher watcher(
            stop_fd, [&link] { link.Close(); }, fileno(out));
        std::vector<uint8_t> buffer(4096);
        for (;;) {
            const uint32_t n = link.Read(buffer.data(), 4096);
            if (n == 0 && !link.IsOpen())
                break;
            const std::string time = monitor::FilterBatchTime();
            for (const monitor::FilterEvent& e : monitor::DecodeFilterEvents(buffer.data(), n))
                std::fprintf(out, "%s\t%s\t%s\n", e.direction.c_str(), time.c_str(),
                             e.content.c_str());
            std::fflush(out);
        }
        if (!watcher.stopped()) {
            std::fprintf(err, "porvane-cli: the filter driver's host went away\n");
            code = 1;
        }
    }
    if (armer.joinable()) {
        const char b = 1;
        [[maybe_unused]] ssize_t w = ::write(timer_wake_write.get(), &b, 1);
        armer.join();
    }
    return code;
}

}  // namespace porvane::cli
