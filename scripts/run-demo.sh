#!/usr/bin/env bash
# Starts the workbench on a virtual loop-back port, so that it does something with no hardware.
# Without a display it runs the command-line terminal on the same port instead.
set -euo pipefail
build=${1:-build}
bin="$build/bin"
dir=$(mktemp -d /tmp/porvane-run-XXXXXX)
link="$dir/vport0"
"$bin/vport" loop "$link" >/dev/null &
vport_pid=$!
trap 'kill "$vport_pid" 2>/dev/null || true; wait "$vport_pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
# The virtual port joins the machine's own ports in the device map the programs read, first in
# the list (so that it is selected at start) and in the same discovery pass as the machine's
# ports: the map's device names are keys only, the ports keep their own names.
"$bin/porvane-cli" ports --map >"$dir/system-map" 2>/dev/null || true
if grep -q '^ttyS[0-9]' "$dir/system-map"; then
    echo "ttyS0=$link" >"$dir/device-map"
    awk -F= '/^ttyS[0-9]+=/ { n = substr($1, 5) + 1; if (n > 255) next; $1 = "ttyS" n } { print }' OFS== \
        "$dir/system-map" >>"$dir/device-map"
else
    { echo "ttyVP0=$link"; cat "$dir/system-map"; } >"$dir/device-map"
fi
export PORVANE_DEVICE_MAP="$dir/device-map"
echo "Ports: $("$bin/porvane-cli" ports | tr '\n' ' ')"
echo "Virtual loop-back port: $link"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    echo "Starting Porvane: pick $link in the port list, press 打开串口 and send."
    "$bin/porvane" || true
else
    echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running the command-line terminal."
    echo "Type: each key goes to the plug and comes back. Ctrl-T q quits, Ctrl-T h lists the commands."
    "$bin/porvane-cli" term "$link" || true
fi
