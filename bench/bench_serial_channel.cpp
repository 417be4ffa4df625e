// Throughput of received data through SerialChannel (event thread, notifications, copy into a
// sink) against a bare read() loop on the same kind of pseudo-terminal pair, in one run; then
// the same channel on a remote port: the pseudo-terminal served over RFC 2217 by the
// distribution's network serial server on the loopback interface.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/testing/ser2net_server.h"
#include "porvane/serial/page_notify.h"
#include "porvane/serial/serial_channel.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kTotal = 64u << 20;  // bytes per run
constexpr int kRounds = 15;
constexpr size_t kRemoteTotal = 16u << 20;  // bytes per remote run: the server is far slower
constexpr int kRemoteRounds = 3;
constexpr size_t kChunk = 64 * 1024;

// Writes total bytes into the master as fast as the terminal takes them.
void Feed(int master, size_t total) {
    std::vector<char> chunk(kChunk, 'x');
    size_t sent = 0;
    while (sent < total) {
        ssize_t n = ::write(master, chunk.data(), std::min(kChunk, total - sent));
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

// The page: copies every block into a sink, as a page that keeps the data would.
class SinkPage : public porvane::serial::PageWindow {
  public:
    explicit SinkPage(size_t total) : total_(total) {}
    intptr_t PageNotify(uint32_t code, void* data) override {
        if (code == porvane::serial::PN_RECV_DATA) {
            auto* block = static_cast<porvane::serial::DataBlock*>(data);
            std::memcpy(sink_, block->data, block->count);
            // Counted without a lock, as the bare loop counts: only the last block wakes the
            // waiting thread.
            received_ += block->count;
            if (received_ >= total_) {
                std::lock_guard lock(mutex_);
                done_ = true;
                all_in_.notify_all();
            }
        }
        return 0;
    }
    void ShowMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void WaitAll() {
        std::unique_lock lock(mutex_);
        all_in_.wait(lock, [this] { return done_; });
    }

  private:
    const size_t total_;
    uint8_t sink_[porvane::serial::kReceiveBufferSize];
    size_t received_ = 0;  // the event thread's alone
    std::mutex mutex_;     // guards done_
    std::condition_variable all_in_;
    bool done_ = false;
};

// The channel on the port named port_name, fed total bytes through the pair's master.
double ChannelRun(comm::testing::PtyPair& pty, const std::string& port_name, size_t total) {
    porvane::serial::SerialChannel channel;
    channel.settings() = porvane::serial::PanelDefaultLineSettings();
    porvane::serial::SetPortName(channel.settings(), port_name);
    SinkPage page(total);
    if (channel.OpenPort(&page) != 1)
        return 0;
    auto start = Clock::now();
    std::thread feeder(Feed, pty.master(), total);
    page.WaitAll();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    feeder.join();
    channel.ClosePort();
    return total / seconds;
}

double ChannelRun() {
    comm::testing::PtyPair pty;
    return ChannelRun(pty, pty.slave_path(), kTotal);
}

// The same channel on the pseudo-terminal served over the network; 0 when it cannot be served.
double RemoteChannelRun() {
    comm::testing::PtyPair pty;
    comm::testing::Ser2netServer server(pty.slave_path());
    if (!server.listening())
        return 0;
    return ChannelRun(pty, server.port_name(), kRemoteTotal);
}

double BareRun() {
    comm::testing::PtyPair pty;
    int fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
    uint8_t buffer[porvane::serial::kReceiveBufferSize];
    uint8_t sink[sizeof buffer];
    auto start = Clock::now();
    std::thread feeder(Feed, pty.master(), kTotal);
    size_t received = 0;
    while (received < kTotal) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        std::memcpy(sink, buffer, static_cast<size_t>(n));
        received += static_cast<size_t>(n);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    feeder.join();
    ::close(fd);
    return received / seconds;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Best(const std::vector<double>& values) {
    return *std::max_element(values.begin(), values.end());
}

}  // namespace

int main(int argc, char** argv) {
    // "bare" or "channel": that side alone, for a profiler.
    const std::string only = argc > 1 ? argv[1] : "";
    if (only == "bare" || only == "channel") {
        std::vector<double> rates;
        for (int round = 0; round < kRounds; ++round)
            rates.push_back(only == "bare" ? BareRun() : ChannelRun());
        std::printf("bench_serial_channel %s: median %.1f MB/s, best %.1f MB/s\n", only.c_str(),
                    Median(rates) / 1e6, Best(rates) / 1e6);
        return 0;
    }
    // One round of each unmeasured (first page faults, a cold cache), then interleaved rounds
    // that alternate which side goes first, so that both see the same machine; medians, so that
    // one disturbed round does not decide.
    BareRun();
    ChannelRun();
    std::vector<double> channel, bare, paired;
    for (int round = 0; round < kRounds; ++round) {
        if (round % 2 == 0) {
            bare.push_back(BareRun());
            channel.push_back(ChannelRun());
        } else {
            channel.push_back(ChannelRun());
            bare.push_back(BareRun());
        }
        paired.push_back(channel.back() / bare.back());
    }
    std::printf("bench_serial_channel: %zu MiB per run, %d interleaved rounds after a warm-up\n",
                kTotal >> 20, kRounds);
    std::printf("                   median MB/s   best MB/s\n");
    std::printf("  SerialChannel    %11.1f %11.1f\n", Median(channel) / 1e6, Best(channel) / 1e6);
    std::printf("  bare read() loop %11.1f %11.1f\n", Median(bare) / 1e6, Best(bare) / 1e6);
    std::printf("  ratio            %11.2f %11.2f (target >= 0.95)\n",
                Median(channel) / Median(bare), Best(channel) / Best(bare));
    // Each round's two runs are next to each other in time: their ratio cancels the load that
    // other programs put on the machine over the whole run.
    std::printf("  ratio of each round's pair: median %.2f\n", Median(paired));
    if (!comm::testing::Ser2netServer::Available()) {
        std::printf("  remote port: skipped, ser2net is not installed\n");
        return 0;
    }
    std::vector<double> remote;
    for (int round = 0; round < kRemoteRounds; ++round)
        remote.push_back(RemoteChannelRun());
    std::printf(
        "  SerialChannel on rfc2217:// through ser2net on loopback (%zu MiB per run, median "
        "of %d)\n                   %8.1f MB/s\n",
        kRemoteTotal >> 20, kRemoteRounds, Median(remote) / 1e6);
    return 0;
}
