#include "porvane/serial/port_settings_lists.h"

#include <cstdlib>

namespace porvane::serial {
namespace {

template <size_t N>
bool InList(int index, const std::array<const char*, N>&) {
    return index >= 0 && static_cast<size_t>(index) < N;
}

}  // namespace

bool StoreBaudSelection(int index, comm::Dcb& dcb) {
    if (!InList(index, kBaudEntries))
        return false;
    dcb.BaudRate = static_cast<uint32_t>(std::strtoul(kBaudEntries[index], nullptr, 10));
    return true;
}

bool StoreDataBitsSelection(int index, comm::Dcb& dcb) {
    if (!InList(index, kDataBitsEntries))
        return false;
    dcb.ByteSize = static_cast<uint8_t>(8 - index);
    return true;
}

bool StoreParitySelection(int index, comm::Dcb& dcb) {
    if (!InList(index, kParityEntries))
        return false;
    dcb.Parity = static_cast<uint8_t>(index);  // fParity is never set from here
    return true;
}

bool StoreStopBitsSelection(int index, comm::Dcb& dcb) {
    if (!InList(index, kStopBitsEntries))
        return false;
    dcb.StopBits = static_cast<uint8_t>(index);
    return true;
}

}  // namespace porvane::serial
