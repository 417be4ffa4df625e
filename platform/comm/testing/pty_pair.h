#pragma once

#include <string>

#include "platform/comm/unique_fd.h"

namespace comm::testing {

// A fresh pseudo-terminal for tests: the master end stays here, the slave path is what a serial
// device opens. The slave is set raw and kept open so that the master never sees a hang-up
// between the test's opens.
class PtyPair {
  public:
    PtyPair();
    int master() const { return master_.get(); }
    // The slave end the pair keeps open (as a program holding the port would).
    int slave() const { return slave_keep_.get(); }
    const std::string& slave_path() const { return slave_path_; }
    void CloseMaster() { master_.Reset(); }

    // Writes everything to the master (blocking); reads exactly n bytes from it within a limit.
    void WriteAll(const std::string& bytes);
    std::string ReadExactly(size_t n, int timeout_ms = 60000);
    // Waits until the slave side holds at least n unread bytes (the kernel hands bytes written to
    // the master over to the slave's input a moment later); false on time-out.
    bool WaitSlaveQueued(size_t n, int timeout_ms = 30000);

  private:
    UniqueFd master_;
    UniqueFd slave_keep_;
    std::string slave_path_;
};

}  // namespace comm::testing
