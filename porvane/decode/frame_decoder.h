#pragma once

// Decoders of the protocols met on serial lines every day: they take a port's data as the
// program wrote and read it, call by call, and make one line per frame with its fields. A
// decoder never hides bytes: whatever it cannot frame comes out as bytes, marked.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace porvane::decode {

// The program's side of the line: what it wrote, what it read.
enum class Flow { kWritten, kRead };

// One call's bytes, at a time in microseconds (any epoch; -1 when unknown).
struct Transfer {
    Flow flow;
    const uint8_t* data;
    size_t size;
    int64_t time_us = -1;
};

// One decoded frame (or bytes that make none), in the direction it went.
struct Frame {
    Flow flow;
    std::string text;
};

class FrameDecoder {
  public:
    virtual ~FrameDecoder() = default;
    // The line's speed in bits per second as the program set it (0: unknown), for decoders
    // that end frames at pauses.
    virtual void SetSpeed(uint32_t bits_per_second) { (void)bits_per_second; }
    // Takes one call's bytes: the frames it completes (or that the pause before it ended).
    virtual std::vector<Frame> Take(const Transfer& transfer) = 0;
    // The end of the stream or of the open: whatever is still held, as cut frames or bytes.
    virtual std::vector<Frame> Finish() = 0;
    // When the bytes held end by the line's silence if nothing more comes, in the microseconds
    // of Take's times: for a live view, which cannot wait for the next bytes to learn of the
    // pause. -1 while nothing held waits on a silence.
    virtual int64_t SilenceEnds() const { return -1; }
    // The line has been silent until now_us (Take's clock): the frames the silence ended.
    virtual std::vector<Frame> Quiet(int64_t now_us) {
        (void)now_us;
        return {};
    }
};

// The decoder of that name ("modbus-rtu", "modbus-ascii", "nmea", "at"); nullptr for another.
std::unique_ptr<FrameDecoder> MakeFrameDecoder(std::string_view name);
// The names MakeFrameDecoder knows, for help and messages: "modbus-rtu|modbus-ascii|nmea|at".
const char* DecoderNames();
// Empty for a name MakeFrameDecoder knows; else what is wrong with it, naming those it knows:
// "unknown protocol 'foo': modbus-rtu, modbus-ascii, nmea, at".
std::string DecoderNameProblem(std::string_view name);

// The value of a hex digit (either case), -1 for another character.
int HexDigitValue(char c);

// Bytes as hex groups "01 03 ff", for the decoders' lines.
std::string HexGroups(const uint8_t* data, size_t size);

// The most bytes a line of bytes that make no frame shows: a long run of noise goes on several
// lines rather than one of thousands of characters. (The longest Modbus RTU frame.)
inline constexpr size_t kMaxBytesPerLine = 256;
// "<head> (N bytes): xx xx ...", one line for each kMaxBytesPerLine bytes, every byte shown.
std::vector<std::string> ByteLines(const std::string& head, const uint8_t* data, size_t size);

}  // namespace porvane::decode
