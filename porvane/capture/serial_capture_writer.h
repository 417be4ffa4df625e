#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/comm/unique_fd.h"
#include "porvane/capture/pcapng_writer.h"
#include "porvane/capture/serial_call.h"

namespace porvane::capture {

// Writes the calls of one or more ports' programs to a pcapng capture: an interface per port
// (named by the port's device, described by the program its first call came from), a packet per
// call with its direction in the flags, the process as the first comment and, for calls other
// than reads and writes, what the call was in words as a second comment. Not thread-safe: its
// caller serialises the ports.
class SerialCaptureWriter {
  public:
    // Writes the section header to fd at once (Flush tells whether the file takes it).
    SerialCaptureWriter(comm::UniqueFd fd, const std::string& application);

    // Adds call; words, when not empty, says what the call was.
    void Add(const SerialCall& call, const std::string& words);
    // Writes what was added since the last flush; false once a write failed.
    bool Flush() { return writer_.Flush(); }
    // The errno of the write that failed, 0 while none did.
    int error() const { return writer_.error(); }

  private:
    PcapngWriter writer_;
    std::vector<std::string> ports_;  // by interface number
};

}  // namespace porvane::capture
