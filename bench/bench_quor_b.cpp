// Quor_Request exchanges a second against the reader simulator on a pseudo-terminal, and the
// same exchange done by a minimal hand-written loop (no retries, no waits), in one run.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/unique_fd.h"
#include "quor_b.h"
#include "reader/frame/reader_frame.h"
#include "reader/sim/reader_simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRunTime = std::chrono::seconds(3);

// The simulator serving on the master side until destroyed.
class Reader {
  public:
    Reader() {
        int fds[2];
        if (pipe(fds) == 0) {
            stop_read_.Reset(fds[0]);
            stop_write_.Reset(fds[1]);
        }
        thread_ = std::thread([this] { simulator_.Serve(pty_.master(), stop_read_.get()); });
    }
    ~Reader() {
        char b = 1;
        [[maybe_unused]] ssize_t n = write(stop_write_.get(), &b, 1);
        thread_.join();
    }
    const std::string& path() const { return pty_.slave_path(); }

  private:
    comm::testing::PtyPair pty_;
    reader::sim::ReaderSimulator simulator_;
    comm::UniqueFd stop_read_, stop_write_;
    std::thread thread_;
};

double LibraryRate(const std::string& path) {
    setenv("COM1", path.c_str(), 1);
    if (Quor_Init(1, 115200) != 0)
        return 0;
    long done = 0;
    uint16_t type;
    auto start = Clock::now();
    while (Clock::now() - start < kRunTime) {
        if (Quor_Request(0x52, &type) == 0)
            ++done;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Quor_Exit();
    return done / seconds;
}

bool ReadExactly(int fd, uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, out + got, n - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

double MinimalRate(const std::string& path) {
    comm::UniqueFd fd(open(path.c_str(), O_RDWR | O_NOCTTY));
    const uint8_t mode[] = {0x52};
    const std::vector<uint8_t> frame = reader::BuildReaderFrame(0x41, mode);
    long done = 0;
    auto start = Clock::now();
    while (Clock::now() - start < kRunTime) {
        uint8_t b = reader::kFrameAnnounce;
        if (write(fd.get(), &b, 1) != 1 || !ReadExactly(fd.get(), &b, 1) ||
            b != reader::kFrameAcknowledge)
            break;
        if (write(fd.get(), frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
            break;
        if (!ReadExactly(fd.get(), &b, 1) || b != reader::kFrameAnnounce)
            break;
        b = reader::kFrameAcknowledge;
        if (write(fd.get(), &b, 1) != 1)
            break;
        uint8_t reply[260];
        if (!ReadExactly(fd.get(), reply, 3) || !ReadExactly(fd.get(), reply + 3, reply[2] + 2u))
            break;
        if (reader::FrameBcc(reply, reply[2] + 3u) == reply[reply[2] + 3] && reply[1] == 0)
            ++done;
    }
    return done / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
    Reader reader;
    const double library = LibraryRate(reader.path());
    const double minimal = MinimalRate(reader.path());
    std::printf("bench_quor_b: Quor_Request against the simulator, %lld s each\n",
                static_cast<long long>(kRunTime.count()));
    std::printf("  Quor_B library      %8.0f exchanges/s\n", library);
    std::printf("  minimal loop        %8.0f exchanges/s\n", minimal);
    std::printf("  ratio               %8.2f (target >= 0.50)\n",
                minimal > 0 ? library / minimal : 0);
    return 0;
}
