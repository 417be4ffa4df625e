// 50 MB pushed through a pseudo-terminal into the real terminal page (offscreen), in text mode
// and in hex mode: throughput, the longest stall of the user-interface thread (seen by a 10 ms
// timer), peak memory, and whether the page was handed every byte (count and checksum).
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/comm/testing/pty_pair.h"
#include "porvane/shell/ui/terminal_page.h"
#include "porvane/terminal/receive_text.h"
#include "porvane/terminal/ui/receive_panel.h"
#include "porvane/terminal/ui/receive_view.h"

namespace {

constexpr size_t kTotal = 50u << 20;

std::string TestData(bool hex_mode) {
    std::string data(kTotal, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < kTotal; ++i) {
        x = x * 1103515245 + 12345;
        if (hex_mode) {
            data[i] = static_cast<char>(x >> 16);
        } else {
            data[i] = (i % 80 == 79) ? '\n' : static_cast<char>(' ' + (x >> 16) % 95);
        }
    }
    return data;
}

long PeakMemoryMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

bool Run(bool hex_mode, const std::string& map_path) {
    comm::testing::PtyPair pty;
    std::ofstream(map_path) << "ttyS0=" << pty.slave_path() << "\n";
    porvane::shell::TerminalPage page;
    page.resize(1000, 700);
    page.show();
    if (hex_mode)
        page.findChild<QCheckBox*>("hexCheck")->click();
    page.findChild<QPushButton*>("openButton")->click();
    if (!page.receive_panel()->open()) {
        std::fprintf(stderr, "cannot open %s\n", pty.slave_path().c_str());
        return false;
    }
    const std::string data = TestData(hex_mode);
    const uint64_t expected = porvane::terminal::ReceiveChecksum(
        {reinterpret_cast<const uint8_t*>(data.data()), data.size()});

    QElapsedTimer since_tick;
    since_tick.start();
    qint64 longest_stall = 0;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest_stall = std::max(longest_stall, since_tick.elapsed());
        since_tick.restart();
    });
    ticker.start();

    QElapsedTimer clock;
    clock.start();
    std::thread feeder([&] { pty.WriteAll(data); });
    auto* view = page.receive_view();
    while (view->handed_count() < kTotal && clock.elapsed() < 300000) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const double seconds = clock.elapsed() / 1000.0;
    feeder.join();
    view->Flush();
    std::printf(
        "  %-4s mode: %6.1f MB/s, longest stall %4lld ms, peak memory %ld MB, "
        "bytes %llu of %zu, checksum %s\n",
        hex_mode ? "hex" : "text", kTotal / seconds / 1e6, static_cast<long long>(longest_stall),
        PeakMemoryMb(), static_cast<unsigned long long>(view->handed_count()), kTotal,
        view->handed_checksum() == expected ? "matches" : "DIFFERS");
    return view->handed_count() == kTotal && view->handed_checksum() == expected;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    char map_template[] = "/tmp/bench-terminal-map-XXXXXX";
    const int fd = mkstemp(map_template);
    close(fd);
    qputenv("PORVANE_DEVICE_MAP", map_template);
    QApplication app(argc, argv);
    std::printf("bench_terminal_page: %zu MB through a pseudo-terminal into the terminal page\n",
                kTotal >> 20);
    const bool text_ok = Run(false, map_template);
    const bool hex_ok = Run(true, map_template);
    unlink(map_template);
    std::printf("  targets: no byte lost, hex >= 5 MB/s, longest stall < 100 ms, memory bounded\n");
    return text_ok && hex_ok ? 0 : 1;
}
