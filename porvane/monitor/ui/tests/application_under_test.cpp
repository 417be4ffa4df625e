#include "application_under_test.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "driver/link_protocol.h"
#include "driver/link_socket.h"
#include "driver/sievra_protocol.h"

namespace porvane::monitor::testing {
namespace {

std::vector<uint8_t> Le32s(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> bytes;
    for (uint32_t v : values) {
        uint8_t b[4];
        sievra::PutLe32(b, v);
        bytes.insert(bytes.end(), b, b + 4);
    }
    return bytes;
}

}  // namespace

ApplicationUnderTest::ApplicationUnderTest(const std::string& runtime_dir, int port) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = runtime_dir + "/SievrApp" + std::to_string(port);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        fd_ = fd;
    else
        ::close(fd);
}

ApplicationUnderTest::~ApplicationUnderTest() {
    if (fd_ >= 0)
        ::close(fd_);
}

int32_t ApplicationUnderTest::Request(uint8_t op, uint32_t code, const std::vector<uint8_t>& input,
                                      uint32_t output_length, std::vector<uint8_t>* output) {
    if (fd_ < 0)
        return -1;
    std::vector<uint8_t> request(sievra::link::kRequestHeaderSize + input.size());
    sievra::PutLe32(request.data(), ++id_);
    request[4] = op;
    sievra::PutLe32(request.data() + 5, code);
    sievra::PutLe32(request.data() + 9, static_cast<uint32_t>(input.size()));
    sievra::PutLe32(request.data() + 13, output_length);
    std::copy(input.begin(), input.end(), request.begin() + sievra::link::kRequestHeaderSize);
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return -1;
    }
    uint8_t reply[sievra::link::kResponseHeaderSize];
    if (!sievra::link::ReadFully(fd_, reply, sizeof reply))
        return -1;
    std::vector<uint8_t> data(sievra::GetLe32(reply + 12));
    if (!data.empty() && !sievra::link::ReadFully(fd_, data.data(), data.size()))
        return -1;
    if (output != nullptr)
        *output = std::move(data);
    return static_cast<int32_t>(sievra::GetLe32(reply + 4));
}

int32_t ApplicationUnderTest::Open() {
    return Request(sievra::link::kAppCreate, 0, {}, 0, nullptr);
}

int32_t ApplicationUnderTest::Close() {
    return Request(sievra::link::kClose, 0, {}, 0, nullptr);
}

int32_t ApplicationUnderTest::Write(const std::string& bytes) {
    return Request(sievra::link::kAppWrite, 0, std::vector<uint8_t>(bytes.begin(), bytes.end()), 0,
                   nullptr);
}

int32_t ApplicationUnderTest::Read(uint32_t n, std::string* data) {
    std::vector<uint8_t> out;
    const int32_t status = Request(sievra::link::kRead, 0, {}, n, &out);
    if (data != nullptr)
        data->assign(out.begin(), out.end());
    return status;
}

int32_t ApplicationUnderTest::Control(uint32_t code, const std::vector<uint8_t>& input,
                                      uint32_t output_length, std::vector<uint8_t>* output) {
    return Request(sievra::link::kDeviceControl, code, input, output_length, output);
}

int32_t ApplicationUnderTest::SetBaud(uint32_t baud) {
    return Control(0x1B0004, Le32s({baud}));
}

int32_t ApplicationUnderTest::SetLineControl(uint8_t stop_bits, uint8_t parity,
                                             uint8_t word_length) {
    return Control(0x1B000C, {stop_bits, parity, word_length});
}

int32_t ApplicationUnderTest::SetHandflow(uint32_t control_handshake, uint32_t flow_replace,
                                          int32_t xon_limit, int32_t xoff_limit) {
    return Control(0x1B0064,
                   Le32s({control_handshake, flow_replace, static_cast<uint32_t>(xon_limit),
                          static_cast<uint32_t>(xoff_limit)}));
}

int32_t ApplicationUnderTest::SetDtr() {
    return Control(0x1B0024, {});
}

int32_t ApplicationUnderTest::Purge(uint32_t mask) {
    return Control(0x1B004C, Le32s({mask}));
}

}  // namespace porvane::monitor::testing
