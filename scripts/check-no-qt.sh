#!/usr/bin/env bash
# Fails when anything in a build folder configured with -DPORVANE_GUI=OFF links a Qt library:
# the link lines of every target, then the dynamic dependencies of what was built.
set -euo pipefail
build=${1:?usage: check-no-qt.sh BUILD_DIR}
if grep -n -E 'libQt[0-9]|Qt6::' "$build/build.ninja"; then
    echo "check-no-qt: a target in $build links Qt (link lines above)" >&2
    exit 1
fi
found=0
for f in "$build"/bin/* "$build"/lib/*.so*; do
    [ -f "$f" ] && [ -x "$f" ] || continue
    if ldd "$f" 2>/dev/null | grep -q 'libQt'; then
        echo "check-no-qt: $f needs Qt:" >&2
        ldd "$f" | grep libQt >&2
        found=1
    fi
done
[ "$found" -eq 0 ] || exit 1
echo "check-no-qt: nothing in $build links Qt"
