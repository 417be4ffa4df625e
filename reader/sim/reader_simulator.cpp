#include "reader/sim/reader_simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "reader/frame/reader_command.h"
#include "reader/frame/reader_frame.h"

namespace reader::sim {
namespace {

constexpr int kFrameByteWaitMs = 500;

constexpr uint8_t kRequestAll = 0x52;      // request mode that also wakes a halted card
constexpr uint8_t kCascadeLevel1 = 0x93;   // the only cascade level of a four-byte serial
constexpr uint8_t kValueDecrement = 0xC0;  // value operation codes of the card
constexpr uint8_t kValueIncrement = 0xC1;
constexpr uint8_t kValueRestore = 0xC2;

int32_t Le32(const uint8_t* p) {
    return static_cast<int32_t>(LoadLe32(p));
}

std::vector<uint8_t> AtqaBytes() {
    return {static_cast<uint8_t>(MifareClassicCard::kAtqa),
            static_cast<uint8_t>(MifareClassicCard::kAtqa >> 8)};
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

// --- dispatch ------------------------------------------------------------------------------------

// A command the simulated reader knows: the data length it takes and the handler that runs it.
struct ReaderSimulator::CommandEntry {
    static constexpr int kCheckedByHandler = -1;  // the length depends on the data itself

    ReaderCommand command;
    int data_length;
    Reply (ReaderSimulator::*handler)(Data);
};

const ReaderSimulator::CommandEntry* ReaderSimulator::FindCommand(uint8_t command) {
    using C = ReaderCommand;
    using S = ReaderSimulator;
    constexpr int kAny = CommandEntry::kCheckedByHandler;
    static constexpr CommandEntry kTable[] = {
        {C::kRequest, 1, &S::Request},
        {C::kAnticoll, 1, &S::Anticoll},
        {C::kAnticoll2, 2, &S::Anticoll},
        {C::kSelect, 4, &S::Select},
        {C::kCascAnticoll, 2, &S::CascAnticoll},
        {C::kCascSelect, 5, &S::CascSelect},
        {C::kGetCardSnr, 1, &S::GetCardSnr},
        {C::kReadAddt, 1, &S::ReadAddt},
        {C::kHalt, 0, &S::Halt},
        {C::kAuth, 2, &S::Auth},
        {C::kAuth2, 3, &S::Auth2},
        {C::kAuthKey, 8, &S::AuthKey},
        {C::kLoadKey, 8, &S::LoadKey},
        {C::kAutoDetect, kAny, &S::AutoDetect},
        {C::kRead, 1, &S::Read},
        {C::kWrite, 17, &S::Write},
        {C::kUlWrite, 5, &S::UlWrite},
        {C::kReadAuth, 3, &S::ReadAuth},
        {C::kWriteAuth, 19, &S::WriteAuth},
        {C::kIncrement, 5, &S::Increment},
        {C::kDecrement, 5, &S::Decrement},
        {C::kRestore, 1, &S::Restore},
        {C::kTransfer, 1, &S::Transfer},
        {C::kValue, 7, &S::Value},
        {C::kWriteValueAuth, 7, &S::WriteValueAuth},
        {C::kValueAuth, 9, &S::ValueAuth},
        {C::kReset, 1, &S::Reset},
        {C::kClose, 0, &S::Acknowledge},
        {C::kConfig, 0, &S::Acknowledge},
        {C::kGetInfo, 0, &S::GetInfo},
        {C::kSetControlBit, 0, &S::SetControlBit},
        {C::kClrControlBit, 0, &S::ClrControlBit},
        {C::kBuzzer, 4, &S::Acknowledge},
        {C::kReadE2, 2, &S::ReadE2},
        {C::kWriteE2, kAny, &S::WriteE2},
    };
    for (const CommandEntry& entry : kTable) {
        if (CommandByte(entry.command) == command) {
            return &entry;
        }
    }
    return nullptr;
}

ReaderSimulator::Reply ReaderSimulator::Handle(uint8_t command, std::span<const uint8_t> data) {
    const CommandEntry* entry = FindCommand(command);
    if (entry == nullptr) {
        return {kStatusUnknownCommand, {}};
    }
    if (entry->data_length != CommandEntry::kCheckedByHandler &&
        data.size() != static_cast<size_t>(entry->data_length)) {
        return {kStatusBadParameter, {}};
    }
    return (this->*entry->handler)(data);
}

// --- shared steps --------------------------------------------------------------------------------

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

// Request, anticollision and select in one.
ReaderSimulator::Reply ReaderSimulator::SelectCard(uint8_t mode) {
    if (!card_.Request(mode) || !card_.Select(card_.serial())) {
        return {kStatusNoCard, {}};
    }
    return {kStatusOk, {}};
}

// The serial of a card that answers anticollision.
ReaderSimulator::Reply ReaderSimulator::CardSerial() const {
    if (!card_.Anticollision())
        return {kStatusNoCard, {}};
    return {kStatusOk, {card_.serial().begin(), card_.serial().end()}};
}

// The selected card's type, answer to select, serial length and serial.
std::vector<uint8_t> ReaderSimulator::TypeAnswerSerial() const {
    std::vector<uint8_t> out = AtqaBytes();
    out.push_back(MifareClassicCard::kSak);
    out.push_back(static_cast<uint8_t>(card_.serial().size()));
    out.insert(out.end(), card_.serial().begin(), card_.serial().end());
    return out;
}

// Selects the card with the four serial bytes given; its answer to select.
ReaderSimulator::Reply ReaderSimulator::SelectSerial(Data serial) {
    if (!card_.Select({serial[0], serial[1], serial[2], serial[3]}))
        return {kStatusNoCard, {}};
    return {kStatusOk, {MifareClassicCard::kSak}};
}

ReaderSimulator::Reply ReaderSimulator::ReadBlock(uint8_t block) const {
    Block b;
    const uint8_t status = card_.Read(block, b);
    return Selected(status, {b.begin(), b.end()});
}

ReaderSimulator::Reply ReaderSimulator::WriteBlock(uint8_t block, Data bytes) {
    Block b;
    std::copy(bytes.begin(), bytes.end(), b.begin());
    return {card_.Write(block, b), {}};
}

// --- card selection ------------------------------------------------------------------------------

ReaderSimulator::Reply ReaderSimulator::Request(Data d) {
    if (!card_.Request(d[0]))
        return {kStatusNoCard, {}};
    return {kStatusOk, AtqaBytes()};
}

// The plain and the two-byte anticollision alike.
ReaderSimulator::Reply ReaderSimulator::Anticoll(Data) {
    return CardSerial();
}

// Only cascade level 1 (0x93): the card has a four-byte serial.
ReaderSimulator::Reply ReaderSimulator::CascAnticoll(Data d) {
    if (d[0] != kCascadeLevel1)
        return {kStatusNoCard, {}};
    return CardSerial();
}

ReaderSimulator::Reply ReaderSimulator::Select(Data d) {
    return SelectSerial(d);
}

ReaderSimulator::Reply ReaderSimulator::CascSelect(Data d) {
    if (d[0] != kCascadeLevel1)
        return {kStatusNoCard, {}};
    return SelectSerial(d.subspan(1));
}

// Request, anticollision and select in one step: type, answer, serial length and serial.
ReaderSimulator::Reply ReaderSimulator::GetCardSnr(Data d) {
    Reply r = SelectCard(d[0]);
    if (r.status != kStatusOk)
        return r;
    return {kStatusOk, TypeAnswerSerial()};
}

// Selection with the manufacturer block after the serial.
ReaderSimulator::Reply ReaderSimulator::ReadAddt(Data) {
    Reply r = SelectCard(kRequestAll);
    if (r.status != kStatusOk)
        return r;
    std::vector<uint8_t> out = {0x00};
    const std::vector<uint8_t> selection = TypeAnswerSerial();
    out.insert(out.end(), selection.begin(), selection.end());
    const Block& b0 = card_.RawBlock(0);
    out.insert(out.end(), b0.begin(), b0.end());
    return {kStatusOk, out};
}

ReaderSimulator::Reply ReaderSimulator::Halt(Data) {
    if (card_.state() != MifareClassicCard::State::kActive)
        return {kStatusNoCard, {}};
    card_.Halt();
    return {kStatusOk, {}};
}

// --- authentication and keys ---------------------------------------------------------------------

// The sector's first block with the key of a slot.
ReaderSimulator::Reply ReaderSimulator::Auth(Data d) {
    return AuthenticateWithSlot(d[0], d[1], static_cast<uint8_t>(d[1] * 4));
}

ReaderSimulator::Reply ReaderSimulator::Auth2(Data d) {
    return AuthenticateWithSlot(d[0], d[1], d[2]);
}

ReaderSimulator::Reply ReaderSimulator::AuthKey(Data d) {
    auto type = KeyType(d[0]);
    if (!type)
        return {kStatusBadParameter, {}};
    return {card_.Authenticate(*type, d[1], {d[2], d[3], d[4], d[5], d[6], d[7]}), {}};
}

ReaderSimulator::Reply ReaderSimulator::LoadKey(Data d) {
    auto type = KeyType(d[0]);
    if (!type || d[1] >= 16)
        return {kStatusBadParameter, {}};
    std::copy(d.begin() + 2, d.end(), key_store_[*type][d[1]].begin());
    return {kStatusOk, {}};
}

// Select and authenticate in one; the key comes from the sector's slot (source 0x00), from a
// named slot ('E') or with the request ('F').
ReaderSimulator::Reply ReaderSimulator::AutoDetect(Data d) {
    const Reply bad{kStatusBadParameter, {}};
    if (d.size() < 4)
        return bad;
    const uint8_t source = d[3];
    Key key;
    auto type = KeyType(d[0]);
    if (!type)
        return bad;
    if (source == 0x00 && d.size() == 4) {
        key = key_store_[*type][d[2] / 4 % 16];
    } else if (source == 'E' && d.size() == 7) {
        auto stored = StoredKey(*type, d[5]);
        if (!stored)
            return bad;
        key = *stored;
    } else if (source == 'F' && d.size() == 12) {
        std::copy(d.begin() + 5, d.begin() + 11, key.begin());
    } else {
        return bad;
    }
    Reply r = SelectCard(kRequestAll);
    if (r.status != kStatusOk)
        return r;
    return {card_.Authenticate(*type, d[2], key), {}};
}

// --- block read and write ------------------------------------------------------------------------

ReaderSimulator::Reply ReaderSimulator::Read(Data d) {
    return ReadBlock(d[0]);
}

ReaderSimulator::Reply ReaderSimulator::Write(Data d) {
    return WriteBlock(d[0], d.subspan(1));
}

// Ultralight page write: not this card's command set.
ReaderSimulator::Reply ReaderSimulator::UlWrite(Data) {
    return {kStatusUnknownCommand, {}};
}

ReaderSimulator::Reply ReaderSimulator::ReadAuth(Data d) {
    Reply auth = AuthenticateWithSlot(d[0], d[1], d[2]);
    if (auth.status != kStatusOk)
        return auth;
    return ReadBlock(d[2]);
}

ReaderSimulator::Reply ReaderSimulator::WriteAuth(Data d) {
    Reply auth = AuthenticateWithSlot(d[0], d[1], d[2]);
    if (auth.status != kStatusOk)
        return auth;
    return WriteBlock(d[2], d.subspan(3));
}

// --- value operations ----------------------------------------------------------------------------

// Increment, decrement and restore go into the transfer register.
ReaderSimulator::Reply ReaderSimulator::Increment(Data d) {
    return {card_.ValueOperation(kValueIncrement, d[0], Le32(&d[1])), {}};
}

ReaderSimulator::Reply ReaderSimulator::Decrement(Data d) {
    return {card_.ValueOperation(kValueDecrement, d[0], Le32(&d[1])), {}};
}

ReaderSimulator::Reply ReaderSimulator::Restore(Data d) {
    return {card_.ValueOperation(kValueRestore, d[0], 0), {}};
}

ReaderSimulator::Reply ReaderSimulator::Transfer(Data d) {
    return {card_.Transfer(d[0]), {}};
}

// Value operation and transfer.
ReaderSimulator::Reply ReaderSimulator::Value(Data d) {
    const uint8_t status = card_.ValueOperation(d[0], d[1], Le32(&d[2]));
    if (status != kStatusOk)
        return {status, {}};
    return {card_.Transfer(d[6]), {}};
}

ReaderSimulator::Reply ReaderSimulator::WriteValueAuth(Data d) {
    Reply auth = AuthenticateWithSlot(d[0], d[1], d[2]);
    if (auth.status != kStatusOk)
        return auth;
    return {card_.WriteValue(d[2], Le32(&d[3])), {}};
}

// Authenticate, value operation and transfer within the authenticated sector.
ReaderSimulator::Reply ReaderSimulator::ValueAuth(Data d) {
    Reply auth = AuthenticateWithSlot(d[0], d[1], d[2]);
    if (auth.status != kStatusOk)
        return auth;
    const uint8_t status = card_.ValueOperation(d[3], d[2], Le32(&d[4]));
    if (status != kStatusOk)
        return {status, {}};
    if (d[8] / 4 != d[2] / 4)
        return {kStatusAccessDenied, {}};
    return {card_.Transfer(d[8]), {}};
}

// --- reader housekeeping and EEPROM --------------------------------------------------------------

// Switches the field off and on.
ReaderSimulator::Reply ReaderSimulator::Reset(Data) {
    card_.FieldReset();
    return {kStatusOk, {}};
}

ReaderSimulator::Reply ReaderSimulator::Acknowledge(Data) {
    return {kStatusOk, {}};
}

ReaderSimulator::Reply ReaderSimulator::GetInfo(Data) {
    const char info[] = "QSIM-1.00";
    return {kStatusOk, {info, info + 9}};
}

ReaderSimulator::Reply ReaderSimulator::SetControlBit(Data) {
    control_bit_ = true;
    return {kStatusOk, {}};
}

ReaderSimulator::Reply ReaderSimulator::ClrControlBit(Data) {
    control_bit_ = false;
    return {kStatusOk, {}};
}

ReaderSimulator::Reply ReaderSimulator::ReadE2(Data d) {
    if (d[0] + d[1] > 256)
        return {kStatusBadParameter, {}};
    return {kStatusOk, {eeprom_.begin() + d[0], eeprom_.begin() + d[0] + d[1]}};
}

// Address, count and exactly count bytes.
ReaderSimulator::Reply ReaderSimulator::WriteE2(Data d) {
    if (d.size() < 2 || d.size() != d[1] + 2u || d[0] + d[1] > 256)
        return {kStatusBadParameter, {}};
    std::copy(d.begin() + 2, d.end(), eeprom_.begin() + d[0]);
    return {kStatusOk, {}};
}

// --- serving the protocol on a terminal ----------------------------------------------------------

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
