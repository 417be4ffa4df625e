// Feeds arbitrary bytes to the library as the reader's side of the line and runs exports over
// them: no byte sequence may crash it, read past a buffer or write out-parameters it should not.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/comm/serial_device.h"
#include "quor_b.h"
#include "reader/quor_b_testing.h"

namespace {

// The line as the fuzzer sees it: reads take the next input bytes, everything written vanishes,
// waits return at once.
struct FeedState {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    size_t Left() const { return size - at; }
};

FeedState g_feed;

class FeedDevice final : public comm::SerialDevice {
  public:
    comm::CommStatus SetState(const comm::Dcb& dcb) override {
        dcb_ = dcb;
        return {};
    }
    comm::CommStatus GetState(comm::Dcb& dcb) override {
        dcb = dcb_;
        return {};
    }
    comm::CommStatus SetTimeouts(const comm::CommTimeouts& t) override {
        timeouts_ = t;
        return {};
    }
    comm::CommStatus GetTimeouts(comm::CommTimeouts& t) override {
        t = timeouts_;
        return {};
    }
    comm::CommStatus SetEventMask(uint32_t mask) override {
        mask_ = mask;
        return {};
    }
    uint32_t EventMask() override { return mask_; }
    comm::CommStatus WaitEventFor(uint32_t& events, int) override {
        events = g_feed.Left() > 0 ? comm::EV_RXCHAR : 0;
        return g_feed.Left() > 0 ? comm::CommStatus{}
                                 : comm::CommStatus::Failure("wait", ETIMEDOUT);
    }
    comm::CommStatus Read(uint8_t* buffer, size_t count, size_t& got) override {
        got = std::min(count, g_feed.Left());
        std::memcpy(buffer, g_feed.data + g_feed.at, got);
        g_feed.at += got;
        return {};
    }
    comm::CommStatus Write(const uint8_t*, size_t count, size_t& written) override {
        written = count;
        return {};
    }
    comm::CommStatus WriteAsync(const uint8_t*, size_t count, size_t& now) override {
        now = count;
        return {};
    }
    comm::CommStatus Purge(uint32_t) override { return {}; }
    comm::CommStatus ClearError(uint32_t* errors, comm::QueueStatus* status) override {
        if (errors)
            *errors = 0;
        if (status)
            status->in_queue = static_cast<uint32_t>(g_feed.Left());
        return {};
    }
    comm::CommStatus GetModemStatus(uint32_t& s) override {
        s = 0;
        return {};
    }
    comm::CommStatus GetModemControl(uint32_t& c) override {
        c = 0;
        return {};
    }
    comm::CommStatus EscapeFunction(comm::Escape) override { return {}; }
    comm::CommStatus GetStatistics(comm::SerialStats& s) override {
        s = {};
        return {};
    }
    comm::CommStatus ClearStatistics() override { return {}; }
    void CancelIo() override {}

  private:
    comm::Dcb dcb_;
    comm::CommTimeouts timeouts_;
    uint32_t mask_ = 0;
};

bool OpenLibrary() {
    reader::ReaderPort port([](const std::string&) {
        return comm::OpenResult{std::make_unique<FeedDevice>(), {}};
    });
    port.SetPause([](int) {});
    reader::ReplacePortForTesting(std::move(port));
    return Quor_Init(1, 115200) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool opened = OpenLibrary();
    if (!opened || size == 0)
        return 0;
    g_feed = {data + 1, size - 1, 0};
    // Guard bytes around every out-parameter catch writes past what the export promises.
    uint8_t out[300];
    std::memset(out, 0xA5, sizeof out);
    uint16_t u16;
    uint32_t u32;
    int32_t i32;
    uint8_t a, b;
    switch (data[0] % 8) {
        case 0:
            Quor_Get_CardSnr(0x52, &u16, &a, &b, out);
            break;
        case 1:
            Quor_ReadADDT(0, &a, &u16, &b, out, out + 200);
            break;
        case 2:
            Quor_Read_E2(0, data[0], out);
            break;
        case 3:
            Quor_Read(4, out);
            break;
        case 4:
            Quor_Request(0x52, &u16);
            break;
        case 5:
            Quor_Anticoll(0x93, &u32);
            break;
        case 6:
            Quor_ReadValue_Auth(0x60, 1, 4, &i32);
            break;
        default:
            Quor_Get_Info(out);
            break;
    }
    return 0;
}
