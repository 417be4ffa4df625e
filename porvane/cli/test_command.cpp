#include "porvane/cli/test_command.h"

#include <poll.h>

#include <chrono>

#include "platform/comm/recording_opener.h"
#include "porvane/cli/open_message.h"
#include "porvane/cli/report_file.h"
#include "porvane/serial/serial_channel.h"
#include "porvane/tester/line_test.h"
#include "porvane/tester/pattern_step.h"
#include "porvane/tester/test_statistics.h"

namespace porvane::cli {
namespace {

// The channel's page: the tester needs no notification; messages go to standard error, an
// open failure with its port and reason.
class CommandLinePage : public serial::PageWindow {
  public:
    CommandLinePage(std::FILE* err, const comm::RecordingOpener& opener)
        : err_(err), opener_(opener) {}
    intptr_t PageNotify(uint32_t, void*) override { return 0; }
    void ShowMessage(const std::string& text) override {
        std::fprintf(err_, "%s\n", WithOpenFailure(text, opener_).c_str());
    }

  private:
    std::FILE* err_;
    const comm::RecordingOpener& opener_;
};

// The port's counters since baseline, so that the report's hardware figures cover the same
// seconds as its performance figures.
comm::SerialStats CountersSince(const comm::SerialStats& baseline, const comm::SerialStats& now) {
    return {now.ReceivedCount - baseline.ReceivedCount,
            now.TransmittedCount - baseline.TransmittedCount,
            now.FrameErrorCount - baseline.FrameErrorCount,
            now.SerialOverrunErrorCount - baseline.SerialOverrunErrorCount,
            now.BufferOverrunErrorCount - baseline.BufferOverrunErrorCount,
            now.ParityErrorCount - baseline.ParityErrorCount};
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

void G821Counter::AddSecond(bool severely_errored) {
    if (severely_errored)
        ++severely_errored_;
    // A run of seconds against the current state; ten of them switch it, counting themselves.
    const bool against = in_unavailable_ ? !severely_errored : severely_errored;
    run_ = against ? run_ + 1 : 0;
    if (in_unavailable_)
        ++unavailable_;
    if (run_ == 10) {
        if (in_unavailable_) {
            unavailable_ -= 10;  // the ten clean seconds belong to available time
        } else {
            unavailable_ += 10;
        }
        in_unavailable_ = !in_unavailable_;
        run_ = 0;
    }
}

uint32_t G821Counter::unavailable_seconds() const {
    return unavailable_;
}

int RunTestCommand(const TestOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    serial::TestSettings settings;
    if (!ParsePattern(options.pattern, settings.pattern_kind, settings.user_pattern)) {
        std::fprintf(err,
                     "porvane-cli: --pattern takes 2^15-1, 2^11-1, 2^9-1 or up to 16 digits 0/1\n");
        return 1;
    }
    if (!ParseInsert(options.insert, settings.error_insert_mode)) {
        std::fprintf(err, "porvane-cli: --insert takes none, 1/10000 or 1/1000\n");
        return 1;
    }
    ReportFile report(options.report);
    if (!report.Claim(err)) {
        return 2;
    }
    comm::RecordingOpener opener;
    CommandLinePage page(err, opener);
    serial::SerialChannel channel(opener.opener());
    tester::LineTest line_test;
    channel.SetTester(&line_test);
    std::string error;
    if (!BuildTermSettings(options.line, channel.settings(), error)) {
        std::fprintf(err, "porvane-cli: %s\n", error.c_str());
        return 1;
    }
    if (channel.OpenPort(&page) != 1) {
        return 1;
    }
    settings.running = 1;
    settings.bits_per_character = channel.settings().dcb.ByteSize;
    channel.HandOverTestSettings(settings);
    channel.WriteTestBlock();
    tester::TestStatistics statistics;
    channel.ClearPortStatistics();
    G821Counter g821;
    uint64_t total_errors = 0;
    bool synchronised = false;
    comm::SerialStats hardware_baseline{};  // the counters when the counted seconds began
    comm::SerialStats hardware{};
    std::fprintf(out, "%s\n", kTestHeader);

    using Clock = std::chrono::steady_clock;
    auto next_tick = Clock::now() + std::chrono::seconds(1);
    bool stopped = false;
    int tick = 1;
    for (; !stopped && (options.seconds == 0 || tick <= options.seconds); ++tick) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - Clock::now())
                    .count();
            if (left <= 0)
                break;
            pollfd fd{stop_fd, POLLIN, 0};
            if (stop_fd >= 0 && ::poll(&fd, 1, static_cast<int>(left)) > 0) {
                stopped = true;
                break;
            }
            if (stop_fd < 0)
                ::poll(nullptr, 0, static_cast<int>(left));
        }
        if (stopped)
            break;
        next_tick += std::chrono::seconds(1);
        const comm::SerialStats previous_hardware = hardware;
        channel.GetPortStatistics(&hardware);
        tester::ReceiveTally tally;
        channel.WithTester(
            [&](serial::ChannelTester&) { tally = line_test.FetchTallyAndResynchroniseOnLoss(); });
        // The checker starts unsynchronised, so the seconds before its first clean one measure
        // the start, not the line: they are shown as comments and counted nowhere.
        if (!synchronised && tally.bits > 0 && !tester::LineTest::LostSynchronisation(tally)) {
            synchronised = true;
            hardware_baseline = previous_hardware;
            statistics.Start();
        }
        const tester::TickSignals signals =
            statistics.Tick(CountersSince(hardware_baseline, hardware), tally);
        if (signals.resync) {
            channel.WithTester([&](serial::ChannelTester&) { line_test.Resynchronise(); });
        }
        if (!synchronised) {
            std::fprintf(out, "# %d\tnot synchronised yet: %u bits, %u bit errors, %u characters\n",
                         tick, tally.bits, tally.bit_errors, tally.characters);
            std::fflush(out);
            continue;
        }
        total_errors += tally.bit_errors;
        g821.AddSecond(tally.bits == 0 ||
                       static_cast<double>(tally.bit_errors) / static_cast<double>(tally.bits) >=
                           1e-3);
        std::fprintf(out, "%d\t%u\t%u\t%u\t%d\t%d\t%d\t%llu\n", tick, tally.bits, tally.bit_errors,
                     tally.characters, signals.no_signal ? 1 : 0, signals.lost_sync ? 1 : 0,
                     signals.bit_errors ? 1 : 0, static_cast<unsigned long long>(total_errors));
        std::fflush(out);
    }
    // The labels trail the totals by a tick; bring them up to the last printed second.
    statistics.RefreshLabels(CountersSince(hardware_baseline, hardware));
    statistics.Stop();
    settings.running = 0;
    channel.HandOverTestSettings(settings);
    channel.ClosePort();
    if (!synchronised) {
        std::fprintf(out, "# not synchronised in %d seconds: no figures\n", tick - 1);
        std::fprintf(err, "porvane-cli: the line never synchronised: nothing to count%s\n",
                     options.report.empty() ? "" : ", no report written");
        return 3;
    }
    std::fprintf(out, "# seconds %u, errored seconds %u, bit errors %llu of %llu bits\n",
                 statistics.seconds(), statistics.errored_seconds(),
                 static_cast<unsigned long long>(statistics.total_bit_errors()),
                 static_cast<unsigned long long>(statistics.total_bits()));
    std::fprintf(out, "# G.821: severely errored seconds %u, unavailable seconds %u\n",
                 g821.severely_errored_seconds(), g821.unavailable_seconds());
    return report.Write(statistics, err) ? 0 : 2;
}

}  // namespace porvane::cli
