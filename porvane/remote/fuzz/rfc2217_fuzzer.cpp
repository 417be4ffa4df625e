// Arbitrary bytes as each side of a Com Port Control connection receives them from a hostile
// peer:
//  - the Telnet decoder alone: fed at once or in two pieces it finds the same data, options and
//    subnegotiations, and no subnegotiation is longer than its limit;
//  - the port server's session, on a scripted port, as the client's stream: it carries out what
//    it understands, answers, and ends once the client has closed, never crashing or hanging;
//  - the network port client, as the server's answers after it agreed to Com Port Control: the
//    open, a change of line settings, a read and the modem lines end in time whatever came.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/comm_constants.h"
#include "platform/comm/rfc2217_serial_device.h"
#include "platform/comm/testing/scripted_port.h"
#include "platform/rfc2217/telnet_codec.h"
#include "porvane/remote/port_session.h"

namespace {

namespace telnet = rfc2217::telnet;

// Everything a decoder found, data runs joined, as one string to compare.
class Recorder : public rfc2217::TelnetSink {
  public:
    std::string events;

  private:
    void OnData(std::span<const uint8_t> bytes) override {
        if (!in_data_)
            events += 'D';
        in_data_ = true;
        events.append(bytes.begin(), bytes.end());
    }
    void OnNegotiation(uint8_t verb, uint8_t option) override {
        in_data_ = false;
        events += {'N', static_cast<char>(verb), static_cast<char>(option)};
    }
    void OnSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override {
        if (payload.size() > rfc2217::TelnetDecoder::kMaxSubnegotiation)
            std::abort();
        in_data_ = false;
        events += {'S', static_cast<char>(option)};
        events += std::to_string(payload.size()) + ':';
        events.append(payload.begin(), payload.end());
    }
    bool in_data_ = false;
};

void CheckDecoder(std::span<const uint8_t> input) {
    Recorder whole;
    rfc2217::TelnetDecoder(whole).Feed(input);
    Recorder split;
    rfc2217::TelnetDecoder second(split);
    const size_t at = input.empty() ? 0 : input[0] % (input.size() + 1);
    second.Feed(input.first(at));
    second.Feed(input.subspan(at));
    if (whole.events != split.events)
        std::abort();
}

// Sends all of bytes on a blocking socket; false when the peer went.
bool SendAll(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return true;
}

void CheckServer(std::span<const uint8_t> input) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    comm::UniqueFd client(pair[0]);
    auto port = comm::testing::ScriptedPort::Create();
    std::unique_ptr<comm::SerialDevice> device = port->Open().device;
    std::mutex mutex;  // guards ended
    std::condition_variable changed;
    bool ended = false;
    // A closing wait far shorter than a hang, so that a session that does not end is found.
    auto session = std::make_unique<remote::PortSession>(*device, comm::UniqueFd(pair[1]), "fuzz",
                                                         "fuzz 1.0", 50, 1000, [&] {
                                                             std::lock_guard lock(mutex);
                                                             ended = true;
                                                             changed.notify_all();
                                                         });
    if (!session->Start())
        std::abort();
    // The session's answers are read while the input goes, so that neither side waits on a full
    // socket.
    std::thread reader([fd = client.get()] {
        uint8_t sink[4096];
        while (::recv(fd, sink, sizeof sink, 0) > 0) {
        }
    });
    SendAll(client.get(), input);
    ::shutdown(client.get(), SHUT_WR);
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return ended; }))
            std::abort();  // the client closed long ago: a hang
    }
    session.reset();  // closes the session's end: the reader sees the end
    reader.join();
}

void CheckClient(std::span<const uint8_t> input) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    comm::UniqueFd server(pair[0]);
    // The server agrees at once; what follows is the input.
    std::vector<uint8_t> stream = rfc2217::Negotiation(telnet::kDo, telnet::kComPortOption);
    const auto will = rfc2217::Negotiation(telnet::kWill, telnet::kComPortOption);
    stream.insert(stream.end(), will.begin(), will.end());
    stream.insert(stream.end(), input.begin(), input.end());
    std::thread writer([fd = server.get(), &stream] {
        SendAll(fd, stream);
        ::shutdown(fd, SHUT_WR);
        uint8_t sink[4096];
        while (::recv(fd, sink, sizeof sink, 0) > 0) {
        }
    });
    comm::Rfc2217SerialDevice::Options options;
    options.negotiation_timeout_ms = 200;
    options.reply_timeout_ms = 1;
    options.notice = [](const std::string&) {};
    comm::OpenResult opened = comm::Rfc2217SerialDevice::OpenConnected(comm::UniqueFd(pair[1]),
                                                                       "rfc2217://fuzz:1", options);
    if (opened.device) {
        comm::Dcb dcb;
        opened.device->GetState(dcb);
        dcb.BaudRate = 19200;
        dcb.ByteSize = 7;
        dcb.fOutxCtsFlow = 1;
        opened.device->SetState(dcb);
        comm::CommTimeouts timeouts;
        timeouts.ReadIntervalTimeout = comm::kMaxDword;  // what is there, at once
        opened.device->SetTimeouts(timeouts);
        uint8_t buffer[256];
        size_t got = 0;
        opened.device->Read(buffer, sizeof buffer, got);
        uint32_t status = 0;
        opened.device->GetModemStatus(status);
        opened.device.reset();  // closes the client's end: the writer sees the end
    }
    ::shutdown(server.get(), SHUT_RDWR);
    writer.join();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> copy(data, data + size);  // exactly the input's size
    const std::span<const uint8_t> input(copy);
    CheckDecoder(input);
    CheckServer(input);
    CheckClient(input);
    return 0;
}
