// Arbitrary bytes sent to the driver host's sockets, as any local user who may use a port could
// send them: on the control socket (the workbench's side) or on the application socket (the
// attachment's side, with or without the port's descriptor passed along). The host must answer
// or end the connection and go on serving, never crash, leak or hang; a session that does not
// end once its client has stopped sending is a hang.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "driver/host/sievra_host.h"
#include "driver/link/link_protocol.h"
#include "driver/link/link_socket.h"

namespace {

// One host for the whole run, on a pseudo-terminal, in a private folder.
struct FuzzedHost {
    int master = -1;
    int slave = -1;
    std::string dir;
    std::unique_ptr<sievra::SievraHost> host;
    std::thread server;

    FuzzedHost() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master);
        ::unlockpt(master);
        const std::string slave_path = ::ptsname(master);
        slave = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char folder[] = "/tmp/sievra-fuzz-XXXXXX";
        dir = ::mkdtemp(folder);
        host = std::make_unique<sievra::SievraHost>(
            sievra::SievraHost::Options{dir, {slave_path}, {}});
        if (!host->Start())
            std::abort();
        server = std::thread([this] { host->Serve(); });
    }
    ~FuzzedHost() {
        host->Stop();
        server.join();
        host.reset();
        ::close(slave);
        ::close(master);
        ::rmdir(dir.c_str());
    }
};

FuzzedHost& Host() {
    static FuzzedHost host;  // one for the whole run
    return host;
}

// Sends bytes, the port's descriptor riding with the first when pass is set.
void SendBytes(int fd, const uint8_t* data, size_t size, int pass) {
    while (size > 0) {
        iovec part{const_cast<uint8_t*>(data), size};
        msghdr msg{};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        sievra::link::DescriptorRoom room;
        sievra::link::PassDescriptor(msg, room, pass);
        pass = -1;
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n <= 0)
            return;  // the host ended the connection: what it has read is what counts
        data += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    FuzzedHost& fuzzed = Host();
    const bool control = (data[0] & 1) != 0;
    const bool pass = (data[0] & 2) != 0;
    const int fd = sievra::link::ConnectTo(fuzzed.dir + (control ? "/Sievr1" : "/SievrApp1"),
                                           control ? SOCK_STREAM : SOCK_SEQPACKET);
    if (fd < 0)
        std::abort();
    // The replies are drained while sending, so a long input never stalls on a full socket.
    std::thread drain([fd] {
        char sink[4096];
        pollfd p{fd, POLLIN, 0};
        for (;;) {
            if (::poll(&p, 1, 20000) <= 0)
                __builtin_trap();  // the host neither answered nor ended the session
            const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_CMSG_CLOEXEC);
            if (n <= 0)
                return;
        }
    });
    SendBytes(fd, data + 1, size - 1, pass ? fuzzed.slave : -1);
    ::shutdown(fd, SHUT_WR);
    drain.join();
    ::close(fd);
    return 0;
}
