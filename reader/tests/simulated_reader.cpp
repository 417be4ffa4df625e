#include "reader/tests/simulated_reader.h"

#include <fcntl.h>
#include <unistd.h>

namespace reader::testing {

SimulatedReader::SimulatedReader(sim::SimulatorFaults faults) : simulator_(faults) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        stop_read_.Reset(fds[0]);
        stop_write_.Reset(fds[1]);
    }
    thread_ = std::thread([this] { simulator_.Serve(pty_.master(), stop_read_.get()); });
}

SimulatedReader::~SimulatedReader() {
    char stop = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_write_.get(), &stop, 1);
    thread_.join();
}

std::vector<uint8_t> SimulatedReader::LastRequest() const {
    auto requests = simulator_.requests();
    return requests.empty() ? std::vector<uint8_t>{} : requests.back();
}

}  // namespace reader::testing
