#pragma once

#include <cstdio>
#include <string>

namespace porvane::cli {

// "driver status|install|remove": the notes page's installation for a terminal, under root
// (empty: $SIEVRA_SYSROOT, default /). status exits 0 when installed and 7 when not; install and
// remove exit 0 when done and 8 when not. remove also disables the driver host's unit, or warns
// why it stays enabled.
int RunDriverCommand(const std::string& action, const std::string& root, std::FILE* out,
                     std::FILE* err);

}  // namespace porvane::cli
