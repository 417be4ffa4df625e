#pragma once

#include <array>
#include <cstdint>

#include "platform/comm/dcb.h"

namespace porvane::serial {

// The four fixed lists of the settings panel, in the order shown; the stored value is looked up
// by the entry's position.
inline constexpr std::array<const char*, 16> kBaudEntries = {
    "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",   "14400",
    "19200", "38400", "56000", "57600", "115200", "128000", "256000", "512000"};
inline constexpr std::array<const char*, 4> kDataBitsEntries = {"8", "7", "6", "5"};
inline constexpr std::array<const char*, 5> kParityEntries = {"NO", "ODD", "EVEN", "MASK", "SPACE"};
inline constexpr std::array<const char*, 3> kStopBitsEntries = {"1", "1.5", "2"};

inline constexpr int kDefaultBaudIndex = 6;  // "9600"
inline constexpr int kDefaultDataBitsIndex = 0;
inline constexpr int kDefaultParityIndex = 0;
inline constexpr int kDefaultStopBitsIndex = 0;

// Each stores its list's value for the entry at `index` into the Dcb; an index outside the list
// (no selection) changes nothing and returns false.
bool StoreBaudSelection(int index, comm::Dcb& dcb);
bool StoreDataBitsSelection(int index, comm::Dcb& dcb);
bool StoreParitySelection(int index, comm::Dcb& dcb);
bool StoreStopBitsSelection(int index, comm::Dcb& dcb);

}  // namespace porvane::serial
