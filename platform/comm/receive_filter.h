#pragma once

#include <cstddef>
#include <cstdint>

namespace comm {

// What a port does to received bytes on their way to the program, where Linux leaves it to the
// program: bytes the line received with a parity or framing error replaced by the error
// character, NUL bytes dropped (null stripping), and the event character noticed. Errored bytes
// come marked by the terminal (PARMRK: 0xFF 0x00 before an errored byte, 0xFF 0xFF for a 0xFF
// byte); a mark split across two reads is carried over. Not thread-safe: its owner guards it.
class ReceiveFilter {
  public:
    struct Settings {
        bool replace_errors = false;  // the terminal marks errored bytes (PARMRK)
        uint8_t error_char = 0;
        bool strip_null = false;
        uint8_t event_char = 0;
    };

    void Configure(const Settings& settings);
    // True when the filter may take bytes out (NUL stripping, error marks): the terminal's own
    // count of waiting bytes then says more than a read will bring.
    bool Drops() const { return settings_.strip_null || settings_.replace_errors; }
    // Forgets a mark half read (the input was purged).
    void Reset() { mark_ = Mark::kNone; }

    // Filters n bytes in place and returns how many are kept (never more than n). event_seen is
    // set when the event character was among the bytes kept.
    size_t Filter(uint8_t* bytes, size_t n, bool& event_seen);

  private:
    enum class Mark { kNone, kMarked, kErrored };  // after 0xFF; after 0xFF 0x00

    Settings settings_;
    Mark mark_ = Mark::kNone;
};

}  // namespace comm
