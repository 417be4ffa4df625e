#pragma once

namespace porvane::cli {

// The exit statuses of porvane-cli, the same for every command.
inline constexpr int kExitDone = 0;
inline constexpr int kExitPortNotOpen = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNeverSynchronised = 3;
inline constexpr int kExitFileNotWritten = 4;  // a report, log or output file
inline constexpr int kExitPortVanished = 5;
inline constexpr int kExitNotListening = 6;        // serve: the address cannot be listened on
inline constexpr int kExitDriverNotInstalled = 7;  // driver status: the filter is not installed
inline constexpr int kExitDriverNotChanged = 8;    // driver install/remove did not complete
// show: the capture is missing, not a capture of the ports' calls, malformed or cut short
inline constexpr int kExitCaptureUnreadable = 9;

}  // namespace porvane::cli
