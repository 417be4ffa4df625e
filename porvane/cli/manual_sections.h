#pragma once

#include "platform/cli/manual_page.h"

namespace porvane::cli {

// What porvane-cli's manual page says besides its options: examples, the environment its
// commands read, related pages.
cli_support::ManualSections PorvaneCliManualSections();

}  // namespace porvane::cli
