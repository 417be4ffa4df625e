#include "reader/sim/reader_simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "reader/frame/reader_frame.h"

namespace reader::sim {
namespace {

constexpr int kFrameByteWaitMs = 500;

int32_t Le32(const uint8_t* p) {
    return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// Key type of a mode byte: 0x60/0x00 key A, 0x61/0x04 key B.
std::optional<uint8_t> KeyType(uint8_t mode) {
    if (mode == 0x60 || mode == 0x00)
        return 0;
    if (mode == 0x61 || mode == 0x04)
        return 1;
    return std::nullopt;
}

// The line: single bytes in with a time limit, bytes out whole.
class Line {
  public:
    Line(int fd, int stop_fd) : fd_(fd), stop_fd_(stop_fd) {}

    // A byte, or nothing on time-out (-1: wait for ever); stopped_ when asked to stop.
    std::optional<uint8_t> ReadByte(int timeout_ms) {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
            int rc = ::poll(fds, stop_fd_ >= 0 ? 2 : 1, timeout_ms);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0)
                return std::nullopt;
            if (fds[1].revents & POLLIN) {
                stopped_ = true;
                return std::nullopt;
            }
            uint8_t b;
            ssize_t n = ::read(fd_, &b, 1);
            if (n == 1)
                return b;
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            stopped_ = true;  // hung up
            return std::nullopt;
        }
    }

    void Write(const uint8_t* bytes, size_t n) {
        while (n > 0) {
            ssize_t w = ::write(fd_, bytes, n);
            if (w > 0) {
                bytes += w;
                n -= static_cast<size_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 50);
            } else {
                return;
            }
        }
    }

    bool stopped() const { return stopped_; }

  private:
    int fd_;
    int stop_fd_;
    bool stopped_ = false;
};

}  // namespace

ReaderSimulator::ReaderSimulator(SimulatorFaults faults, std::array<uint8_t, 4> serial)
    : faults_(faults), card_(serial) {
    for (auto& keys : key_store_) {
        for (Key& key : keys)
            key.fill(0xFF);
    }
}

std::vector<std::vector<uint8_t>> ReaderSimulator::requests() const {
    std::lock_guard lock(log_mutex_);
    return requests_;
}

ReaderSimulator::Reply ReaderSimulator::Selected(uint8_t status, std::vector<uint8_t> data) const {
    return {status, status == kStatusOk ? std::move(data) : std::vector<uint8_t>{}};
}

std::optional<Key> ReaderSimulator::StoredKey(uint8_t key_type, uint8_t slot) const {
    if (key_type > 1 || slot >= 16)
        return std::nullopt;
    return key_store_[key_type][slot];
}

ReaderSimulator::Reply ReaderSimulator::AuthenticateWithSlot(uint8_t mode, uint8_t slot,
                                                             uint8_t block) {
    auto type = KeyType(mode);
    if (!type)
        return {kStatusBadParameter, {}};
    auto key = StoredKey(*type, slot);
    if (!key)
        return {kStatusBadParameter, {}};
    return {card_.Authenticate(*type, block, *key), {}};
}

// Request, anticollision and select in one: the card's type, answer and serial.
ReaderSimulator::Reply ReaderSimulator::SelectCard(uint8_t mode) {
    if (!card_.Request(mode) || !card_.Select(card_.serial())) {
        return {kStatusNoCard, {}};
    }
    return {kStatusOk, {}};
}

ReaderSimulator::Reply ReaderSimulator::Handle(uint8_t command, std::span<const uint8_t> d) {
    auto need = [&](size_t n) { return d.size() == n; };
    auto bad = Reply{kStatusBadParameter, {}};
    const auto& serial = card_.serial();
    switch (command) {
        case 0x41:  // request
            if (!need(1))
                return bad;
            if (!card_.Request(d[0]))
                return {kStatusNoCard, {}};
            return {kStatusOk,
                    {static_cast<uint8_t>(MifareClassicCard::kAtqa),
                     static_cast<uint8_t>(MifareClassicCard::kAtqa >> 8)}};
        case 0x42:  // anticollision
        case 0x71:
        case 0x74:
            if (!need(command == 0x42 ? 1 : 2))
                return bad;
            if (command == 0x74 && d[0] != 0x93)
                return {kStatusNoCard, {}};
            if (!card_.Anticollision())
                return {kStatusNoCard, {}};
            return {kStatusOk, {serial.begin(), serial.end()}};
        case 0x43:  // select
            if (!need(4))
                return bad;
            if (!card_.Select({d[0], d[1], d[2], d[3]}))
                return {kStatusNoCard, {}};
            return {kStatusOk, {MifareClassicCard::kSak}};
        case 0x75:  // cascaded select
            if (!need(5))
                return bad;
            if (d[0] != 0x93 || !card_.Select({d[1], d[2], d[3], d[4]}))
                return {kStatusNoCard, {}};
            return {kStatusOk, {MifareClassicCard::kSak}};
        case 0x10: {  // card serial number in one step
            if (!need(1))
                return bad;
            Reply r = SelectCard(d[0]);
            if (r.status != kStatusOk)
                return r;
            std::vector<uint8_t> out = {static_cast<uint8_t>(MifareClassicCard::kAtqa),
                                        static_cast<uint8_t>(MifareClassicCard::kAtqa >> 8),
                                        MifareClassicCard::kSak, 4};
            out.insert(out.end(), serial.begin(), serial.end());
            return {kStatusOk, out};
        }
        case 0x81: {  // selection with the manufacturer block
            if (!need(1))
                return bad;
            Reply r = SelectCard(0x52);
            if (r.status != kStatusOk)
                return r;
            std::vector<uint8_t> out = {0x00, static_cast<uint8_t>(MifareClassicCard::kAtqa),
                                        static_cast<uint8_t>(MifareClassicCard::kAtqa >> 8),
                                        MifareClassicCard::kSak, 4};
            out.insert(out.end(), serial.begin(), serial.end());
            const Block& b0 = card_.RawBlock(0);
            out.insert(out.end(), b0.begin(), b0.end());
            return {kStatusOk, out};
        }
        case 0x45:  // halt
            if (!need(0))
                return bad;
            if (card_.state() != MifareClassicCard::State::kActive)
                return {kStatusNoCard, {}};
            card_.Halt();
            return {kStatusOk, {}};
        case 0x44:  // authenticate sector with a stored key
            if (!need(2))
                return bad;
            return AuthenticateWithSlot(d[0], d[1], static_cast<uint8_t>(d[1] * 4));
        case 0x72:  // authenticate block with the key of a slot
            if (!need(3))
                return bad;
            return AuthenticateWithSlot(d[0], d[1], d[2]);
        case 0x73: {  // authenticate block with a given key
            if (!need(8))
                return bad;
            auto type = KeyType(d[0]);
            if (!type)
                return bad;
            return {card_.Authenticate(*type, d[1], {d[2], d[3], d[4], d[5], d[6], d[7]}), {}};
        }
        case 0x4C: {  // load a key into the reader
            if (!need(8))
                return bad;
            auto type = KeyType(d[0]);
            if (!type || d[1] >= 16)
                return bad;
            std::copy(d.begin() + 2, d.end(), key_store_[*type][d[1]].begin());
            return {kStatusOk, {}};
        }
        case 0x80: {  // select and authenticate in one
            if (d.size() < 4)
                return bad;
            const uint8_t source = d[3];
            Key key;
            auto type = KeyType(d[0]);
            if (!type)
                return bad;
            if (source == 0x00 && need(4)) {
                key = key_store_[*type][d[2] / 4 % 16];
            } else if (source == 'E' && need(7)) {
                auto stored = StoredKey(*type, d[5]);
                if (!stored)
                    return bad;
                key = *stored;
            } else if (source == 'F' && need(12)) {
                std::copy(d.begin() + 5, d.begin() + 11, key.begin());
            } else {
                return bad;
            }
            Reply r = SelectCard(0x52);
            if (r.status != kStatusOk)
                return r;
            return {card_.Authenticate(*type, d[2], key), {}};
        }
        case 0x46: {  // read
            if (!need(1))
                return bad;
            Block b;
            uint8_t status = card_.Read(d[0], b);
            return Selected(status, {b.begin(), b.end()});
        }
        case 0x47: {  // write
            if (!need(17))
                return bad;
            Block b;
            std::copy(d.begin() + 1, d.end(), b.begin());
            return {card_.Write(d[0], b), {}};
        }
        case 0x76:  // ultralight page write: not this card's command set
            if (!need(5))
                return bad;
            return {kStatusUnknownCommand, {}};
        case 0x12: {  // authenticate and read
            if (!need(3))
                return bad;
            Reply auth = AuthenticateWithSlot(d[0], d[1], d[2]);
            if (auth.status != kStatusOk)
                return auth;
            Block b;
            uint8_t status = card_.Read(d[2], b);
            return Selected(status, {b.begin(), b.end()});
        }
        case 0x11: {  // authenticate and write
            if (!need(19))
                return bad;
            Reply auth = AuthenticateWithSlot(d[0], d[1], d[2]);
            if (auth.status != kStatusOk)
                return auth;
            Block b;
            std::copy(d.begin() + 3, d.end(), b.begin());
            return {card_.Write(d[2], b), {}};
        }
        case 0x48:  // increment, decrement into the transfer register
        case 0x49:
            if (!need(5))
                return bad;
            return {card_.ValueOperation(command == 0x48 ? 0xC1 : 0xC0, d[0], Le32(&d[1])), {}};
        case 0x4A:  // restore
            if (!need(1))
                return bad;
            return {card_.ValueOperation(0xC2, d[0], 0), {}};
        case 0x4B:  // transfer
            if (!need(1))
                return bad;
            return {card_.Transfer(d[0]), {}};
        case 0x70: {  // value operation and transfer
            if (!need(7))
                return bad;
            uint8_t status = card_.ValueOperation(d[0], d[1], Le32(&d[2]));
            if (status != kStatusOk)
                return {status, {}};
            return {card_.Transfer(d[6]), {}};
        }
        case 0x13: {  // authenticate and write a value block
            if (!need(7))
                return bad;
            Reply auth = AuthenticateWithSlot(d[0], d[1], d[2]);
            if (auth.status != kStatusOk)
                return auth;
            return {card_.WriteValue(d[2], Le32(&d[3])), {}};
        }
        case 0x14: {  // authenticate, value operation and transfer
            if (!need(9))
                return bad;
            Reply auth = AuthenticateWithSlot(d[0], d[1], d[2]);
            if (auth.status != kStatusOk)
                return auth;
            uint8_t status = card_.ValueOperation(d[3], d[2], Le32(&d[4]));
            if (status != kStatusOk)
                return {status, {}};
            if (d[8] / 4 != d[2] / 4)
                return {kStatusAccessDenied, {}};
            return {card_.Transfer(d[8]), {}};
        }
        case 0x4E:  // switch the field off and on
            if (!need(1))
                return bad;
            card_.FieldReset();
            return {kStatusOk, {}};
        case 0x3F:  // reader close
        case 0x52:  // configure
            if (!need(0))
                return bad;
            return {kStatusOk, {}};
        case 0x4F: {  // reader information
            if (!need(0))
                return bad;
            const char info[] = "QSIM-1.00";
            return {kStatusOk, {info, info + 9}};
        }
        case 0x50:
        case 0x51:
            if (!need(0))
                return bad;
            control_bit_ = command == 0x50;
            return {kStatusOk, {}};
        case 0x60:  // buzzer
            if (!need(4))
                return bad;
            return {kStatusOk, {}};
        case 0x61: {  // EEPROM read
            if (!need(2) || d[0] + d[1] > 256)
                return bad;
            return {kStatusOk, {eeprom_.begin() + d[0], eeprom_.begin() + d[0] + d[1]}};
        }
        case 0x62:  // EEPROM write
            if (d.size() < 2 || d.size() != d[1] + 2u || d[0] + d[1] > 256)
                return bad;
            std::copy(d.begin() + 2, d.end(), eeprom_.begin() + d[0]);
            return {kStatusOk, {}};
        default:
            return {kStatusUnknownCommand, {}};
    }
}

void ReaderSimulator::Serve(int fd, int stop_fd) {
    Line line(fd, stop_fd);
    bool announced = false;  // a request announcement came while a reply was being offered
    while (!line.stopped()) {
        if (!announced) {
            auto announce = line.ReadByte(-1);
            if (!announce || *announce != kFrameAnnounce) {
                continue;
            }
        }
        announced = false;
        if (faults_.never_acknowledge) {
            continue;
        }
        line.Write(&kFrameAcknowledge, 1);
        std::vector<uint8_t> frame;
        size_t expected = kFrameOverhead;
        while (frame.size() < expected) {
            auto b = line.ReadByte(kFrameByteWaitMs);
            if (!b)
                break;
            frame.push_back(*b);
            if (frame.size() == 3)
                expected = frame[2] + kFrameOverhead;
        }
        if (frame.size() < expected) {
            continue;  // the host gave up mid-frame
        }
        {
            std::lock_guard lock(log_mutex_);
            requests_.push_back(frame);
        }
        const size_t n = frame[2];
        if (FrameBcc(frame.data(), n + 3) != frame[n + 3]) {
            continue;  // a garbled request gets no answer
        }
        Reply reply =
            faults_.status ? Reply{*faults_.status, {}} : Handle(frame[1], {frame.data() + 3, n});
        if (faults_.reply_delay_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(faults_.reply_delay_ms));
        }
        std::vector<uint8_t> out = BuildReaderFrame(reply.status, reply.data);
        if (faults_.bad_check_replies > 0) {
            --faults_.bad_check_replies;
            out[out.size() - 2] ^= 0x5A;
        }
        line.Write(&kFrameAnnounce, 1);
        auto go = line.ReadByte(kFrameByteWaitMs);
        if (!go || *go != kFrameAcknowledge) {
            // A host that does not take replies (it sends its next request instead) gets its
            // new request served; the reply is dropped.
            announced = go && *go == kFrameAnnounce;
            continue;
        }
        if (faults_.burst_size == 0) {
            line.Write(out.data(), out.size());
            continue;
        }
        for (size_t at = 0; at < out.size(); at += faults_.burst_size) {
            if (at > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(faults_.burst_gap_ms));
            }
            line.Write(out.data() + at, std::min(faults_.burst_size, out.size() - at));
        }
    }
}

}  // namespace reader::sim
