#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/comm/unique_fd.h"
#include "tools/vport/link_claim.h"
#include "tools/vport/port_use_watch.h"

namespace tools {

// One pseudo-terminal published under a path of the user's choice: the master end stays with
// the virtual port, the slave end is what programs open through the link. The slave is kept open
// (and raw) so that the master never sees a hang-up between the programs' opens; a watch on it
// tells whether a program holds the port. The link is removed again on destruction when it still
// points at this terminal.
class PublishedPty {
  public:
    // Throws std::runtime_error with a clear message when the terminal or the link cannot be made,
    // or when another running virtual port serves the link.
    explicit PublishedPty(const std::string& link_path);
    ~PublishedPty();
    PublishedPty(const PublishedPty&) = delete;
    PublishedPty& operator=(const PublishedPty&) = delete;

    int master() const { return master_.get(); }
    const std::string& slave_path() const { return slave_path_; }
    const std::string& link_path() const { return link_path_; }
    PortUseWatch& use() { return use_; }
    // Empties what waits in the terminal for the next program to read, and with own_output also
    // what the last program wrote that has not been taken yet. With the master in packet mode,
    // the status this flush leaves on it is taken away.
    void DiscardQueued(bool own_output);

  private:
    LinkClaim claim_;
    comm::UniqueFd master_;
    comm::UniqueFd slave_keep_;
    std::string slave_path_;
    PortUseWatch use_;
    std::string link_path_;
};

// Faults to put into the stream on demand: the next byte that passes is dropped or has its
// lowest bit flipped. Each request applies to one byte.
struct FaultRequests {
    int drops = 0;
    int corruptions = 0;
    // A non-blocking signalfd of SIGUSR1 (drop) and SIGUSR2 (corrupt), or -1. Not owned.
    int signal_fd = -1;

    // Counts the requests that have arrived as signals.
    void TakeSignals();
    // Applies pending faults to the bytes in place; returns the new length. Signals are taken
    // first: bytes that were read were written before this call, so a request made before they
    // were written is pending by now and applies to them.
    size_t Apply(uint8_t* bytes, size_t length);
};

// Moves bytes from one master to another (or back to itself for a loop-back plug), holding what
// the far side cannot take yet and reading no more until it has gone. With the destination's
// port given, bytes for a port that no program holds are dropped, as a closed UART drops what
// arrives, so the next program to open it receives nothing of an earlier session.
class Forwarder {
  public:
    Forwarder(int from, int to, PublishedPty* destination = nullptr)
        : from_(from), to_(to), destination_(destination) {}
    int from() const { return from_; }
    int to() const { return to_; }
    PublishedPty* destination() const { return destination_; }
    bool HasPending() const { return head_ < pending_.size(); }

    // Reads what is there and writes what the far side takes. False when the source hung up.
    // The masters are in packet mode (RunVirtualPorts).
    bool Pump(FaultRequests& faults);
    // Reads a status waiting on the source ahead of its data, if there is one.
    void TakeSourceStatus();
    // True once after a read returned the status "the source's program emptied its input".
    bool TakeSourceFlushedInput();
    // Writes held bytes.
    void Flush();
    void DropPending();

  private:
    // Takes in the destination's opens and closes; true when a session ended since the last look.
    bool RefreshDestination();
    bool DestinationInUse() const;
    bool DestinationFlushedInput();

    int from_;
    int to_;
    PublishedPty* destination_;
    uint64_t sessions_seen_ = 0;  // the destination's ended sessions at the last look
    bool source_flushed_input_ = false;
    std::vector<uint8_t> pending_;
    size_t head_ = 0;
};

// Blocks the signals the virtual ports act on, so that they wait for RunVirtualPorts, and ignores
// a hang-up of the terminal; call first.
void BlockVportSignals();

// Runs until SIGINT or SIGTERM: SIGUSR1 asks for a dropped byte, SIGUSR2 for a corrupted one.
// When the last program closes one of the ports, what is still on its way to that port is
// dropped (and for a loop-back plug also what that program wrote). Returns the exit code.
int RunVirtualPorts(std::vector<Forwarder> forwarders, const std::vector<PublishedPty*>& ports);

}  // namespace tools
