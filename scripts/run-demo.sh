#!/usr/bin/env bash
# Starts the terminal on a virtual loop-back port, so that it does something with no hardware.
set -euo pipefail
build=${1:-build}
bin="$build/bin"
dir=$(mktemp -d /tmp/porvane-run-XXXXXX)
link="$dir/vport0"
"$bin/vport" loop "$link" >/dev/null &
vport_pid=$!
trap 'kill "$vport_pid" 2>/dev/null || true; wait "$vport_pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
# The virtual port joins the machine's own ports in the device map the programs read, named so
# that discovery lists it in the same pass as the machine's ports.
"$bin/porvane-cli" ports --map >"$dir/device-map" 2>/dev/null || true
if grep -q '^ttyS[0-9]' "$dir/device-map"; then
    echo "ttyS255=$link" >>"$dir/device-map"
else
    echo "ttyVP0=$link" >>"$dir/device-map"
fi
export PORVANE_DEVICE_MAP="$dir/device-map"
echo "Ports: $("$bin/porvane-cli" ports | tr '\n' ' ')"
echo "Terminal on the virtual loop-back port $link (9600 8N1)."
echo "Type a line and press Enter: it comes back from the plug. Ctrl-D or Ctrl-C ends."
"$bin/porvane-cli" term "$link" || true
