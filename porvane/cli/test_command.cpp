#include "porvane/cli/test_command.h"

#include <poll.h>

#include <chrono>

#include "platform/comm/event_fd.h"
#include "platform/comm/recording_opener.h"
#include "porvane/cli/exit_status.h"
#include "porvane/cli/open_message.h"
#include "porvane/cli/output_watch.h"
#include "porvane/cli/report_file.h"
#include "porvane/serial/page_notify.h"
#include "porvane/serial/serial_channel.h"
#include "porvane/tester/line_test.h"
#include "porvane/tester/pattern_step.h"
#include "porvane/tester/test_session.h"

namespace porvane::cli {
namespace {

// The channel's page: of the notifications only the port's vanishing matters, which makes
// gone_fd readable (from the event thread); messages go to standard error, an open failure with
// its port and reason.
class CommandLinePage : public serial::PageWindow {
  public:
    CommandLinePage(std::FILE* err, const comm::RecordingOpener& opener)
        : err_(err), opener_(opener), gone_(comm::MakeEventFd()) {}
    intptr_t PageNotify(uint32_t code, void*) override {
        if (code == serial::PN_PORT_GONE)
            comm::SignalEventFd(gone_.get());
        return 0;
    }
    void ShowMessage(const std::string& text) override {
        std::fprintf(err_, "%s\n", OpenFailureMessage(text, opener_).c_str());
    }
    int gone_fd() const { return gone_.get(); }

  private:
    std::FILE* err_;
    const comm::RecordingOpener& opener_;
    comm::UniqueFd gone_;
};

// Why the seconds stopped before their number was reached.
enum class Interruption { kNone, kStopped, kOutputClosed, kPortGone };

// Waits until `until` for a stop signal, the port's vanishing or the output's reader going away.
Interruption WaitForTick(std::chrono::steady_clock::time_point until, int stop_fd, int gone_fd,
                         int output_fd) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return Interruption::kNone;
        pollfd fds[3] = {{stop_fd, POLLIN, 0}, {gone_fd, POLLIN, 0}, OutputClosedPollFd(output_fd)};
        if (::poll(fds, 3, static_cast<int>(left)) <= 0)
            continue;
        if (fds[1].revents & POLLIN)
            return Interruption::kPortGone;
        if (fds[0].revents & POLLIN)
            return Interruption::kStopped;
        if (OutputClosedIn(fds[2]))
            return Interruption::kOutputClosed;
    }
}

bool ParsePattern(const std::string& text, uint32_t& kind, uint32_t& user_pattern) {
    if (text == "2^15-1") {
        kind = tester::kPrbs15;
    } else if (text == "2^11-1") {
        kind = tester::kPrbs11;
    } else if (text == "2^9-1") {
        kind = tester::kPrbs9;
    } else if (!text.empty() && text.size() <= 16 &&
               text.find_first_not_of("01") == std::string::npos) {
        kind = tester::kUserPattern;
        user_pattern = tester::ReadUserPattern(text, nullptr);
    } else {
        return false;
    }
    return true;
}

bool ParseInsert(const std::string& text, uint32_t& mode) {
    if (text == "none")
        mode = tester::kInsertNone;
    else if (text == "1/10000")
        mode = tester::kInsert1In10000;
    else if (text == "1/1000")
        mode = tester::kInsert1In1000;
    else
        return false;
    return true;
}

}  // namespace

int RunTestCommand(const TestOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    serial::TestSettings settings;
    if (!ParsePattern(options.pattern, settings.pattern_kind, settings.user_pattern)) {
        std::fprintf(err,
                     "porvane-cli: --pattern takes 2^15-1, 2^11-1, 2^9-1 or up to 16 digits 0/1\n");
        return kExitUsage;
    }
    if (!ParseInsert(options.insert, settings.error_insert_mode)) {
        std::fprintf(err, "porvane-cli: --insert takes none, 1/10000 or 1/1000\n");
        return kExitUsage;
    }
    ReportFile report(options.report);
    if (!report.Claim(err)) {
        return kExitFileNotWritten;
    }
    comm::RecordingOpener opener;
    CommandLinePage page(err, opener);
    serial::SerialChannel channel(opener.opener());
    tester::LineTest line_test;
    channel.SetTester(&line_test);
    std::string error;
    if (!BuildTermSettings(options.line, channel.settings(), error)) {
        std::fprintf(err, "porvane-cli: %s\n", error.c_str());
        return kExitUsage;
    }
    const std::string device_path = comm::DevicePathForPort(options.line.port);
    const std::string device_behind = DeviceBehind(device_path);
    if (channel.OpenPort(&page) != 1) {
        return kExitPortNotOpen;
    }
    settings.running = 1;
    settings.bits_per_character = channel.settings().dcb.ByteSize;
    channel.HandOverTestSettings(settings);
    channel.WriteTestBlock();
    channel.ClearPortStatistics();
    tester::TestSession session(
        {.read_counters =
             [&] {
                 comm::SerialStats counters;
                 channel.GetPortStatistics(&counters);
                 return counters;
             },
         .fetch_tally =
             [&] {
                 tester::ReceiveTally tally;
                 channel.WithTester([&](serial::ChannelTester&) {
                     tally = line_test.FetchTallyAndResynchroniseOnLoss();
                 });
                 return tally;
             },
         .resynchronise =
             [&] {
                 channel.WithTester([&](serial::ChannelTester&) { line_test.Resynchronise(); });
             }},
        tester::TestSession::Counting::kFromFirstSynchronisedSecond);
    session.Start();
    std::fprintf(out, "%s\n", kTestHeader);

    using Clock = std::chrono::steady_clock;
    auto next_tick = Clock::now() + std::chrono::seconds(1);
    Interruption interruption = Interruption::kNone;
    int tick = 1;
    for (; options.seconds == 0 || tick <= options.seconds; ++tick) {
        interruption = WaitForTick(next_tick, stop_fd, page.gone_fd(), fileno(out));
        if (interruption != Interruption::kNone)
            break;
        next_tick += std::chrono::seconds(1);
        const tester::TestSecond second = session.Tick();
        const tester::ReceiveTally& tally = second.tally;
        if (!second.counted) {
            std::fprintf(out, "# %d\tnot synchronised yet: %u bits, %u bit errors, %u characters\n",
                         tick, tally.bits, tally.bit_errors, tally.characters);
            if (std::fflush(out) != 0) {
                interruption = Interruption::kOutputClosed;
                break;
            }
            continue;
        }
        const tester::TickSignals& signals = second.tick;
        std::fprintf(out, "%d\t%u\t%u\t%u\t%d\t%d\t%d\t%llu\n", tick, tally.bits, tally.bit_errors,
                     tally.characters, signals.no_signal ? 1 : 0, signals.lost_sync ? 1 : 0,
                     signals.bit_errors ? 1 : 0,
                     static_cast<unsigned long long>(session.statistics().total_bit_errors()));
        if (std::fflush(out) != 0) {
            interruption = Interruption::kOutputClosed;  // the reader went away (EPIPE)
            break;
        }
    }
    session.Finish();
    settings.running = 0;
    channel.HandOverTestSettings(settings);
    channel.ClosePort();
    // A vanished port is said after what was measured up to then has been written.
    const bool gone = interruption == Interruption::kPortGone;
    auto say_gone = [&] {
        std::fprintf(err, "%s\n", PortGoneMessage(device_path, device_behind).c_str());
        return kExitPortVanished;
    };
    if (!session.synchronised()) {
        std::fprintf(out, "# not synchronised in %d seconds: no figures\n", tick - 1);
        std::fflush(out);
        if (gone)
            return say_gone();
        // A reader that went away has seen all it wanted: no word for it, and no failure.
        if (interruption == Interruption::kOutputClosed)
            return kExitDone;
        std::fprintf(err, "porvane-cli: the line never synchronised: nothing to count%s\n",
                     options.report.empty() ? "" : ", no report written");
        return kExitNeverSynchronised;
    }
    const tester::TestStatistics& statistics = session.statistics();
    std::fprintf(out, "# seconds %u, errored seconds %u, bit errors %llu of %llu bits\n",
                 statistics.seconds(), statistics.errored_seconds(),
                 static_cast<unsigned long long>(statistics.total_bit_errors()),
                 static_cast<unsigned long long>(statistics.total_bits()));
    std::fprintf(out, "# G.821: severely errored seconds %u, unavailable seconds %u\n",
                 session.g821().severely_errored_seconds(), session.g821().unavailable_seconds());
    std::fflush(out);
    const bool written = report.Write(statistics, err);
    if (gone)
        return say_gone();
    return written ? kExitDone : kExitFileNotWritten;
}

}  // namespace porvane::cli
