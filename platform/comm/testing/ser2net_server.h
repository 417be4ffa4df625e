#pragma once

#include <memory>
#include <string>

#include "platform/comm/testing/child_process.h"

namespace comm::testing {

// The network serial server of the distribution (ser2net) serving one device over RFC 2217 on
// a free loopback port, with its own configuration: the far end of remote ports in tests and the
// bench. Stopped with the object.
class Ser2netServer {
  public:
    static bool Available();  // false where ser2net is not installed

    // Serves device (a terminal path or a link to one) at 115200 8N1 without modem lines.
    explicit Ser2netServer(const std::string& device);
    // Whether it listens (waited for when it started); the port name clients open.
    bool listening() const { return listening_; }
    const std::string& port_name() const { return port_name_; }
    // Ends the server at once, as a machine that goes away does.
    void Kill();

  private:
    TempDir dir_;
    std::string port_name_;
    std::unique_ptr<ChildProcess> process_;
    bool listening_ = false;
};

}  // namespace comm::testing
