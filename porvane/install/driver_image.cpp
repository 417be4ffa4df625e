#include "porvane/install/driver_image.h"

extern "C" {
extern const unsigned char porvane_driver_image_begin[];
extern const unsigned char porvane_driver_image_end[];
}

namespace porvane::install {

std::span<const uint8_t> EmbeddedDriverImage() {
    return {porvane_driver_image_begin, porvane_driver_image_end};
}

}  // namespace porvane::install
