#pragma once

#include <string>

namespace porvane::install {

// Replaces path's contents with text: writes a temporary file beside it, flushes it to disk and
// renames it over path, so readers see the old file or the new one, never a part. mode is the
// new file's permission bits. On failure returns false with error naming the step and the
// system's reason; path is then unchanged.
bool WriteFileAtomically(const std::string& path, const std::string& text, unsigned mode,
                         std::string& error);

}  // namespace porvane::install
