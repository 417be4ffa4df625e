#pragma once

#include "reader/reader_port.h"

namespace reader {

// Replaces the library's single port by another (closed) one, for harnesses that link the
// library's sources; not part of the shared library's exports.
void ReplacePortForTesting(ReaderPort port);

}  // namespace reader
