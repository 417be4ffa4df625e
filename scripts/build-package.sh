#!/usr/bin/env bash
# Builds the Debian package in the build folder given (default build/package): an optimised build
# for the prefix /usr without sanitizers, of what the installation takes and nothing else (no
# tests), then cpack. Further arguments go to cmake's configuration. Prints the package's path.
set -euo pipefail
umask 022  # the staged files and folders are the package's modes
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/package}
shift || true
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DPORVANE_SANITIZE= -DPORVANE_FUZZ=OFF -DPORVANE_BENCH=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "$@" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" -j "$(nproc)" --target porvane_installed
rm -f "$build"/porvane_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
ls "$build"/porvane_*.deb
