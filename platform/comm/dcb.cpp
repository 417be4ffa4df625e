#include "platform/comm/dcb.h"

#include <cstring>

namespace comm {

uint32_t DcbFlagWord(const Dcb& dcb) {
    uint32_t word;
    std::memcpy(&word, reinterpret_cast<const unsigned char*>(&dcb) + 8, sizeof word);
    return word;
}

void SetDcbFlagWord(Dcb& dcb, uint32_t word) {
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + 8, &word, sizeof word);
}

}  // namespace comm
