#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
    clang libclang-rt-14-dev clang-format
    # Qt's own dialogs speak Chinese through qt6-translations-l10n, like the rest of the windows.
    qt6-base-dev libgl-dev fonts-wqy-microhei qt6-translations-l10n
    python3 python3-serial socat picocom
    # A terminal multiplexer that types at the interactive terminal in its tests.
    tmux
    # Programs watch follows by their system calls in the tests (a static one, one built from Go
    # source), and the tracer the bench compares with.
    busybox-static golang-go strace
    # A program that gives up root for its own user before it opens the line.
    cu
    # A Modbus RTU client whose frames the decoders read in the tests.
    mbpoll
    # A virtual display for looking at the real windows on a machine without one.
    xvfb
    # The Debian package (cpack's DEB generator finds the libraries the programs need with
    # dpkg-shlibdeps and the programs with file) and the check of the manual pages.
    dpkg-dev file man-db
    # Ports that come and go (udev), tested against mocked adapters; ports on other machines,
    # tested against a network serial server.
    libudev-dev umockdev libumockdev-dev ser2net
    # The peer that opens the captures in the tests (its debconf question about capturing as
    # non-root is answered with the default: installed noninteractively below).
    tshark
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
if ! $sudo apt-get install -y --no-install-recommends "${missing[@]}"; then
    $sudo apt-get update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
