#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/host/runtime_folder.h"
#include "driver/sievra_driver.h"
#include "platform/comm/comm_status.h"
#include "platform/comm/unique_fd.h"
#include "platform/kernel/io_manager.h"

namespace sievra {

// The driver host: loads the filter driver, adds one port for each port of the device map in
// map order, then each port that arrives later, and serves port n's control device as the Unix
// socket "Sievr<n>" in the runtime folder (mode 0600, or 0660 with a group). One client at a time
// per port; a client that vanishes is a close; a malformed request ends that client's connection,
// not the host. Beside it, "SievrApp<n>" takes the requests of the applications that use the port
// (open, read, write, control, close), which pass through the port's filter device; an application
// that vanishes is a clean-up and close. "SievrMap" lists the ports' device numbers; each
// application connection is handed the port's sealed watch page, which tells the attachment
// whether anyone watches port n. "SievrHome" takes the link a program that may change its user
// keeps for connections it makes later (see link_protocol.h). "SievrUnlisted" takes the
// attachment's word (a datagram holding the device's path) that a program opened a terminal device
// the map does not list.
//
// A port keeps its number while the host runs: one that departs stays numbered (its sockets stay,
// "SievrMap" leaves it out), and when the same adapter comes back (devicemap::IsReturningPort) it
// is that port again, under its old number; any other port gets the next number.
//
// Nobody gets more through the host than the port's device gives them: a client of either
// socket is served port n only when its user could open port n's device for reading and
// writing (root and the host's own user always), and an application's open is taken only with
// a descriptor of port n's device itself.
//
// Threads: Serve's thread accepts; every connection is a session thread, and a control session
// has one more thread for its reads. Finished sessions are joined as new ones arrive, at most
// kMaxSessions run at once, and Stop ends them all (their sockets are shut down).
class SievraHost {
  public:
    struct Options {
        std::string runtime_dir;
        std::vector<std::string> ports;  // the device map's ports, in map order
        std::string group;               // optional group allowed on the sockets
        // Told once per device when a program opens a terminal device that is none of the
        // ports (its process id, command name and the device's path): why its records stay empty.
        std::function<void(pid_t pid, const std::string& command, const std::string& device)>
            unlisted_open;
        // A descriptor that becomes readable when ports may have come or gone (-1: none), and
        // what to do then, on Serve's thread (call PortArrived and PortDeparted).
        int changes_fd = -1;
        std::function<void(SievraHost& host)> on_changes;
        // Every open on record is preceded by the process that made it (a watched tree of
        // processes shares its ports), not only a tracer's.
        bool name_openers = false;
        // Every request on record is preceded by the time it reached the host.
        bool time_records = false;
        // Connections from this process only (0: anyone allowed): a watch's host on the
        // system-call path, where watch makes every request, so the program it watches (which
        // runs as the same user) cannot put records of its own on the port's stream.
        pid_t only_client = 0;
        // Told when a process is about to run a program whose user cannot read the attachment
        // (its process id, command name and user): why that program's records stay empty.
        std::function<void(pid_t pid, const std::string& command, uid_t user)> unfollowed;
    };
    // What became of a port that arrived or departed, with its number (0 when none).
    struct PortEvent {
        enum Kind { kAdded, kReturned, kAlreadyThere, kDeparted, kUnknown, kFailed };
        uint32_t number = 0;
        Kind kind = kUnknown;
        std::string error;  // with kFailed
    };
    static constexpr size_t kMaxSessions = 256;
    static constexpr size_t kTrustedReserve = 64;      // kept for root and the host's own user
    static constexpr size_t kMaxSessionsPerUser = 32;  // for any other user

    explicit SievraHost(Options options);
    ~SievraHost();

    // Creates the devices, the sockets and the files beside them; the failed operation and its
    // error code when something is missing.
    comm::CommStatus Start();
    // Serves until Stop (from a signal handler thread or another thread).
    void Serve();
    // Ends Serve and every session; safe from any thread, more than once.
    void Stop();
    // Sessions running now (for tests of the thread model).
    size_t SessionCount();

    // A port of the map appeared (by its map name): the same adapter as a departed port takes
    // that port's number again, any other port the next number. Serve's thread only (or before
    // Serve), after Start.
    PortEvent PortArrived(const std::string& name);
    // A port of the map went away; it keeps its number. Serve's thread only, after Start.
    PortEvent PortDeparted(const std::string& name);

  private:
    struct Port;
    struct Session {
        std::thread thread;
        int fd = -1;
        uid_t uid = static_cast<uid_t>(-1);  // the peer's user
        std::atomic<bool> done{false};
    };
    // False when the session was refused (stopping, or too many): fd is closed then.
    bool StartSession(int fd, void (SievraHost::*serve)(Port&, int), Port& port);
    void ReapSessionsLocked();
    void ServeClient(Port& port, int fd);
    void ServeApplication(Port& port, int fd);
    // type: SOCK_STREAM for the control socket, SOCK_SEQPACKET for the application socket.
    comm::CommStatus Listen(const std::string& name, int type, gid_t group, int& fd);
    // Accepts a connection on listen_fd: fd is the connection when its peer may use port, else
    // -1 (it was turned away; a control client hears why first). False when none was waiting.
    bool AcceptAllowed(int listen_fd, Port& port, bool control, int& fd);
    // Numbers and serves one more port.
    comm::CommStatus AddPort(const std::string& name);
    // Writes "SievrMap" afresh: the ports there now.
    comm::CommStatus PublishMap();
    static std::string DevicePathOf(const std::string& name);
    // Takes the waiting connections of "SievrHome": kept only from root and the host's own user.
    void AcceptHomeLinks();
    // Takes one request off a home link; false when the link is gone (it is closed then). While
    // stopping, notices are still told but no connection is started.
    bool ServeHomeRequest(int fd, bool stopping = false);
    // Takes up to limit waiting notices of unlisted opens and tells the new ones.
    void TakeUnlistedNotices(size_t limit);

    Options options_;
    RuntimeFolder folder_;
    kernel::DriverObject driver_;
    kernel::DriverObject serial_driver_;    // the ports as the host sees them (HostSerialPort)
    gid_t group_ = static_cast<gid_t>(-1);  // of the sockets
    // Added to on Serve's thread only (which reads it unlocked); guards it for other threads.
    std::mutex ports_mutex_;
    std::vector<std::unique_ptr<Port>> ports_;
    comm::UniqueFd unlisted_fd_;     // the "SievrUnlisted" datagram socket
    comm::UniqueFd home_listen_fd_;  // "SievrHome"
    // The programs' home links (Serve's thread only), at most kMaxHomeLinks.
    std::vector<comm::UniqueFd> home_links_;
    static constexpr size_t kMaxHomeLinks = 1024;
    // Devices told already, by the sending user (Serve's thread only).
    std::map<uid_t, std::set<std::string>> unlisted_told_;
    size_t unfollowed_told_ = 0;  // kHomeUnfollowed notices told (Serve's thread only)
    int stop_fd_[2] = {-1, -1};
    std::atomic<uint64_t> next_owner_{1};  // numbers the application connections
    std::mutex sessions_mutex_;            // guards sessions_ and stopping_
    std::list<std::unique_ptr<Session>> sessions_;
    bool stopping_ = false;
};

}  // namespace sievra
