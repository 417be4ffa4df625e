#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace porvane::monitor {

enum class ContentMode { kAllInfo = 0, kDataOnly = 1 };

// The monitor page's settings fields that records update (texts as shown; ticks as booleans).
struct MonitorFields {
    std::optional<std::string> baud, data_bits, parity, stop_bits;
    std::optional<bool> cts_out, dsr_out, dsr_input, xon_out, xon_in;
    std::optional<std::string> dtr_mode, rts_mode, xon_limit, xoff_limit, xon_char, xoff_char;
    std::optional<std::string> read_timeouts, write_timeouts;
};

// What one buffer of records adds to the page: the lower log's text (the whole log in "全部信息",
// data read by the application in "收发数据"), the upper log's text (data written, "收发数据"
// only), and the fields to update. Texts are UTF-8 (received data is decoded as GBK).
struct MonitorOutput {
    std::string lower;
    std::string upper;
    MonitorFields fields;
    // The application's bytes in the buffer's read and write records, whatever is shown.
    uint32_t bytes_read = 0;
    uint32_t bytes_written = 0;
};

MonitorOutput DecodeRecords(const uint8_t* buffer, size_t count, ContentMode mode, bool hex);

// The text of the driver's report of requests that went past the filter or the record because
// its host did not answer in time (no line end).
std::string BypassText(const uint8_t* data, uint32_t length);

// The decoded line of one control record (empty for codes the page does not list), and the
// fields it sets.
std::string DecodeControl(uint32_t code, const uint8_t* data, uint32_t length,
                          MonitorFields& fields);

}  // namespace porvane::monitor
