#pragma once

#include <cstdint>
#include <span>

namespace porvane::install {

// The attachment's image as the build embedded it into the program; lives as long as the
// program.
std::span<const uint8_t> EmbeddedDriverImage();

}  // namespace porvane::install
