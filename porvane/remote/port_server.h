#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/dcb.h"
#include "platform/comm/unique_fd.h"

namespace comm {
class SerialDevice;
}

namespace remote {

class PortSession;

// What a port server tells its owner; called on the server's threads, one call at a time.
class ServerObserver {
  public:
    virtual ~ServerObserver() = default;
    virtual void ClientArrived(const std::string& peer) = 0;
    virtual void ClientLeft(const std::string& peer, const std::string& reason) = 0;
    // A client that came while another was served: it was told so and closed.
    virtual void ClientTurnedAway(const std::string& peer, const std::string& served) = 0;
};

// Serves one open port to one network client at a time (Telnet Com Port Control). The port is
// held for the server's whole life, as an open port is: a second client is told that the port is
// busy and closed, and the next one is served once a session has ended however it ended. Two
// threads of its own: the acceptor (new connections, ended sessions) and the port reader (data
// and line changes for the session; between sessions what arrives is dropped, as nobody opened
// the port to read it).
class PortServer {
  public:
    struct Config {
        std::string port_name;  // for the busy message
        std::string signature;  // the answer to SIGNATURE
        // How long the data of a client that closed may still take to leave for the port, at
        // most, as a local close waits for its output (the serial core's default closing
        // wait); what is left then is dropped, so that a slow or held line frees the port.
        uint32_t closing_wait_ms = 30000;
        // How long the port may take none of a client's data (flow control holding the line)
        // before the session ends with that data dropped; 0: no limit. A client that left
        // while its data was stuck cannot be seen to have gone (its close waits behind that
        // data), so this frees the port for the next one.
        uint32_t stall_ms = 60000;
    };

    // listeners: listening sockets. The observer must outlive the server.
    PortServer(std::unique_ptr<comm::SerialDevice> device, std::vector<comm::UniqueFd> listeners,
               Config config, ServerObserver& observer);
    ~PortServer();
    PortServer(const PortServer&) = delete;
    PortServer& operator=(const PortServer&) = delete;

    // Prepares the port (reads return at once, writes end in a while, events for data and modem
    // lines) and starts the threads; false with the failure in error.
    bool Start(std::string& error);
    // Ends the session in progress and the threads; the port stays open until destruction.
    void Stop();

    // Readable once the port has vanished; the server then serves no more.
    int vanished_fd() const { return vanished_.get(); }
    bool port_vanished() const { return port_vanished_; }

  private:
    void RunAcceptor();
    // Takes a connection; false when the system is short of descriptors or memory.
    bool Accept(int listener);
    // Ends and reports the session in progress when it has ended (or with force, for the reason).
    void Reap(bool force, const std::string& reason);
    // Puts the port's flow control back as the server found it, and lets output held by an
    // XOFF go on, so that the next client does not inherit what the last one set or caused.
    void ResetFlowControl();
    void RunPortReader();
    // Hands what the port received to the session, or drops it between sessions; false when the
    // port failed.
    bool TakeReceived(const std::shared_ptr<PortSession>& session);
    // Reports the modem lines (and line errors) to the session; false when the port failed.
    bool CheckLines(const std::shared_ptr<PortSession>& session, bool modem);
    std::shared_ptr<PortSession> CurrentSession();

    std::unique_ptr<comm::SerialDevice> device_;
    std::vector<comm::UniqueFd> listeners_;
    Config config_;
    ServerObserver& observer_;
    comm::Dcb initial_state_;  // the port's state when the server started
    comm::UniqueFd wake_;      // eventfd: wakes the acceptor
    comm::UniqueFd vanished_;  // eventfd: signalled when the port vanished
    std::atomic<bool> port_vanished_{false};
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;  // guards session_
    std::shared_ptr<PortSession> session_;

    std::thread acceptor_;
    std::thread port_reader_;
};

}  // namespace remote
