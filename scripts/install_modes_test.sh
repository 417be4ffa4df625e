#!/usr/bin/env bash
# Installs a build folder into a scratch root under "umask 0" and fails on anything installed
# that others may write or that is set-user-id or set-group-id: the attachment's folder, say,
# must never be one another user could put a library in.
#   install_modes_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(umask 000 && DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >"$scratch/log" 2>&1) ||
    { cat "$scratch/log" >&2; exit 1; }
odd=$(find "$scratch/root" ! -type l \( -perm /022 -o -perm /6000 \) -printf '%m %P\n')
[ -z "$odd" ] || { echo "FAIL: installed so that others may use it: $odd" >&2; exit 1; }
[ -f "$scratch/root/usr/bin/sievrad" ] || { echo "FAIL: nothing installed" >&2; exit 1; }
