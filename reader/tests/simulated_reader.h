#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/comm/testing/pty_pair.h"
#include "platform/comm/unique_fd.h"
#include "reader/sim/reader_simulator.h"

namespace reader::testing {

// A simulated reader serving on a fresh pseudo-terminal in a thread of the test.
class SimulatedReader {
  public:
    explicit SimulatedReader(sim::SimulatorFaults faults = {});
    ~SimulatedReader();

    const std::string& path() const { return pty_.slave_path(); }
    int master() const { return pty_.master(); }
    sim::ReaderSimulator& simulator() { return simulator_; }
    std::vector<uint8_t> LastRequest() const;

  private:
    comm::testing::PtyPair pty_;
    sim::ReaderSimulator simulator_;
    comm::UniqueFd stop_read_;
    comm::UniqueFd stop_write_;
    std::thread thread_;
};

}  // namespace reader::testing
