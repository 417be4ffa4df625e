#pragma once

// The attachment's side of the host's application socket. Every call is async-signal-safe: no
// allocation, no locks a signal could deadlock on, only system calls. A host that fails, closes
// or does not answer in time turns the open into pass-through (its socket is closed).
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>

#include "driver/link/open_port.h"

namespace sievra::link {

struct HostLinkConfig {
    char runtime_dir[108] = {};
    int reply_timeout_ms = 20;  // SIEVRA_REPLY_MS
    // The home link (see OpenHomeLink), or -1; the inode tells it is still the number's.
    std::atomic<int> home_link{-1};
    ino_t home_inode = 0;
    // The attachment's own file, which a new program of this process must be able to read.
    char library[4096] = {};
};
HostLinkConfig& LinkConfig();

// Connects the host's "SievrHome" when this process may change its user (root, or holding the
// right to change user or group), while it may still reach the runtime folder: a port it opens
// after giving up those rights is connected through it. Returns the link, or -1.
int OpenHomeLink();

// Takes socket, which the previous image kept across exec, as the home link when it is a
// connection to this folder's "SievrHome" served by a host this program may trust.
bool AdoptHomeLink(int socket);

// Tells the host, through the home link, when the program about to be run cannot load the
// attachment because the process's user (changed since it started) may not read it. Called
// before an exec; safe where exec is (a vfork child, a signal handler).
void TellHomeIfUnfollowed();

// True when fd is the home link.
bool IsHomeLink(int fd);

// Gives the home link another number (the program wants its present one): the new one, or -1.
int MoveHomeLink();

// Connects port.port's application socket and reports the open: status 0 with the program's
// descriptor passed along, or the failed open's status (then the connection is closed again).
// A tracer passes the process it speaks for as on_behalf (0: the caller itself).
void ConnectAndCreate(OpenPort& port, int descriptor, uint32_t status, pid_t on_behalf = 0);

// Takes over socket, a connection the program's previous image kept open across exec for the
// same open file as descriptor: true when the host agrees (the open keeps its session, rules and
// records); else the socket is closed.
bool Adopt(OpenPort& port, int socket, int descriptor);

// True when socket is a connection to port's application socket, served by a host this program
// may trust.
bool IsTrustedLink(int socket, uint32_t port);

// Gives the open's connection another number (the program wants its present one): the new
// number, or -1 when none could be had (the open then passes through).
int MoveSocket(OpenPort& port);

// Takes the answers a slow host still owed (the page of an open among them).
void CatchUp(OpenPort& port);

// Sends a request that wants no answer (a monitor record); the input is the parts' bytes. A
// record the host has no room for is counted, and reported when it has again.
void SendRecord(OpenPort& port, uint8_t op, uint32_t code, const iovec* parts, int count);

// Sends several records in one message (the host reads its requests as a stream), in order:
// a tracer's records of many calls cost one wake of the host. Each record's data is at most a
// record's; the message at most kMaxBatchBytes. Counted as SendRecord counts them when the host
// has no room.
struct RecordPiece {
    uint8_t op;
    const uint8_t* data;
    uint32_t length;
};
inline constexpr size_t kMaxBatchBytes = 32 * 1024;
inline constexpr int kMaxBatchRecords = 256;
void SendRecords(OpenPort& port, const RecordPiece* records, int count);

// Returns once the host has put every record sent so far on record (or at deadline_ms, from
// SettleDeadline): before a fork, an exec or another process's records, which must come after
// them. With wake_host false the host is only waited for, never written to: a vfork child's
// descriptors are its own, and the host looks at the ring on its tick while records come.
void SettleRecords(OpenPort& port, long deadline_ms, bool wake_host = true);
// The end of the waits of one such point: the reply time from now. Every open settled there
// shares it, so that a stalled host holds the program back the reply time in all, not once for
// each open.
long SettleDeadline();

// Sends a request whose input is the parts' bytes (at most 8 parts) and waits for its answer,
// whose data (at most output_length bytes) goes to output. Returns the data length; kBadInput
// when the input could not be read; kPassThrough when the host did not answer in time (the call
// is counted and reported later, the session stays) or is gone.
inline constexpr int kPassThrough = -1;
inline constexpr int kBadInput = -2;
int Exchange(OpenPort& port, uint8_t op, const iovec* input, int input_count, void* output,
             uint32_t output_length);

// A filtered transfer of n bytes (send: a write, else a read) that the rules, as the watch page
// shows them with this side's notes the host has not taken yet, would not act on: true, and the
// bytes are counted as passed; false when the host must be asked.
bool ReservePassage(OpenPort& port, bool send, uint32_t n);
// Tells the host (in the ring) that went bytes of a transfer reserved for reserved went
// unchanged, so that it counts them against the rules.
void NotePassage(OpenPort& port, bool send, uint32_t reserved, uint32_t went);

// Ends the open: a close request, then the socket goes.
void CloseLink(OpenPort& port);

// Unmaps the watch page and the record ring of an open that is done with its link.
void ReleaseMappings(OpenPort& port);

}  // namespace sievra::link
