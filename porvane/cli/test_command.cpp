#include "porvane/cli/test_command.h"

#include <poll.h>

#include <chrono>

#include "platform/comm/recording_opener.h"
#include "porvane/cli/open_message.h"
#include "porvane/cli/report_file.h"
#include "porvane/serial/serial_channel.h"
#include "porvane/tester/line_test.h"
#include "porvane/tester/pattern_step.h"
#include "porvane/tester/test_session.h"

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
        return 2;
    }
    if (!ParseInsert(options.insert, settings.error_insert_mode)) {
        std::fprintf(err, "porvane-cli: --insert takes none, 1/10000 or 1/1000\n");
        return 2;
    }
    ReportFile report(options.report);
    if (!report.Claim(err)) {
        return 4;
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
        const tester::TestSecond second = session.Tick();
        const tester::ReceiveTally& tally = second.tally;
        if (!second.counted) {
            std::fprintf(out, "# %d\tnot synchronised yet: %u bits, %u bit errors, %u characters\n",
                         tick, tally.bits, tally.bit_errors, tally.characters);
            std::fflush(out);
            continue;
        }
        const tester::TickSignals& signals = second.tick;
        std::fprintf(out, "%d\t%u\t%u\t%u\t%d\t%d\t%d\t%llu\n", tick, tally.bits, tally.bit_errors,
                     tally.characters, signals.no_signal ? 1 : 0, signals.lost_sync ? 1 : 0,
                     signals.bit_errors ? 1 : 0,
                     static_cast<unsigned long long>(session.statistics().total_bit_errors()));
        std::fflush(out);
    }
    session.Finish();
    settings.running = 0;
    channel.HandOverTestSettings(settings);
    channel.ClosePort();
    if (!session.synchronised()) {
        std::fprintf(out, "# not synchronised in %d seconds: no figures\n", tick - 1);
        std::fprintf(err, "porvane-cli: the line never synchronised: nothing to count%s\n",
                     options.report.empty() ? "" : ", no report written");
        return 3;
    }
    const tester::TestStatistics& statistics = session.statistics();
    std::fprintf(out, "# seconds %u, errored seconds %u, bit errors %llu of %llu bits\n",
                 statistics.seconds(), statistics.errored_seconds(),
                 static_cast<unsigned long long>(statistics.total_bit_errors()),
                 static_cast<unsigned long long>(statistics.total_bits()));
    std::fprintf(out, "# G.821: severely errored seconds %u, unavailable seconds %u\n",
                 session.g821().severely_errored_seconds(), session.g821().unavailable_seconds());
    return report.Write(statistics, err) ? 0 : 2;
}

}  // namespace porvane::cli
