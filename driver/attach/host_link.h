#pragma once

// The attachment's side of the host's application socket. Every call is async-signal-safe: no
// allocation, no locks a signal could deadlock on, only system calls. A host that fails, closes
// or does not answer in time turns the open into pass-through (its socket is closed).
#include <sys/uio.h>

#include <cstdint>

#include "driver/attach/open_port.h"

namespace sievra::attach {

struct HostLinkConfig {
    char runtime_dir[108] = {};
    int reply_timeout_ms = 20;  // SIEVRA_REPLY_MS
};
HostLinkConfig& LinkConfig();

// Connects port.port's application socket and reports the open: status 0 with the program's
// descriptor passed along, or the failed open's status (then the connection is closed again).
void ConnectAndCreate(OpenPort& port, int descriptor, uint32_t status);

// Sends a request that wants no answer (a monitor record); the input is the parts' bytes.
void SendRecord(OpenPort& port, uint8_t op, uint32_t code, const iovec* parts, int count);

// Sends a request and waits for its answer; the answer's data (at most output_length bytes) goes
// to output. Returns the data length, or -1 when the host failed (the open is pass-through now).
int Exchange(OpenPort& port, uint8_t op, const void* input, uint32_t input_length, void* output,
             uint32_t output_length);

// Ends the open: a close request, then the socket goes.
void CloseLink(OpenPort& port);

}  // namespace sievra::attach
