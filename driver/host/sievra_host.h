#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/sievra_driver.h"
#include "platform/kernel/io_manager.h"

namespace sievra {

// The driver host: loads the filter driver, adds one port for each port of the device map in
// map order, and serves port n's control device as the Unix socket "Sievr<n>" in the runtime
// folder (mode 0600, or 0660 with a group). One client at a time per port; a client that
// vanishes is a close; a malformed request ends that client's connection, not the host.
// Beside it, "SievrApp<n>" takes the requests of the application that uses the port (open,
// read, write, control, close), which pass through the port's filter device.
class SievraHost {
  public:
    struct Options {
        std::string runtime_dir;
        std::vector<std::string> ports;  // the device map's ports, in map order
        std::string group;               // optional group allowed on the sockets
    };

    explicit SievraHost(Options options);
    ~SievraHost();

    // Creates the devices and the sockets; false with a message when something is missing.
    bool Start(std::string& error);
    // Serves until Stop (from a signal handler thread or another thread).
    void Serve();
    void Stop();

  private:
    struct Port;
    void ServeClient(Port& port, int fd);
    void ServeApplication(Port& port, int fd);

    Options options_;
    kernel::DriverObject driver_;
    kernel::DriverObject serial_driver_;  // the ports as the host sees them (see host_serial)
    std::vector<std::unique_ptr<Port>> ports_;
    int stop_fd_[2] = {-1, -1};
    std::mutex clients_mutex_;  // guards client threads
    std::vector<std::thread> clients_;
};

}  // namespace sievra
